"""`kestrix export --weights RUN/best.h5 --format FORMAT`: the saved detector as a deployable file
(SavedModel, TFLite fp32/fp16/int8, ONNX) with suppression in the graph and a metadata file
beside it; the work is `orvane.kestrix.export.export_model`."""

import argparse
import os

from orvane.kestrix import export
from orvane.kestrix.cli.common import CliError, caught_stderr, load_weights, open_dataset, read_descriptor, \
    run_classes


def add_parser(sub, formatter):
    p = sub.add_parser("export", formatter_class=formatter,
                       help="export saved weights to SavedModel, TFLite or ONNX",
                       description="Writes the detector of a weights file as a SavedModel folder, a TFLite "
                                   "file (float32, float16 weights or full-integer int8) or an ONNX file, "
                                   "taking a uint8 image [1, H, W, 3] letter-boxed as validation does, with "
                                   "per-class suppression in the graph, and a metadata file <output>.json "
                                   "that kestrix val and predict read.")
    p.add_argument("--weights", metavar="H5", required=True, help="best.h5 or last.h5 of a run")
    p.add_argument("--format", required=True, choices=export.FORMATS, help="what to write")
    p.add_argument("--imgsz", type=int, default=None,
                   help="input size; only for a model whose input size is free (default: the model's)")
    p.add_argument("--nms", action=argparse.BooleanOptionalAction, default=True,
                   help="suppression inside the graph; --no-nms exports the raw boxes and scores")
    p.add_argument("--data", metavar="DESCRIPTOR", default=None,
                   help="dataset descriptor: class names and, for tflite-int8, the calibration images")
    p.add_argument("--calibration-images", type=int, default=300, metavar="N",
                   help="training images calibrating tflite-int8")
    p.add_argument("--conf", type=float, default=0.001, help="score threshold of the suppression")
    p.add_argument("--iou", type=float, default=0.5, help="IoU threshold of the suppression")
    p.add_argument("--max-det", type=int, default=100, help="detections per image (the padded output size)")
    p.add_argument("--out", metavar="PATH", default=None,
                   help="file or folder to write (default: beside the weights, e.g. best.tflite, "
                        "best-int8.tflite, best_saved_model)")
    return p


def calibration_images(dataset, count):
    """Up to `count` training images of `dataset` at their stored size, drawn in a fixed
    shuffled order (the same export twice gives the same file; the export letter-boxes them)."""
    base = dataset.build_and_load_base_iterator(dataset.train_storage, shuffle=False)
    base = base.shuffle(1000, seed=0, reshuffle_each_iteration=False)
    return [dataset.load_instance(element, training=False)[0] for element in base.take(count)]


def run(args):
    if args.format == "tflite-int8" and args.data is None:
        raise CliError("tflite-int8 is calibrated on training images: give --data")
    if args.imgsz is not None and args.imgsz < 1:
        raise CliError("--imgsz must be positive, got %d" % args.imgsz)
    if args.calibration_images < 1:
        raise CliError("--calibration-images must be positive, got %d" % args.calibration_images)
    out = args.out if args.out is not None else export.default_output(args.weights, args.format)
    try:
        export.check_target(out, args.format)
    except export.ExportError as e:
        raise CliError(str(e))
    model = load_weights(args.weights)
    try:
        export.detector_outputs(model)
        height, width = export.input_size(model, args.imgsz)
    except export.ExportError as e:
        raise CliError("%s: %s" % (args.weights, e))

    classes = run_classes(args.weights)
    calibration = None
    if args.data is not None:
        _, kind = read_descriptor(args.data)
        dataset = open_dataset(args.data, kind, height)
        if classes is not None and classes != list(dataset.classes):
            raise CliError("%s was trained on the classes %s, but %s has %s"
                           % (args.weights, classes, args.data, list(dataset.classes)))
        classes = list(dataset.classes)
        if args.format == "tflite-int8":
            calibration = calibration_images(dataset, args.calibration_images)
    try:
        # The converters' native code reports progress and harmless notices on stderr.
        with caught_stderr(expected=(export.ExportError, export.MissingRuntimeError)):
            written = export.export_model(model, args.format, out, classes=classes, imgsz=args.imgsz, nms=args.nms,
                                          score_threshold=args.conf, iou_threshold=args.iou,
                                          max_detections=args.max_det, calibration_images=calibration,
                                          source=os.path.abspath(args.weights))
    except (export.ExportError, export.MissingRuntimeError) as e:
        raise CliError(str(e))
    print("Wrote %s (%s, %d x %d, %s) and %s" % (written, args.format, height, width,
                                                "suppression in the graph" if args.nms else "raw boxes and scores",
                                                export.metadata_path(written)))
    return 0
