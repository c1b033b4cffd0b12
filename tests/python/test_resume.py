"""Resuming a run: the training state written after every epoch, and a run killed mid-epoch.

The killed run is a subprocess that sends itself SIGKILL in the middle of its third epoch (no
handler, no cleanup: what a pre-empted machine does); a second subprocess resumes it.
"""
import csv
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import tensorflow as tf

import orvane
from models import SimpleLoss, RecordingEvaluator, make_detector, make_metrics, make_train_dataset, \
    make_trainer, make_val_dataset, read_scalars
from orvane.kestrix.callbacks.tensorboard import TensorBoard
from orvane.kestrix.trainer.detection import DetectionTrainer

PACKAGE_ROOT = str(Path(orvane.__file__).resolve().parent.parent)
TESTS = str(Path(__file__).resolve().parent)
EPOCHS, BATCHES = 5, 3
# One value per validation pass: the initial one, then epochs 1..5; epoch 4 beats epoch 2's best.
VALUES = [0.1, 0.3, 0.5, 0.2, 0.6, 0.4]

# Trains EPOCHS epochs in <root>, fresh (killing itself during epoch 3) or resumed from <run>.
SCRIPT = textwrap.dedent(f"""
    import os, signal, sys
    import tensorflow as tf
    from models import RecordingEvaluator, make_metrics, make_train_dataset, make_trainer, make_val_dataset

    root, mode = sys.argv[1], sys.argv[2]
    tf.keras.utils.set_random_seed(0)
    values = {VALUES!r}

    class Batches:
        # Re-iterable batches; sends SIGKILL to this process at the second batch of epoch 3.
        def __init__(self, kill):
            self.data, self.kill, self.epoch = make_train_dataset({BATCHES} * 2, batch_size=2), kill, 0
        def __iter__(self):
            self.epoch += 1
            for i, batch in enumerate(self.data):
                if self.kill and self.epoch == 3 and i == 1:
                    os.kill(os.getpid(), signal.SIGKILL)
                yield batch

    resume = None if mode == "fresh" else sys.argv[3]
    trainer = make_trainer(root, optimizer=tf.keras.optimizers.Adam(0.01), keep_state=True, resume=resume)
    done = trainer.last_epoch
    evaluator = RecordingEvaluator([make_metrics(acc=v) for v in values[done + (done > 0):]])
    trainer.train({EPOCHS}, Batches(kill=mode == "fresh"), make_val_dataset(2), evaluator, start=done + 1)
    print("RUN", trainer.checkpoint, "ITERATIONS", int(trainer.optimizer.iterations.numpy()))
""")


