"""Exported detectors run in their own runtimes: a `.tflite` file in the LiteRT interpreter (its
builtin op resolver only, so a file that needs Select TF or custom ops fails to load), an
`.onnx` file in ONNX Runtime (CPU), a SavedModel folder in TensorFlow.

`ExportedModel` reads the metadata beside the export and calls the file on a letter-boxed
uint8 batch; `ExportedModel.runner` puts it behind the validation package's `DetectionRunner`,
so that `kestrix val` and `kestrix predict` letter-box, threshold and map boxes back exactly as
they do for a Keras model, while the detections come from the shipped file.
"""
from __future__ import annotations

import json
import os

from orvane.kestrix.export.core import ExportError, metadata_path, require

EXPORT_SUFFIXES = (".tflite", ".onnx")


def is_export(path):
    """Whether `path` names an exported detector (a .tflite or .onnx file, or a SavedModel
    folder) rather than Keras weights."""
    path = os.fspath(path)
    if os.path.isdir(path):
        return os.path.isfile(os.path.join(path, "saved_model.pb"))
    return path.lower().endswith(EXPORT_SUFFIXES)


def read_metadata(path):
    """The metadata dictionary of the export at `path`."""
    meta = metadata_path(path)
    if not os.path.isfile(meta):
        raise ExportError("no metadata beside the export %s (expected %s; export again with kestrix export)"
                          % (path, meta))
    try:
        with open(meta, encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise ExportError("cannot read the export metadata %s: %s" % (meta, " ".join(str(e).split())))
    needed = ("format", "classes", "input", "nms", "score_threshold", "iou_threshold", "max_detections")
    missing = [k for k in needed if not isinstance(info, dict) or k not in info]
    if missing:
        raise ExportError("%s is not export metadata (missing %s)" % (meta, ", ".join(missing)))
    return info


class ExportedModel:
    """An exported detector and its metadata; calling it runs one uint8 ``[1, H, W, 3]`` batch
    and returns the outputs by name as NumPy arrays."""

    def __init__(self, path):
        path = os.fspath(path)
        if not os.path.exists(path):
            raise ExportError("export not found: %s" % path)
        self.path = path
        self.metadata = read_metadata(path)
        shape = self.metadata["input"]["shape"]
        self.input_size = (int(shape[1]), int(shape[2]))
        self.classes = list(self.metadata["classes"])
        if os.path.isdir(path):
            self._call = _saved_model(path)
        elif path.lower().endswith(".tflite"):
            self._call = _tflite(path)
        elif path.lower().endswith(".onnx"):
            self._call = _onnx(path)
        else:
            raise ExportError("not an exported detector: %s (expected .tflite, .onnx or a SavedModel folder)" % path)

    def __call__(self, images):
        return self._call(images)

    def runner(self, score_threshold=None):
        """A `DetectionRunner` over this export; `score_threshold` defaults to the export's."""
        from orvane.validator.runners import DetectionRunner

        meta = self.metadata
        threshold = meta["score_threshold"] if score_threshold is None else score_threshold
        return DetectionRunner(_RunnerModel(self), (*self.input_size, 3), self.classes,
                               score_threshold=threshold, iou_threshold=meta["iou_threshold"],
                               max_detections=meta["max_detections"])


class _RunnerModel:
    """Stands in for a Keras detector inside `DetectionRunner`: its call runs the export and
    returns the (unused, unused, boxes, scores) layout the runner reads. A suppressed export's
    detections come back as boxes in input pixels and a score only in the detected class's
    column (every other entry -1, below any threshold), so the runner's own per-class pass,
    with the export's IoU threshold, keeps them all."""

    def __init__(self, exported):
        self.exported = exported
        height, width = exported.input_size
        self._scale = (width, height, width, height)
        meta = exported.metadata
        self._rows = int(meta["max_detections"]) if meta["nms"] else None

    def _run(self, images):
        import numpy as np

        out = self.exported(images)
        if not self.exported.metadata["nms"]:
            return out["boxes"].astype(np.float32), out["scores"].astype(np.float32)
        count = int(np.asarray(out["num_detections"]).reshape(-1)[0])
        n = out["boxes"].shape[1]
        boxes = out["boxes"][0].astype(np.float32) * np.asarray(self._scale, np.float32)
        scores = np.full((n, len(self.exported.classes)), -1.0, np.float32)
        rows = np.arange(count)
        scores[rows, out["classes"][0, :count].astype(np.int64)] = out["scores"][0, :count]
        return boxes[None], scores[None]

    def __call__(self, x, training=False):
        import tensorflow as tf

        images = tf.cast(tf.round(x * 255.0), tf.uint8)
        boxes, scores = tf.numpy_function(self._run, [images], [tf.float32, tf.float32], stateful=False)
        rows = self._rows
        boxes.set_shape([1, rows, 4])
        scores.set_shape([1, rows, len(self.exported.classes)])
        return [boxes, scores, boxes, scores]


def _tflite(path):
    litert = require("ai_edge_litert.interpreter", "the LiteRT interpreter (ai-edge-litert)")
    try:
        interpreter = litert.Interpreter(
            model_path=path, experimental_op_resolver_type=litert.OpResolverType.BUILTIN)
        run = interpreter.get_signature_runner("serving_default")
    except (ValueError, RuntimeError) as e:
        raise ExportError("cannot load %s in the LiteRT interpreter: %s" % (path, " ".join(str(e).split())[:300]))
    return lambda images: run(images=images)


def _onnx(path):
    ort = require("onnxruntime", "ONNX Runtime (onnxruntime)")
    try:
        session = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
    except Exception as e:  # ONNX Runtime raises its own exception kinds for broken files
        raise ExportError("cannot load %s in ONNX Runtime: %s" % (path, " ".join(str(e).split())[:300]))
    names = [o.name for o in session.get_outputs()]
    feed = session.get_inputs()[0].name
    return lambda images: dict(zip(names, session.run(names, {feed: images})))


def _saved_model(path):
    import tensorflow as tf

    try:
        serve = tf.saved_model.load(path).signatures["serving_default"]
    except (OSError, KeyError, ValueError) as e:
        raise ExportError("cannot load the SavedModel %s: %s" % (path, " ".join(str(e).split())[:300]))
    return lambda images: {k: v.numpy() for k, v in serve(images=tf.constant(images)).items()}
