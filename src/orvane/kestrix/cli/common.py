"""What several subcommands share: the data arguments, opening a descriptor as a dataset, loading
weights, building the validation runner and evaluator, and printing metrics.

Every failure caused by the user's input becomes a `CliError` whose text is the one line the
command prints; errors that are the package's own faults propagate with their traceback.
"""

import argparse
import contextlib
import errno
import math
import os
import sys
import warnings


class CliError(Exception):
    """Bad input: printed as one line, exit status 2."""


INTERRUPTED = 130  # the shell's status for a process ended by Ctrl-C


# ---------------------------------------------------------------------------------------------
# Numbers and files given by the user

# What a failed file operation means to a user, by errno; others keep the system's wording.
_OS_REASONS = {
    errno.ENOSPC: "no space left on the device",
    errno.EDQUOT: "disk quota exceeded",
    errno.EROFS: "the file system is read-only",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
    errno.ENOTDIR: "a file stands where a folder is expected",
    errno.EEXIST: "it already exists and is not a folder",
    errno.EISDIR: "it is a folder",
    errno.ENOENT: "no such file or folder",
}


def os_error_line(error):
    """An OSError as one line naming the path it concerns: "PATH: REASON"."""
    reason = _OS_REASONS.get(error.errno) or error.strerror or _one_line(error)
    if error.filename is None:
        return "%s (%s)" % (reason, _one_line(error)) if error.strerror else reason
    # A failed rename names its source (a temporary file) and its target: the user's file is
    # the target.
    path = os.fsdecode(error.filename2 if error.filename2 is not None else error.filename)
    return "%s: %s" % (path, reason)


def finite(value, name, low=None, high=None, low_open=False):
    """`value` of the flag `name` when it is a finite number in [low, high] (or (low, high] with
    `low_open`); anything else is bad input."""
    lows = "" if low is None else ("above %s" if low_open else "at least %s") % low
    if not math.isfinite(value) or (low is not None and (value <= low if low_open else value < low)) \
            or (high is not None and value > high):
        if low is not None and high is not None:
            where = "lie in %s%s, %s]" % ("(" if low_open else "[", low, high)
        elif low is not None:
            where = "be a finite number " + lows
        else:
            where = "be a finite number"
        raise CliError("--%s must %s, got %s" % (name.replace("_", "-"), where, value))
    return value


def _real(path):
    return os.path.realpath(os.path.abspath(path))


def refuse_overlap(value, outputs, inputs, flag="--out"):
    """Refuses (one line) when one of the paths `outputs` that `flag` `value` leads to is an
    input or a folder holding one: writing there would replace the user's files. Paths may
    exist or not."""
    outs = {_real(p) for p in outputs}
    for shown in inputs:
        real = _real(shown)
        while True:
            if real in outs:
                raise CliError("%s %s would overwrite the input %s; choose another folder"
                               % (flag, value, shown))
            parent = os.path.dirname(real)
            if parent == real:
                break
            real = parent


def refuse_special(path):
    """Refuses (one line) a path that names a named pipe, socket or device: reading one can
    block for ever."""
    if os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path):
        raise CliError("%s is not a regular file (a named pipe, socket or device)" % path)


def usable_folder(path, flag):
    """Refuses (one line) a folder argument that a file blocks: the path itself or one of its
    parents is a file. Creates nothing."""
    real = os.path.abspath(path)
    while True:
        if os.path.exists(real) and not os.path.isdir(real):
            where = "" if real == os.path.abspath(path) else " (%s is a file)" % real
            raise CliError("%s %s: a file stands where a folder is expected%s" % (flag, path, where))
        parent = os.path.dirname(real)
        if parent == real:
            return path
        real = parent


def make_folder(path, flag):
    """Creates the output folder `path` of `flag` (and its parents); a file in the way or a
    folder that cannot be created is one line naming it."""
    usable_folder(path, flag)
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        raise CliError("%s %s" % (flag, os_error_line(e)))
    return path


