"""The `kestrix` command line, end to end on a tiny generated dataset.

One training run, in its own process as a user starts it, is shared by the tests that read its
files (module-scoped fixture). What only a process can show (exit status and stderr of bad input,
signals, kills, imports) runs in subprocesses; the other commands run `main` in this process,
which spares each a TensorFlow import.
"""
import contextlib
import csv
import errno
import io
import glob
import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import yaml
from PIL import Image

import orvane
from events import scalar_points
from orvane.kestrix.cli.demo_data import ensure_demo_dataset

NEEDED = ["orvane.kestrix.datasets.darknet", "orvane.validator.runners", "orvane.validator.evaluators",
          "orvane.kestrix.models.detection", "orvane.kestrix.losses.detection", "orvane.kestrix.cli.recipe"]
MISSING = [name for name in NEEDED if importlib.util.find_spec(name) is None]
pytestmark = pytest.mark.skipif(bool(MISSING), reason="not built yet: %s" % ", ".join(MISSING))

TRAIN = ["--epochs", "2", "--imgsz", "64", "--batch", "16"]


def python(*args, cwd=None):
    """Runs `python ARGS` with this package importable; returns the finished process."""
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(orvane.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package_root] + [p for p in [env.get("PYTHONPATH")] if p])
    env["TF_CPP_MIN_LOG_LEVEL"] = "2"
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=600)


def kestrix(*args, cwd=None, check=None):
    """Runs `python -m orvane.kestrix ARGS`; returns the finished process."""
    done = python("-m", "orvane.kestrix", *args, cwd=cwd)
    if check is not None:
        assert done.returncode == check, done.stdout[-3000:] + done.stderr[-3000:]
    return done


def kestrix_here(*args, check=None):
    """Runs `kestrix ARGS` through `main` in this process; returns what a finished process would."""
    from orvane.kestrix.cli.main import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main([str(a) for a in args])
        except SystemExit as e:  # argparse's own refusals
            status = e.code
    done = subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue())
    if check is not None:
        assert done.returncode == check, done.stdout[-3000:] + done.stderr[-3000:]
    return done


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    return tmp_path_factory.mktemp("cli")


@pytest.fixture(scope="module")
def demo(work):
    """Descriptor of a tiny demo dataset: 48 training and 12 validation images of 96 x 96."""
    return ensure_demo_dataset(str(work / "cache"), num_train=48, num_val=12, size=96)


@pytest.fixture(scope="module")
def trained(work, demo):
    """One finished `kestrix train` run: (process, run folder)."""
    done = kestrix("train", "--data", demo, *TRAIN, "--project", work / "runs", check=0)
    runs = glob.glob(str(work / "runs" / "train" / "*"))
    assert len(runs) == 1
    return done, runs[0]


@pytest.fixture(scope="module")
def records(demo, work):
    """Descriptor of the demo dataset converted to TFRecord shards of 20 samples."""
    out = work / "records"
    kestrix_here("convert", "--data", demo, "--out", out, "--shard-size", "20", check=0)
    return str(out / "dataset.yaml")


def copy_dataset(descriptor, target):
    """A copy of a Darknet dataset under `target`, with its descriptor rewritten to point there."""
    root = os.path.dirname(descriptor)
    shutil.copytree(root, target)
    with open(descriptor) as f:
        info = yaml.safe_load(f)
    for split in ("train", "validation"):
        for key in ("images", "annotations"):
            info[split][key] = info[split][key].replace(root, str(target))
    path = os.path.join(str(target), "dataset.yaml")
    with open(path, "w") as f:
        yaml.safe_dump(info, f)
    return path, info


def assert_one_error_line(done, message):
    """The process said what is wrong in one line, its last on stderr (progress bars aside)."""
    lines = done.stderr.strip().splitlines()
    assert [line for line in lines if "error:" in line] == lines[-1:], done.stderr
    assert message in lines[-1] and "Traceback" not in done.stderr


# The line under the metrics naming the score threshold of P, R and the accuracies.
OPERATING_POINT = r"\noperating point: score >= [0-9.e-]+ \((best F1 [01]\.\d\d|default: no detection matches at IoU 0\.5)\)\n"


