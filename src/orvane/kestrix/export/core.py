"""Export of a trained detector to deployable files: a TensorFlow SavedModel, TFLite (float32,
float16 weights, full-integer int8) and ONNX, each with suppression inside the graph (or without,
on request) and a metadata file beside it.

The serving graph takes a uint8 image batch ``[1, H, W, 3]`` (letter-boxed as the validation
runner does) and, with suppression, returns a fixed number of detections:

- ``boxes`` float32 ``[1, N, 4]``: x1, y1, x2, y2 normalised to the model input;
- ``scores`` float32 ``[1, N]``; ``classes`` int32 ``[1, N]``: column of the model's scores,
  i.e. index into the metadata's ``classes``;
- ``num_detections`` int32 ``[1]``: how many leading rows are valid (the rest are zero).

Without suppression it returns the model's own ``boxes`` ``[1, K, 4]`` (input pixels) and
``scores`` ``[1, K, C]``.

Suppression is per class and uses only the single-class suppression op (with scores, padded
output), which both TFLite's builtin op set and ONNX's ``NonMaxSuppression`` carry: every
(box, class) pair is one candidate, and each class's boxes are shifted by a class offset larger
than any box, so one class-agnostic call never lets two classes suppress each other. The
combined multi-class op is avoided: it has no builtin TFLite kernel.

This module is Python over the converters (TensorFlow's TFLite converter, tf2onnx); it holds
no computation of its own that a compiled layer could take over.
"""
from __future__ import annotations

import json
import os
import shutil
import tempfile

FORMATS = ("saved_model", "tflite", "tflite-fp16", "tflite-int8", "onnx")
EXTRA = "pip install 'orvane-kestrix[export]'"
METADATA_VERSION = 1
# ONNX NonMaxSuppression exists from opset 10; 13 is the lowest opset whose Gather/Squeeze
# forms tf2onnx emits without rewrites, and every maintained ONNX runtime runs it.
ONNX_OPSET = 13
LETTERBOX_FILL = 114
LETTERBOX_RULE = ("scale = min(H / h, W / w); the h x w image is resized to new_w = round(w * scale) "
                  "by new_h = round(h * scale) (half away from zero, at least 1; OpenCV area "
                  "interpolation when the width shrinks, bilinear otherwise) and placed at "
                  "left = (W - new_w) // 2, top = (H - new_h) // 2 on an H x W canvas filled with "
                  "114; a point maps back as ((x - left) * w / new_w, (y - top) * h / new_h)")
SUFFIXES = {"saved_model": "_saved_model", "tflite": ".tflite", "tflite-fp16": "-fp16.tflite",
            "tflite-int8": "-int8.tflite", "onnx": ".onnx"}


class ExportError(ValueError):
    """Input the export cannot use (the message names it)."""


class MissingRuntimeError(ImportError):
    """A converter or runtime of the export extra is not installed."""

    def __init__(self, what):
        super().__init__("%s is not installed; install the export extra: %s" % (what, EXTRA))