def write_bytes_atomically(path, data):
    """Writes `data` to `path` through a temporary file beside it: a failed write (full disk,
    read-only folder) raises and leaves neither a half-written file nor the temporary."""
    folder, name = os.path.split(path)
    tmp = os.path.join(folder, ".%s.%d.tmp" % (name, os.getpid()))
    try:
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


# ---------------------------------------------------------------------------------------------
# Data


def add_data_arguments(parser, what="the dataset"):
    parser.add_argument("--data", metavar="DESCRIPTOR", default=None,
                        help="dataset descriptor YAML (type darknet, tfrecord, coco or voc) of %s; "
                             "without it, the embedded demo dataset" % what)
    parser.add_argument("--cache-dir", metavar="DIR", default=None,
                        help="where the embedded demo dataset is generated and kept "
                             "(default: ~/.cache/orvane-kestrix)")


def resolve_data(args):
    """The descriptor path the command works on: --data, or the embedded dataset (generated on
    first use)."""
    if args.data is not None:
        return args.data
    if args.cache_dir is not None:
        usable_folder(args.cache_dir, "--cache-dir")
    from orvane.kestrix.cli.demo_data import ensure_demo_dataset

    return ensure_demo_dataset(args.cache_dir, log=print)


def read_descriptor(path):
    """The descriptor at `path` as a dictionary and its type ("darknet", "tfrecord", "coco" or
    "voc")."""
    import yaml

    if os.path.isdir(path):
        raise CliError("%s is a folder; --data takes a dataset descriptor file (such as %s)"
                       % (path, os.path.join(path, "dataset.yaml")))
    refuse_special(path)
    if not os.path.isfile(path):
        raise CliError("dataset descriptor not found: %s" % path)
    try:
        with open(path, encoding="utf-8") as f:
            info = yaml.safe_load(f)
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as e:
        raise CliError("cannot read the dataset descriptor %s: %s" % (path, _one_line(e)))
    if not isinstance(info, dict):
        raise CliError("%s is not a dataset descriptor (expected a YAML mapping with classes, "
                       "train and validation)" % path)
    from orvane.kestrix.datasets.tfrecord import dataset_type

    kind = dataset_type(info)
    if kind is None:
        raise CliError("%s: unknown dataset type %r (expected darknet, tfrecord, coco or voc)"
                       % (path, info.get("type")))
    return info, kind


def reader_module(kind):
    """The reader module of a dataset type."""
    import importlib

    return importlib.import_module("orvane.kestrix.datasets." + kind)


_READER_CLASSES = {"darknet": "DarknetDatasetYaml", "tfrecord": "TFRecordDatasetYaml",
                   "coco": "CocoDatasetYaml", "voc": "VocDatasetYaml"}


def open_dataset(path, kind, imgsz, aug_cfg=None, letter_box=True):
    """The dataset object of the descriptor file `path`, input shape imgsz x imgsz."""
    cls = getattr(reader_module(kind), _READER_CLASSES[kind])
    try:
        return cls(path, [imgsz, imgsz, 3], letter_box, add_bkg_class=True, aug_cfg=aug_cfg)
    except (ValueError, TypeError, AttributeError, KeyError, OSError) as e:
        # The readers name what is wrong ("[ERROR]: ..."); missing sections surface as
        # attribute or type errors of the lookups.
        raise CliError("%s: %s" % (path, _one_line(e)))


def _one_line(error):
    text = str(error).strip() or type(error).__name__
    if text.startswith("[ERROR]: "):
        text = text[len("[ERROR]: "):]
    return " ".join(text.split())


@contextlib.contextmanager
def caught_stderr(expected=()):
    """Catches what native libraries write to the process's stderr (file descriptor 2, which no
    Python redirection reaches) while the block runs; shows it only when the block fails with
    an error other than the `expected` kinds (bad input, which says itself what is wrong)."""
    import tempfile

    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as caught:
        os.dup2(caught.fileno(), 2)
        try:
            yield
        except BaseException as e:
            if not isinstance(e, expected):
                os.dup2(saved, 2)
                caught.seek(0)
                sys.stderr.write(caught.read().decode("utf-8", "replace"))
            raise
        finally:
            os.dup2(saved, 2)
            os.close(saved)