class TestTrain:
    def test_run_files_exist_and_load(self, trained):
        import tensorflow as tf

        done, run = trained
        model = tf.keras.models.load_model(os.path.join(run, "best.h5"), compile=False)
        assert len(model.outputs) == 2  # boxes and scores: the export model
        assert os.path.isfile(os.path.join(run, "last.h5"))
        with open(os.path.join(run, "summary.csv"), newline="") as f:
            rows = list(csv.DictReader(f))
        assert [r["epoch"] for r in rows] == ["0", "1", "2"]
        assert all(0 <= float(r["mAP@0.5"]) <= 100 for r in rows)
        with Image.open(os.path.join(run, "results.png")) as im:
            assert im.size[0] > 300
        setup = glob.glob(os.path.join(run, "setup-by-*.json"))
        with open(setup[0]) as f:
            config = json.load(f)
        assert config["epochs"] == 2 and config["imgsz"] == 64 and config["dataset_type"] == "darknet"
        logs = os.path.join(os.path.dirname(os.path.dirname(run)), "logs")
        tags = {tag for _, tag, _ in scalar_points(logs, recursive=True)}
        assert {"total-loss", "mAP@0.5"} <= tags

    def test_prints_metrics_class_table_and_where_files_are(self, trained):
        done, run = trained
        out = done.stdout
        assert "Final metrics (epoch 2): mAP@0.5 " in out
        assert re.search(OPERATING_POINT, out)
        table = out[out.index("Class"):].splitlines()
        assert table[0].split() == ["Class", "Images", "Instances", "P", "R", "mAP@0.5", "mAP@0.5:0.95"]
        assert {line.split()[0] for line in table[1:5]} >= {"circle", "square", "triangle"}
        for name in ("best.h5", "last.h5", "summary.csv", "results.png"):
            assert os.path.join(run, name) in out
        assert "tensorboard --logdir " in out
        assert "Traceback" not in done.stderr