def run_script(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]), TF_CPP_MIN_LOG_LEVEL="3")
    return subprocess.run([sys.executable, "-c", SCRIPT, *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=300)


def summary_epochs(run):
    with open(os.path.join(run, "summary.csv"), newline="") as f:
        return [row["epoch"] for row in csv.DictReader(f)]


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    """The same training without the kill, in this process: (trainer, logged total-loss steps)."""
    root = tmp_path_factory.mktemp("whole")
    tf.keras.utils.set_random_seed(0)
    trainer = make_trainer(root, optimizer=tf.keras.optimizers.Adam(0.01), keep_state=True)
    evaluator = RecordingEvaluator([make_metrics(acc=v) for v in VALUES])
    trainer.train(EPOCHS, make_train_dataset(BATCHES * 2, batch_size=2), make_val_dataset(2), evaluator)
    return trainer, [s for s, _ in read_scalars(trainer.logger.storage)["total-loss"]]


def test_killed_run_resumes_where_it_stopped(tmp_path, uninterrupted):
    killed = run_script(tmp_path, "fresh")
    assert killed.returncode == -9, killed.stdout[-2000:] + killed.stderr[-2000:]
    (run,) = [str(p) for p in (tmp_path / "runs").iterdir()]
    assert summary_epochs(run) == ["0", "1", "2"]

    resumed = run_script(tmp_path, "resume", run)
    assert resumed.returncode == 0, resumed.stdout[-2000:] + resumed.stderr[-2000:]
    assert summary_epochs(run) == ["0", "1", "2", "3", "4", "5"]
    whole, whole_steps = uninterrupted
    assert f"ITERATIONS {int(whole.optimizer.iterations.numpy())}" in resumed.stdout
    assert int(whole.optimizer.iterations.numpy()) == EPOCHS * BATCHES
    # best.h5 is epoch 4's (0.6 beats the restored 0.5 of epoch 2): one improvement line after resuming
    assert resumed.stdout.count("Saving model with improvement") == 1 and "from 50.0 to 60.0" in resumed.stdout
    tf.keras.models.load_model(os.path.join(run, "best.h5"), compile=False)
    # The TensorBoard steps go on: the resumed logs hold the uninterrupted run's steps after epoch 2.
    logs = [read_scalars(log).get("total-loss", []) for log in (tmp_path / "logs").iterdir()]
    assert len(logs) == 2
    resumed_steps = [s for s, _ in max(logs, key=lambda points: points[0][0])]
    assert resumed_steps == whole_steps[2 * (BATCHES + 1):]


def test_folder_without_complete_state_is_refused(tmp_path, capsys):
    plain = make_trainer(tmp_path / "plain")  # trained without keep_state
    plain.train(1, make_train_dataset(4, batch_size=2))
    state = make_trainer(tmp_path / "broken", keep_state=True)
    state.train(1, make_train_dataset(4, batch_size=2))
    for name in os.listdir(os.path.join(state.checkpoint, "state")):
        if name.endswith(".index"):
            os.remove(os.path.join(state.checkpoint, "state", name))  # the data without its index
    for folder in (plain.checkpoint, state.checkpoint, str(tmp_path / "missing")):
        before = sorted(os.listdir(folder)) if os.path.isdir(folder) else None
        logger = TensorBoard(str(tmp_path / "logs"), ["total-loss"])
        with pytest.raises(FileNotFoundError, match="cannot resume %s: it holds no complete training state"
                                                    % folder.replace("\\", "\\\\")):
            DetectionTrainer(make_detector(), None, tf.keras.optimizers.Adam(0.01), SimpleLoss(), logger,
                             str(tmp_path / "runs"), classes=["a"], resume=folder)
        assert (sorted(os.listdir(folder)) if os.path.isdir(folder) else None) == before
    assert not (tmp_path / "runs").exists()


def test_resume_repairs_files_written_after_the_last_state(tmp_path, capsys):
    """A kill between an epoch's files and its state: last.h5 and summary.csv return to the state."""
    trainer = make_trainer(tmp_path, keep_state=True)
    evaluator = RecordingEvaluator(make_metrics(acc=0.5))
    trainer.train(1, make_train_dataset(4, batch_size=2), make_val_dataset(2), evaluator)
    state_weights = trainer.model.get_weights()
    # An epoch 2 whose files were written but whose state never was.
    trainer.train(2, make_train_dataset(4, batch_size=2), start=2)
    trainer.update_metrics(make_metrics(), {}, epoch=2)
    for name in os.listdir(os.path.join(trainer.checkpoint, "state")):
        if name.startswith("ckpt-2"):
            os.remove(os.path.join(trainer.checkpoint, "state", name))
    Path(trainer.checkpoint, "state", "checkpoint").write_text(
        'model_checkpoint_path: "ckpt-1"\nall_model_checkpoint_paths: "ckpt-1"\n')

    logger = TensorBoard(str(tmp_path / "logs2"), ["total-loss"])
    resumed = DetectionTrainer(make_detector(), None, tf.keras.optimizers.Adam(0.01), SimpleLoss(), logger,
                               None, classes=["a"], resume=trainer.checkpoint)
    assert resumed.last_epoch == 1 and resumed.best_value == 0.5 and resumed.checkpoint == trainer.checkpoint
    assert summary_epochs(trainer.checkpoint) == ["0", "1"]
    saved = tf.keras.models.load_model(trainer.last, compile=False).get_weights()
    exported = tf.keras.Model(resumed.model.input, resumed.model.outputs[2:]).get_weights()
    assert all((a == b).all() for a, b in zip(resumed.model.get_weights(), state_weights))
    assert len(saved) == len(exported) and all((a == b).all() for a, b in zip(saved, exported))


def test_damaged_newest_state_gives_way_to_the_older_one(tmp_path, capsys):
    """A newest state cut short after it was written (a full disk, a partial copy): the run resumes
    from the older state it keeps, saying so; with every state damaged, a ValueError names it."""
    trainer = make_trainer(tmp_path, keep_state=True)
    trainer.train(2, make_train_dataset(4, batch_size=2))
    states = os.path.join(trainer.checkpoint, "state")

    def damage(number):
        data = os.path.join(states, "ckpt-%d.data-00000-of-00001" % number)
        os.truncate(data, os.path.getsize(data) // 2)

    def resume():
        logger = TensorBoard(str(tmp_path / "logs2"), ["total-loss"])
        return DetectionTrainer(make_detector(), None, tf.keras.optimizers.Adam(0.01), SimpleLoss(), logger,
                                None, classes=["a"], resume=trainer.checkpoint)

    damage(2)
    assert resume().last_epoch == 1
    assert "ckpt-2 does not restore" in capsys.readouterr().out
    damage(1)
    with pytest.raises(ValueError, match="cannot resume .*ckpt-2 does not restore .* no older complete state does"):
        resume()