# ---------------------------------------------------------------------------------------------
# Models


def quiet_keras():
    """Silences Keras' notices that mean nothing to a command-line user."""
    warnings.filterwarnings("ignore", message=r".*HDF5 file via `model\.save\(\)`.*")
    warnings.filterwarnings("ignore", message=r".*legacy.*HDF5.*")
    warnings.filterwarnings("ignore", message=r".*__array__ implementation doesn't accept a copy.*")
    # Keras 3 announces every .h5 save through absl's logger.
    import logging

    logging.getLogger("absl").setLevel(logging.ERROR)


def load_weights(path):
    """The export model saved as `path` (``best.h5`` or ``last.h5`` of a run)."""
    refuse_special(path)
    if not os.path.isfile(path):
        raise CliError("weights file not found: %s" % path)
    quiet_keras()
    import tensorflow as tf

    try:
        # The example detector is made of built-in layers: it needs no custom objects.
        return tf.keras.models.load_model(path, compile=False)
    except Exception as e:  # h5py, Keras and TensorFlow each raise their own kinds
        raise CliError("cannot load the weights %s: %s" % (path, _one_line(e)))


def run_classes(weights):
    """The class names of the run that saved `weights` (its labels.txt), or None."""
    labels = os.path.join(os.path.dirname(os.path.abspath(weights)), "labels.txt")
    if not os.path.isfile(labels):
        return None
    with open(labels, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def runner_model(export_model):
    """The saved export model (boxes, scores) in the layout the validation runner reads from a
    training model: two leading outputs the runner skips, then boxes and scores."""
    import tensorflow as tf

    if len(export_model.outputs) != 2:
        raise CliError("expected a saved detector with two outputs (boxes, scores), got %d outputs"
                       % len(export_model.outputs))
    boxes, scores = export_model.outputs
    keep = tf.keras.layers.Identity
    return tf.keras.Model(export_model.inputs,
                          [keep(name="unused_0")(boxes), keep(name="unused_1")(scores), boxes, scores])


def model_classes(model):
    """The number of class scores the export model gives per detection."""
    return int(model.outputs[-1].shape[-1])


def model_imgsz(model, fallback):
    """The model's fixed input side, or `fallback` when its input size is free."""
    shape = model.inputs[0].shape
    return int(shape[1]) if shape[1] is not None else fallback


class Detector:
    """What `val` and `predict` run: saved Keras weights, or an exported file (.tflite, .onnx, a
    SavedModel folder) in its own runtime, behind the same validation runner.

    Attributes: imgsz (input side), classes (the names it was trained or exported with, or None),
    num_classes (score columns)."""

    def __init__(self, weights, imgsz):
        from orvane.kestrix import export

        self.exported = None
        if export.is_export(weights):
            try:
                self.exported = export.ExportedModel(weights)
            except (export.ExportError, export.MissingRuntimeError) as e:
                raise CliError(str(e))
            self.imgsz = self.exported.input_size[0]
            self.classes = self.exported.classes
            self.num_classes = len(self.classes)
        else:
            self.model = load_weights(weights)
            self.imgsz = model_imgsz(self.model, imgsz)
            self.classes = run_classes(weights)
            self.num_classes = model_classes(self.model)

    def runner(self, classes, score_threshold=0.001):
        if self.exported is not None:
            return self.exported.runner(score_threshold=max(score_threshold,
                                                            self.exported.metadata["score_threshold"]))
        return make_runner(runner_model(self.model), self.imgsz, classes, score_threshold=score_threshold)


def make_runner(model, imgsz, classes, score_threshold=0.001):
    from orvane.validator.runners import DetectionRunner

    return DetectionRunner(model, (imgsz, imgsz, 3), list(classes), score_threshold=score_threshold)


def operating_point_flag(text):
    """The value of a score-threshold flag that sets the evaluator's operating point: "f1" (each
    pass's best-F1 threshold) or a number, checked for its range by the command."""
    if text == "f1":
        return text
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError('must be "f1" or a number in [0, 1], got %r' % text) from None


def make_evaluator(runner, classes, score_threshold="f1"):
    from orvane.validator.evaluators import DetectionEvaluator

    return DetectionEvaluator(runner, list(classes), score_threshold=score_threshold)


# ---------------------------------------------------------------------------------------------
# Printing


def metrics_line(summary):
    """The headline of a validation summary (percentages)."""
    keys = ("mAP@0.5", "mAP@0.5:0.95", "mAR@0.5", "Overall-AP", "Overall-AR")
    return "  ".join("%s %.1f" % (k, float(summary[k])) for k in keys if k in summary)


def operating_point_line(counter):
    """The line naming the score threshold behind the P, R and accuracy figures of the last pass
    of `counter` (an ImageCounter), e.g. "operating point: score >= 0.31 (best F1 0.62)"; None
    before any pass."""
    evaluator = counter.evaluator
    score, rule = evaluator.operating_point, evaluator.operating_point_rule
    if score is None:
        return None
    if rule == "best F1":
        precision, recall = counter.metrics["OP"], counter.metrics["OR"]
        how = "best F1 %.2f" % (2 * precision * recall / (precision + recall))
    elif rule == "default":
        how = "default: no detection matches at IoU 0.5"
    else:
        how = rule
    return "operating point: score >= %.3g (%s)" % (score, how)


class ImageCounter:
    """Stands in for an evaluator in the trainer's validation pass: passes every call on and
    counts, per class name, the images whose ground truth holds the class (the "Images" column
    of the per-class table)."""

    def __init__(self, evaluator):
        self.evaluator = evaluator
        self.runner = evaluator.runner
        self.images = {}
        self.total = 0
        self.metrics = None  # of the last concluded pass

    def __call__(self, writer):
        self.images, self.total = {}, 0
        return self.evaluator(writer)

    def single_evaluation(self, instances, epoch, add_image):
        self.total += 1
        for name in set(str(label) for label in instances["gt_instance"]["labels"]):
            self.images[name] = self.images.get(name, 0) + 1
        return self.evaluator.single_evaluation(instances, epoch, add_image)

    def conclude(self, truth_values, epoch=None):
        self.metrics = self.evaluator.conclude(truth_values, epoch=epoch)
        return self.metrics


def class_table(counter):
    """The per-class table of the last pass of `counter` (an ImageCounter): class, images,
    instances, P, R (at IoU 0.5 and the operating point), mAP@0.5, mAP@0.5:0.95, in percent;
    first the row of all classes."""
    per_class, metrics = counter.evaluator.per_class, counter.metrics
    header = ("Class", "Images", "Instances", "P", "R", "mAP@0.5", "mAP@0.5:0.95")
    rows = [("all", counter.total, sum(v["ground_truth"] for v in per_class.values()),
             metrics["OP"], metrics["OR"], metrics["mAP"]["0.5"], metrics["mAP"]["0.5:0.95"])]
    for name, v in per_class.items():
        ap = v["AP"]
        rows.append((name, counter.images.get(str(name), 0), v["ground_truth"],
                     v["precision"], v["recall"],
                     ap["0.5"] or 0.0, ap["0.5:0.95"] or 0.0))
    width = max(len(str(r[0])) for r in rows + [header])
    head = "%-*s %7s %10s %6s %6s %8s %13s" % ((width,) + header)
    lines = [head] + ["%-*s %7d %10d %6.1f %6.1f %8.1f %13.1f"
                      % (width, r[0], r[1], r[2], 100 * r[3], 100 * r[4], 100 * r[5], 100 * r[6])
                      for r in rows]
    return "\n".join(lines)