class TestOtherCommands:
    def test_val_prints_metrics_and_table(self, trained, demo):
        done = kestrix_here("val", "--weights", os.path.join(trained[1], "best.h5"), "--data", demo, check=0)
        assert "mAP@0.5 " in done.stdout and "Instances" in done.stdout
        assert re.search(OPERATING_POINT, done.stdout)
        fixed = kestrix_here("val", "--weights", os.path.join(trained[1], "best.h5"), "--data", demo,
                             "--conf", "0.5", check=0)
        assert "operating point: score >= 0.5 (fixed)" in fixed.stdout

    def test_predict_draws_each_image(self, trained, demo, work):
        with open(demo) as f:
            images = yaml.safe_load(f)["validation"]["images"]
        out = work / "predicted"
        done = kestrix_here("predict", "--weights", os.path.join(trained[1], "best.h5"), "--source", images,
                       "--out", out, "--conf", "0.05", check=0)
        names = sorted(os.listdir(images))
        assert sorted(os.listdir(out)) == names
        lines = [line for line in done.stdout.splitlines() if line.split(":")[0] in names]
        assert len(lines) == len(names) and all(" detections" in line for line in lines)
        with Image.open(os.path.join(out, names[0])) as drawn, Image.open(os.path.join(images, names[0])) as src:
            assert drawn.size == src.size

    def test_plot_redraws_results(self, trained):
        run = trained[1]
        os.remove(os.path.join(run, "results.png"))
        kestrix_here("plot", run, check=0)
        with Image.open(os.path.join(run, "results.png")) as im:
            im.load()

    @pytest.mark.keras_free
    def test_check_reports_planted_faults(self, demo, work):
        clean = kestrix_here("check", "--data", demo, check=0)
        assert "No broken files." in clean.stdout
        path, info = copy_dataset(demo, work / "damaged")
        image = os.path.join(info["train"]["images"], "00003.jpg")
        with open(image, "r+b") as f:
            f.truncate(os.path.getsize(image) // 3)
        label = os.path.join(info["validation"]["annotations"], "00002.txt")
        with open(label, "a") as f:
            f.write("1 0.5 oops 0.1 0.1\n")
        done = kestrix("check", "--data", path, check=2)
        assert image in done.stdout and label in done.stdout
        assert_one_error_line(done, "fails its check")
        # Training refuses the dataset before it starts.
        refused = kestrix_here("train", "--data", path, *TRAIN, "--project", work / "refused", check=2)
        assert "fails its check" in refused.stderr and not os.path.exists(work / "refused")

    @pytest.mark.keras_free
    def test_convert_writes_checked_shards_and_refuses_to_mix(self, records, demo):
        with open(records) as f:
            info = yaml.safe_load(f)
        assert info["type"] == "tfrecord" and info["train"]["samples"] == 48
        out = os.path.dirname(records)
        assert len(glob.glob(os.path.join(out, "train", "*.tfrecord"))) == 3
        assert "No broken files." in kestrix_here("check", "--data", records, check=0).stdout
        # Converting again into the same folder would mix old and new shards: refused.
        again = kestrix_here("convert", "--data", demo, "--out", out, check=2)
        assert "already holds shard files" in again.stderr

    def test_trains_on_converted_records_for_a_time_budget(self, records, work):
        # A budget shorter than the first epoch (the recipe's estimate is 8): the run stops after one.
        done = kestrix_here("train", "--data", records, "--time", "0.01", "--imgsz", "64", "--batch", "16",
                            "--project", work / "tfrecord-runs", check=0)
        assert "Time budget 0.0 min: 1 epochs in all" in done.stdout
        assert "Trained 1 epochs" in done.stdout and "Final metrics (epoch 1)" in done.stdout


# Every case but the weights that do not load fails before Keras is reached: run once.
FREE = pytest.mark.keras_free


@pytest.mark.parametrize("args, message", [
    pytest.param(["train", "--data", "no/such.yaml"], "dataset descriptor not found: no/such.yaml", marks=FREE),
    pytest.param(["check", "--data", "{bad_yaml}"], "is not a dataset descriptor", marks=FREE),
    pytest.param(["train", "--data", "{no_validation}"], "{no_validation}:", marks=FREE),
    (["val", "--weights", "{not_h5}"], "cannot load the weights"),
    pytest.param(["predict", "--weights", "{not_h5}", "--source", "no/such.jpg"], "source not found: no/such.jpg",
                 marks=FREE),
    pytest.param(["train", "--epochs", "0"], "--epochs must be positive", marks=FREE),
    pytest.param(["train", "--bogus"], "unrecognized arguments: --bogus", marks=FREE),
    pytest.param(["plot", "{work}"], "no summary.csv in", marks=FREE),
    pytest.param(["train", "--data", "{work}"], "{work} is a folder; --data takes a dataset descriptor file",
                 marks=FREE),
    pytest.param(["train", "--lr", "inf"], "--lr must be a finite number, got inf", marks=FREE),
    pytest.param(["train", "--backbone-weights", "none"], "--backbone-weights needs a --backbone", marks=FREE),
    pytest.param(["val", "--weights", "{not_h5}", "--conf", "nan"], "--conf must lie in [0, 1], got nan", marks=FREE),
    pytest.param(["val", "--weights", "{not_h5}", "--conf", "best"], "--conf: must be \"f1\" or a number", marks=FREE),
    pytest.param(["train", "--project", "{a_file}/runs"], "a file stands where a folder is expected", marks=FREE),
    pytest.param(["check", "--cache-dir", "{a_file}"], "--cache-dir {a_file}: a file stands where a folder",
                 marks=FREE),
    pytest.param(["convert", "--data", "{demo}", "--out", "{a_file}"], "--out {a_file}: a file stands", marks=FREE),
    pytest.param(["val", "--weights", "{not_h5}", "--data", "{broken_validation}"], "fails its check", marks=FREE),
    pytest.param(["check", "--data", "{pipe}"], "{pipe} is not a regular file", marks=FREE),
])
def test_bad_input_is_one_line_and_status_2(work, demo, args, message):
    files = {"work": str(work), "bad_yaml": str(work / "list.yaml"), "not_h5": str(work / "weights.h5"),
             "no_validation": str(work / "half.yaml"), "a_file": str(work / "a-file"), "demo": demo,
             "broken_validation": str(work / "broken-validation" / "dataset.yaml")}
    if "{broken_validation}" in args and not os.path.exists(files["broken_validation"]):
        _, info = copy_dataset(demo, work / "broken-validation")
        with open(os.path.join(info["validation"]["annotations"], "00001.txt"), "a") as f:
            f.write("0 0.5 0.5 0.1\n")
    (work / "a-file").write_text("")
    files["pipe"] = str(work / "pipe.yaml")
    if not os.path.exists(files["pipe"]):
        os.mkfifo(files["pipe"])  # a read would block for ever
    (work / "list.yaml").write_text("- just\n- a list\n")
    (work / "weights.h5").write_text("not a model")
    (work / "half.yaml").write_text(yaml.safe_dump({"type": "darknet", "classes": ["a"],
                                                    "train": {"images": "x", "annotations": "y"}}))
    done = kestrix(*[a.format(**files) for a in args], cwd=work)
    assert done.returncode == 2, done.stderr
    assert_one_error_line(done, message.format(**files))


@pytest.mark.keras_free
@pytest.mark.parametrize("args", [["train", "--epochs", "0"], ["check", "--data", "no/such.yaml"],
                                  ["convert", "--shard-size", "0", "--out", "shards"]])
def test_bad_arguments_are_reported_without_importing_tensorflow(work, args):
    done = python("-c", "import sys; from orvane.kestrix.cli.main import main; status = main(%r); "
                        "print('tensorflow' in sys.modules); sys.exit(status)" % args, cwd=work)
    assert (done.returncode, done.stdout) == (2, "False\n"), done.stderr


def snapshot(folder):
    """Every file under `folder` with its bytes."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


@pytest.mark.keras_free
@pytest.mark.parametrize("command", [
    ["predict", "--weights", "unused.h5", "--source", "{root}/val/images", "--out", "{root}/val/images"],
    ["convert", "--data", "{root}/dataset.yaml", "--out", "{root}"],  # the embedded dataset's own layout
], ids=["predict-into-its-source", "convert-into-the-dataset"])
def test_outputs_onto_inputs_are_refused_and_inputs_stay_byte_for_byte(demo, tmp_path, command):
    copy_dataset(demo, tmp_path / "data")
    before = snapshot(tmp_path / "data")
    done = kestrix(*[a.format(root=tmp_path / "data") for a in command], cwd=tmp_path)
    assert done.returncode == 2
    assert_one_error_line(done, "would overwrite the input")
    assert snapshot(tmp_path / "data") == before


@pytest.mark.keras_free
def test_named_pipes_in_dataset_folders_do_not_hang_the_check(demo, tmp_path):
    """A named pipe among the images is skipped (and counted); one standing for an annotation file
    is a broken file, named. The run is bounded: a blocking read would hit the timeout."""
    path, info = copy_dataset(demo, tmp_path / "data")
    image_pipe = os.path.join(info["train"]["images"], "zz-pipe.jpg")
    label_pipe = os.path.join(info["train"]["annotations"], "00001.txt")
    os.remove(label_pipe)
    os.mkfifo(image_pipe)
    os.mkfifo(label_pipe)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2",
               PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(orvane.__file__))))
    done = subprocess.run([sys.executable, "-m", "orvane.kestrix", "check", "--data", path], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert "skipped (not regular files), first %s" % image_pipe in done.stdout
    assert_one_error_line(done, "%s: annotation file cannot be read: not a regular file" % label_pipe)


def import_failure(cause):
    """What Ctrl-C inside a compiled module's import surfaces as."""
    error = ImportError("initialization failed")
    error.__cause__ = cause
    return error


FAULTS = {
    "interrupt": KeyboardInterrupt(),
    "interrupt in an import": import_failure(KeyboardInterrupt()),
    "disk full": OSError(errno.ENOSPC, "No space left on device"),
    "read-only": OSError(errno.EROFS, "Read-only file system"),
}


@pytest.mark.keras_free
@pytest.mark.parametrize("target, fault, status, message", [
    ("orvane.kestrix.datasets.darknet.read_labels", "interrupt", 130, "kestrix convert: interrupted"),
    ("orvane.kestrix.datasets.darknet.read_labels", "interrupt in an import", 130, "kestrix convert: interrupted"),
    ("os.replace", "disk full", 2, "kestrix convert: error: {out}/dataset.yaml: no space left on the device"),
    ("os.makedirs", "read-only", 2, "kestrix convert: error: --out {out}: the file system is read-only"),
])
def test_convert_faults_end_in_one_line_and_leave_no_partial_output(demo, tmp_path, monkeypatch, capsys, target,
                                                                    fault, status, message):
    """Ctrl-C while converting, a full disk when the descriptor is written, a read-only output
    folder: one line, the status, and no descriptor, shard or temporary file left behind."""
    from orvane.kestrix.cli.main import main

    out = tmp_path / "out"

    def failing(*args, **kwargs):
        error = FAULTS[fault]
        if isinstance(error, OSError):
            paths = [os.fspath(a) for a in args[:2]]
            raise OSError(error.errno, error.strerror, paths[0], None, *paths[1:])  # as os.replace names both
        raise error

    module, name = target.rsplit(".", 1)
    monkeypatch.setattr(importlib.import_module(module), name, failing)
    assert main(["convert", "--data", demo, "--out", str(out), "--shard-size", "20"]) == status
    err = capsys.readouterr().err.strip().splitlines()
    assert err[-1] == message.format(out=out)
    left = [os.path.relpath(os.path.join(r, n), out) for r, _, names in os.walk(out) for n in names] \
        if out.exists() else []
    assert not [p for p in left if "dataset.yaml" in p or ".tmp" in p or (target.endswith("read_labels") and p)]


def test_predict_into_a_read_only_folder_says_so_and_writes_nothing(trained, demo, tmp_path, monkeypatch, capsys):
    """The drawn copies' writes are checked: a failing one is one line, status 2, no file left."""
    from orvane.kestrix.cli.main import main

    def read_only(source, target, *args, **kwargs):
        raise OSError(errno.EROFS, "Read-only file system", source, None, target)

    with open(demo) as f:
        images = yaml.safe_load(f)["validation"]["images"]
    monkeypatch.setattr(os, "replace", read_only)
    out = tmp_path / "drawn"
    assert main(["predict", "--weights", os.path.join(trained[1], "best.h5"), "--source", images,
                 "--out", str(out)]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert err[-1] == "kestrix predict: error: %s: the file system is read-only" % (out / sorted(os.listdir(images))[0])
    assert os.listdir(out) == []


def train_in_background(demo, project, epochs):
    """`kestrix train` on the demo dataset at 64 px, started and left running."""
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2",
               PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(orvane.__file__))))
    # A test run started in the background of a shell inherits Ctrl-C ignored; the child must
    # not, or it would never see the interrupt these tests send.
    # With faulthandler, a crash leaves the Python stacks of every thread in stderr.
    return subprocess.Popen([sys.executable, "-X", "faulthandler", "-m", "orvane.kestrix", "train", "--data", demo,
                             "--epochs", str(epochs), "--imgsz", "64", "--batch", "16", "--project", str(project)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def test_ctrl_c_keeps_the_last_complete_checkpoint(demo, work):
    """SIGINT during training: status 130, the message names last.h5, and that file loads."""
    import tensorflow as tf

    project = work / "interrupted"
    proc = train_in_background(demo, project, 50)
    try:
        deadline = time.time() + 300
        while not glob.glob(str(project / "train" / "*" / "last.h5")) and time.time() < deadline:
            assert proc.poll() is None, proc.communicate()
            time.sleep(0.5)
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 130, out[-2000:] + err[-8000:]
    last = glob.glob(str(project / "train" / "*" / "last.h5"))[0]
    assert "The last complete checkpoint is %s" % last in out
    assert "Traceback" not in err
    tf.keras.models.load_model(last, compile=False)


def test_an_interrupt_that_surfaces_as_another_error_is_still_an_interrupt(demo, work, monkeypatch, capsys):
    """Ctrl-C inside library code can come out as another exception (one raised while the library
    handled the KeyboardInterrupt): still status 130 and the interrupt's report."""
    import orvane.kestrix.cli.train as train_cli
    from orvane.kestrix.cli.main import main

    class Wrapping:
        def __init__(self, inner):
            self.inner = inner

        def __getattr__(self, name):
            return getattr(self.inner, name)

        def __call__(self, writer):
            return self.inner(writer)

        def single_evaluation(self, *args, **kwargs):
            try:
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(5)
            except KeyboardInterrupt as e:
                raise RuntimeError("raised while handling the interrupt") from e
            return self.inner.single_evaluation(*args, **kwargs)

    real = train_cli.make_evaluator
    monkeypatch.setattr(train_cli, "make_evaluator", lambda *a, **k: Wrapping(real(*a, **k)))
    # Ctrl-C as in an interactive run, also when the tests were started with it ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        status = main(["train", "--data", demo, *TRAIN, "--project", str(work / "wrapped")])
    finally:
        signal.signal(signal.SIGINT, previous)
    assert status == 130
    out, err = capsys.readouterr()
    assert "Training interrupted" in out
    assert "RuntimeError: raised while handling the interrupt" in err


def test_resume_continues_a_killed_run(demo, work):
    """SIGKILL once epoch 2's state exists, then --resume: every epoch's row once, in order."""
    project = work / "resumed"
    proc = train_in_background(demo, project, 5)
    try:
        deadline = time.time() + 300
        while not glob.glob(str(project / "train" / "*" / "state" / "ckpt-2.index")) and time.time() < deadline:
            assert proc.poll() is None, proc.communicate()
            time.sleep(0.05)
        proc.kill()
        proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    (run,) = glob.glob(str(project / "train" / "*"))
    done = kestrix_here("train", "--resume", run, check=0)
    assert "Resuming %s after epoch " % run in done.stdout and "Final metrics (epoch 5)" in done.stdout
    with open(os.path.join(run, "summary.csv"), newline="") as f:
        assert [r["epoch"] for r in csv.DictReader(f)] == ["0", "1", "2", "3", "4", "5"]
    assert len(os.listdir(project / "logs")) == 2  # the resumed part logs beside the first one

    assert_one_error_line(kestrix_here("train", "--resume", run, "--epochs", "9"),
                          "--epochs cannot be combined with --resume")
    shutil.rmtree(os.path.join(run, "state"))
    assert_one_error_line(kestrix_here("train", "--resume", run), "cannot resume %s: it holds no complete training state"
                          % run)