def require(module, what):
    """Imports `module` or raises MissingRuntimeError naming `what`."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingRuntimeError(what) from None


def metadata_path(path):
    """Where the metadata of the export at `path` lives: beside it, `<path>.json`."""
    return os.path.normpath(os.fspath(path)) + ".json"


def default_output(weights, fmt):
    """The export of `weights` (e.g. runs/x/best.h5) in format `fmt`, beside it."""
    stem = os.path.splitext(os.fspath(weights))[0]
    return stem + SUFFIXES[fmt]


# ---------------------------------------------------------------------------------------------
# The model and its serving graph


def detector_outputs(model):
    """The (boxes, scores) outputs of `model`: a saved export model has exactly these two, a
    training model has them third and fourth."""
    outputs = list(getattr(model, "outputs", None) or [])
    if len(outputs) == 2:
        pair = outputs
    elif len(outputs) >= 4:
        pair = outputs[2:4]
    else:
        raise ExportError("not an export model: expected outputs boxes [B, K, 4] and scores [B, K, C] "
                          "(or a training model with them third and fourth), got %d outputs" % len(outputs))
    boxes, scores = pair
    if len(boxes.shape) != 3 or boxes.shape[-1] != 4 or len(scores.shape) != 3:
        raise ExportError("not an export model: expected boxes [B, K, 4] and scores [B, K, C], got shapes "
                          "%s and %s" % (tuple(boxes.shape), tuple(scores.shape)))
    return pair


def input_size(model, imgsz):
    """(height, width) the export takes: the model's fixed size, or imgsz x imgsz for a model
    whose size is free; an imgsz the model cannot take is an ExportError."""
    shape = tuple(model.inputs[0].shape)
    if len(shape) != 4 or shape[-1] != 3:
        raise ExportError("not an export model: expected an image input [B, H, W, 3], got %s" % (shape,))
    if imgsz is not None and (isinstance(imgsz, bool) or int(imgsz) != imgsz or imgsz < 1):
        raise ExportError("imgsz must be a positive integer, got %r" % (imgsz,))
    fixed = shape[1:3]
    if None not in fixed:
        if imgsz is not None and (imgsz, imgsz) != tuple(fixed):
            raise ExportError("the model takes %d x %d images only, not imgsz %d" % (fixed[0], fixed[1], imgsz))
        return int(fixed[0]), int(fixed[1])
    if imgsz is None:
        raise ExportError("the model's input size is free: give imgsz")
    return int(fixed[0] or imgsz), int(fixed[1] or imgsz)


def _serving_function(model, height, width, nms, first_class, score_threshold, iou_threshold, max_detections):
    """The tf.function of the export (uint8 [1, H, W, 3] in), traced; its trace errors (a size
    the model cannot take) become ExportErrors."""
    import tensorflow as tf

    image = tf.TensorSpec([1, height, width, 3], tf.uint8, name="images")
    scale = tf.constant([width, height, width, height], tf.float32)

    def detect(images):
        x = tf.cast(images, tf.float32) / 255.0
        outputs = model(x, training=False)
        outputs = list(outputs) if isinstance(outputs, (list, tuple)) else [outputs]
        boxes, scores = (outputs if len(outputs) == 2 else outputs[2:4])
        boxes, scores = tf.cast(boxes, tf.float32), tf.cast(scores, tf.float32)
        if not nms:
            return {"boxes": boxes, "scores": scores}
        return _suppress(boxes[0] / scale, scores[0], first_class, score_threshold, iou_threshold, max_detections)

    function = tf.function(detect, input_signature=[image], autograph=False)
    try:
        concrete = function.get_concrete_function()
    except (ValueError, TypeError, tf.errors.InvalidArgumentError) as e:
        raise ExportError("the model cannot take %d x %d images: %s" % (height, width, " ".join(str(e).split())[:300]))
    return concrete


def _suppress(boxes, scores, first_class, score_threshold, iou_threshold, max_detections):
    """Per-class suppression of boxes [K, 4] (normalised) and scores [K, C] on the single-class
    op: every (box, class) pair a candidate, classes apart by an offset."""
    import tensorflow as tf

    scores = scores[:, first_class:]
    count, classes = boxes.shape[0], scores.shape[1]
    if count is None or classes is None:
        raise ExportError("the model's boxes and scores need a fixed number of rows and classes for export, "
                          "got %s and %s" % (tuple(boxes.shape), tuple(scores.shape)))
    # Pair i is box i // classes, class first_class + i % classes (row-major over scores).
    pair_scores = tf.reshape(scores, [-1])
    pair_class = tf.tile(tf.range(first_class, first_class + classes, dtype=tf.int32), [count])
    pair_boxes = tf.reshape(tf.tile(boxes[:, None, :], [1, classes, 1]), [-1, 4])
    span = tf.reduce_max(tf.abs(boxes)) * 2.0 + 1.0
    shifted = pair_boxes + tf.cast(pair_class, tf.float32)[:, None] * span
    selected, selected_scores, valid = tf.raw_ops.NonMaxSuppressionV5(
        boxes=shifted, scores=pair_scores, max_output_size=max_detections, iou_threshold=iou_threshold,
        score_threshold=score_threshold, soft_nms_sigma=0.0, pad_to_max_output_size=True)
    keep = tf.range(max_detections) < valid
    out_boxes = tf.where(keep[:, None], tf.gather(pair_boxes, selected), 0.0)
    out_scores = tf.where(keep, selected_scores, 0.0)
    out_classes = tf.where(keep, tf.gather(pair_class, selected), 0)
    return {"boxes": out_boxes[None], "scores": out_scores[None], "classes": out_classes[None],
            "num_detections": tf.reshape(valid, [1])}


def _frozen_module(concrete):
    """A tf.Module serving `concrete` with its variables folded into constants: the converters
    then see a graph without resource variables (TFLite would otherwise keep them as variable
    ops that its interpreter leaves uninitialised)."""
    import tensorflow as tf
    from tensorflow.python.framework.convert_to_constants import convert_variables_to_constants_v2

    frozen = convert_variables_to_constants_v2(concrete)
    structure = concrete.structured_outputs
    image = concrete.structured_input_signature[0][0]

    class Serving(tf.Module):
        def __init__(self):
            super().__init__()
            self._frozen = frozen

        @tf.function(input_signature=[image], autograph=False)
        def serve(self, images):
            return tf.nest.pack_sequence_as(structure, self._frozen(images))

    return Serving()


# ---------------------------------------------------------------------------------------------
# Writing


def check_target(out, fmt):
    """`out` normalised, once it is a place an export in format `fmt` can be written to."""
    out = os.path.normpath(os.fspath(out))
    parent = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(parent):
        raise ExportError("the output folder does not exist: %s" % os.path.dirname(out))
    if fmt == "saved_model":
        if os.path.isfile(out):
            raise ExportError("a SavedModel is a folder, but %s is a file" % out)
        # Only an earlier SavedModel is replaced: any other folder may hold the user's files.
        if os.path.isdir(out) and os.listdir(out) and not os.path.isfile(os.path.join(out, "saved_model.pb")):
            raise ExportError("%s is a folder that is not a SavedModel; give a new path" % out)
    elif os.path.isdir(out):
        raise ExportError("%s is a folder; give the file to write" % out)
    return out


def _check_options(fmt, score_threshold, iou_threshold, max_detections, calibration_images):
    if fmt not in FORMATS:
        raise ExportError("unknown format %r (expected one of %s)" % (fmt, ", ".join(FORMATS)))
    if not 0 <= score_threshold <= 1:
        raise ExportError("the score threshold must lie in 0..1, got %s" % score_threshold)
    if not 0 <= iou_threshold <= 1:
        raise ExportError("the IoU threshold must lie in 0..1, got %s" % iou_threshold)
    if isinstance(max_detections, bool) or int(max_detections) != max_detections or max_detections < 1:
        raise ExportError("max_detections must be a positive integer, got %r" % (max_detections,))
    if fmt == "tflite-int8" and calibration_images is None:
        raise ExportError("tflite-int8 needs calibration images (training images of the dataset: --data)")


def export_model(model, fmt, out, *, classes=None, imgsz=None, nms=True, score_threshold=0.001,
                 iou_threshold=0.5, max_detections=100, calibration_images=None, source=None):
    """Exports `model` in format `fmt` to `out`, with its metadata at ``metadata_path(out)``.

    Args:
        model: a Keras detector: the saved export model (boxes, scores) or a training model
            whose third and fourth outputs are boxes ``[B, K, 4]`` (input pixels) and scores
            ``[B, K, C]``, on float32 images in 0..1.
        fmt: one of FORMATS.
        out: the file (a folder for "saved_model") to write; its folder must exist. An existing
            export there is replaced only once the new one is complete.
        classes: the C class names (default "class 0", ...); a first name "background" marks a
            score column that is never reported.
        imgsz: input side for a model whose input size is free; for a fixed-size model it must
            be that size or None.
        nms: suppression inside the graph (default) or the model's raw boxes and scores.
        score_threshold, iou_threshold, max_detections: of the suppression. The low default
            score keeps what average precision needs; raise it for a deployment.
        calibration_images: for "tflite-int8": uint8 ``[H, W, 3]`` images at any size (a few
            hundred training images), letter-boxed here as the validation runner does.
        source: what the metadata names as the exported weights.

    Returns:
        The path written.

    Raises:
        ExportError: bad input, naming it; nothing is written.
        MissingRuntimeError: the ONNX converter is missing.
    """
    _check_options(fmt, score_threshold, iou_threshold, max_detections, calibration_images)
    out = check_target(out, fmt)
    if fmt == "onnx":
        require("tf2onnx", "the ONNX converter (tf2onnx)")
    boxes, scores = detector_outputs(model)
    height, width = input_size(model, imgsz)
    num_classes = scores.shape[-1]
    if classes is None:
        if num_classes is None:
            raise ExportError("the model's number of classes is not fixed: give the class names")
        classes = ["class %d" % k for k in range(num_classes)]
    classes = [str(c) for c in classes]
    if num_classes is not None and len(classes) != num_classes:
        raise ExportError("the model scores %d classes, but %d class names were given" % (num_classes, len(classes)))
    first_class = 1 if classes and classes[0] == "background" else 0
    if first_class >= len(classes):
        raise ExportError("no class to detect: the only class is the background")

    concrete = _serving_function(model, height, width, nms, first_class, float(score_threshold),
                                 float(iou_threshold), int(max_detections))
    module = _frozen_module(concrete)
    metadata = {
        "version": METADATA_VERSION,
        "format": fmt,
        "producer": "orvane.kestrix",
        "source": None if source is None else os.fspath(source),
        "classes": classes,
        "background_class": bool(first_class),
        "input": {"name": "images", "shape": [1, height, width, 3], "dtype": "uint8", "layout": "NHWC RGB",
                  "range": [0, 255]},
        "letterbox": {"enabled": True, "fill": LETTERBOX_FILL, "rule": LETTERBOX_RULE},
        "nms": bool(nms),
        "score_threshold": float(score_threshold),
        "iou_threshold": float(iou_threshold),
        "max_detections": int(max_detections),
        "outputs": _output_notes(nms),
    }
    calibration = None
    if fmt == "tflite-int8":
        calibration = _letterboxed(calibration_images, height, width)
    _write(module, fmt, out, metadata, calibration)
    return out


def _output_notes(nms):
    if nms:
        return {"boxes": "float32 [1, N, 4] x1 y1 x2 y2 normalised to the input; rows past num_detections are 0",
                "scores": "float32 [1, N]", "classes": "int32 [1, N] index into classes",
                "num_detections": "int32 [1]"}
    return {"boxes": "float32 [1, K, 4] x1 y1 x2 y2 in input pixels",
            "scores": "float32 [1, K, C] per-class scores"}


def _letterboxed(images, height, width):
    """The calibration batches: each image letter-boxed as the runner does, [1, H, W, 3]."""
    import numpy as np
    from orvane.kestrix.datasets.utils import letterbox

    batches = []
    for image in images:
        image = np.asarray(image)
        if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
            raise ExportError("calibration images must be uint8 [H, W, 3], got %s %s" % (image.dtype, image.shape))
        batches.append(letterbox(image, (height, width), auto=False)[0][None])
    if not batches:
        raise ExportError("tflite-int8 needs calibration images, got none")
    return batches


def _write(module, fmt, out, metadata, calibration):
    """Writes the export and its metadata under temporary names beside `out`, then renames
    both into place: an interrupted or failed export leaves what was there before."""
    import tensorflow as tf

    parent = os.path.dirname(os.path.abspath(out))
    work = tempfile.mkdtemp(prefix="." + os.path.basename(out) + ".", dir=parent)
    try:
        saved = os.path.join(work, "saved_model")
        # The serving graph never trains: activations defined with custom gradients (swish's
        # captured beta) would otherwise fail the save.
        tf.saved_model.save(module, saved, signatures={"serving_default": module.serve},
                            options=tf.saved_model.SaveOptions(experimental_custom_gradients=False))
        if fmt == "saved_model":
            product = saved
        elif fmt.startswith("tflite"):
            product = os.path.join(work, "model.tflite")
            with open(product, "wb") as f:
                f.write(_tflite(saved, fmt, calibration))
        else:
            product = os.path.join(work, "model.onnx")
            _onnx(module, product)
        meta_tmp = os.path.join(work, "metadata.json")
        with open(meta_tmp, "w", encoding="utf-8") as f:
            json.dump(dict(metadata, file=os.path.basename(out)), f, indent=2)
            f.write("\n")
        _replace(product, out)
        os.replace(meta_tmp, metadata_path(out))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _replace(source, target):
    """Moves `source` to `target`; a folder already at `target` is moved aside first and
    removed only after the new one is in place."""
    if os.path.isdir(target):
        old = target + ".old-%d" % os.getpid()
        os.replace(target, old)
        try:
            os.replace(source, target)
        except OSError:
            os.replace(old, target)
            raise
        shutil.rmtree(old, ignore_errors=True)
    else:
        os.replace(source, target)


def _tflite(saved, fmt, calibration):
    import tensorflow as tf

    converter = tf.lite.TFLiteConverter.from_saved_model(saved)
    converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS]
    if fmt == "tflite-fp16":
        converter.optimizations = [tf.lite.Optimize.DEFAULT]
        converter.target_spec.supported_types = [tf.float16]
    elif fmt == "tflite-int8":
        converter.optimizations = [tf.lite.Optimize.DEFAULT]
        converter.representative_dataset = lambda: ([batch] for batch in calibration)
        # Integer kernels wherever they exist; suppression and the output gathers stay float
        # (they have no integer kernels), so outputs keep their float scores and boxes.
        converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8,
                                               tf.lite.OpsSet.TFLITE_BUILTINS]
    return converter.convert()


def _onnx(module, path):
    tf2onnx = require("tf2onnx", "the ONNX converter (tf2onnx)")
    function = module.serve
    signature = function.input_signature
    tf2onnx.convert.from_function(function, input_signature=signature, opset=ONNX_OPSET, output_path=path)
    if not os.path.isfile(path):
        raise RuntimeError("the ONNX converter wrote nothing to %s" % path)
