"""What several subcommands share: the data arguments, opening a descriptor as a dataset, loading
weights, building the validation runner and evaluator, and printing metrics.

Every failure caused by the user's input becomes a `CliError` whose text is the one line the
command prints; errors that are the package's own faults propagate with their traceback.
"""

import os
import warnings


class CliError(Exception):
    """Bad input: printed as one line, exit status 2."""


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
    from orvane.kestrix.cli.demo_data import ensure_demo_dataset

    return ensure_demo_dataset(args.cache_dir, log=print)


def read_descriptor(path):
    """The descriptor at `path` as a dictionary and its type ("darknet", "tfrecord", "coco" or
    "voc")."""
    import yaml

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


def make_runner(model, imgsz, classes, score_threshold=0.001):
    from orvane.validator.runners import DetectionRunner

    return DetectionRunner(model, (imgsz, imgsz, 3), list(classes), score_threshold=score_threshold)


def make_evaluator(runner, classes, score_threshold=0.25):
    from orvane.validator.evaluators import DetectionEvaluator

    return DetectionEvaluator(runner, list(classes), score_threshold=score_threshold)


# ---------------------------------------------------------------------------------------------
# Printing


def metrics_line(summary):
    """The headline of a validation summary (percentages)."""
    keys = ("mAP@0.5", "mAP@0.5:0.95", "mAR@0.5", "Overall-AP", "Overall-AR")
    return "  ".join("%s %.1f" % (k, float(summary[k])) for k in keys if k in summary)


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
