"""`kestrix val --weights best.h5 --data DESCRIPTOR`: the validation split through the runner and
evaluator of the validation package; prints the metrics and the per-class table. With
`--save-json FILE` the detections are also written as a COCO results file."""

import json
import os

from orvane.kestrix.cli import recipe as default_recipe
from orvane.kestrix.cli.common import CliError, Detector, ImageCounter, add_data_arguments, class_table, \
    finite, make_evaluator, make_folder, metrics_line, open_dataset, operating_point_flag, operating_point_line, \
    read_descriptor, resolve_data, usable_folder, write_bytes_atomically


def add_parser(sub, formatter):
    p = sub.add_parser("val", formatter_class=formatter,
                       help="validate saved weights on a dataset's validation split",
                       description="Runs the validation split of a dataset through saved weights "
                                   "and prints the metrics and the per-class table.")
    p.add_argument("--weights", metavar="H5", required=True,
                   help="best.h5 or last.h5 of a run, or an export of kestrix export (.tflite, .onnx, "
                        "a SavedModel folder), run in its own runtime")
    add_data_arguments(p, "the dataset to validate on")
    p.add_argument("--imgsz", type=int, default=default_recipe.RECIPE["imgsz"],
                   help="input size, when the model does not fix one")
    p.add_argument("--conf", type=operating_point_flag, default="f1", metavar="f1|SCORE",
                   help="score threshold of the operating point (mACC, Overall-AP/AR, P and R): "
                        "\"f1\" for the one that maximises F1 over the pass, or a fixed score")
    p.add_argument("--save-json", metavar="FILE", default=None,
                   help="also write the detections as a COCO results file: the dataset's own "
                        "image and category ids for COCO datasets; otherwise image ids 1..N in "
                        "validation order and category ids 1..K in class order (the numbering "
                        "of `kestrix convert --to coco`)")
    return p


class ResultsRecorder:
    """Stands in for an evaluator in the validation pass: passes every call on and records each
    image's detections in COCO results form (boxes [x, y, width, height] in pixels of the image
    as stored)."""

    def __init__(self, evaluator, dataset):
        self.evaluator = evaluator
        self.runner = evaluator.runner
        classes = list(dataset.classes)
        self.offset = int(dataset.class_offset)
        self.class_number = {name: k for k, name in enumerate(classes)}
        # COCO datasets keep their ids; other datasets are numbered by position.
        self.category_ids = getattr(dataset, "category_ids", None)
        self.image_ids = getattr(dataset, "image_ids", None)
        self.results = []
        self.seen = 0

    def __call__(self, writer):
        self.results, self.seen = [], 0
        return self.evaluator(writer)

    def single_evaluation(self, instances, epoch, add_image):
        import numpy as np

        gt, dt = instances["gt_instance"], instances["dt_instance"]
        self.seen += 1
        name = str(gt["image_path"])
        image_id = self.seen if self.image_ids is None else int(self.image_ids[name])
        width, height = float(gt["width"]), float(gt["height"])
        boxes = np.asarray(dt["boxes"], dtype=np.float64).reshape(-1, 4) * [width, height, width, height]
        for box, label, score in zip(boxes.tolist(), list(dt["labels"]), np.asarray(dt["scores"]).tolist()):
            position = self.class_number[label] - self.offset
            if position < 0:
                continue  # the background class
            category = position + 1 if self.category_ids is None else int(self.category_ids[position])
            self.results.append({"image_id": image_id, "category_id": category,
                                 "bbox": [box[0], box[1], box[2] - box[0], box[3] - box[1]],
                                 "score": float(score)})
        return self.evaluator.single_evaluation(instances, epoch, add_image)

    def conclude(self, truth_values, epoch=None):
        return self.evaluator.conclude(truth_values, epoch=epoch)

    def save(self, path):
        """Writes the results file whole (under a temporary name first)."""
        make_folder(os.path.dirname(os.path.abspath(path)), "--save-json")
        write_bytes_atomically(path, json.dumps(self.results).encode("utf-8"))


def validate(args):
    """Runs the validation pass of `args`; returns (metrics, the ImageCounter, the results
    recorder or None, the descriptor path)."""
    if args.conf != "f1":
        finite(args.conf, "conf", 0, 1)
    if args.save_json:
        usable_folder(os.path.dirname(os.path.abspath(args.save_json)), "--save-json")
        if os.path.isdir(args.save_json):
            raise CliError("--save-json %s is a folder; give a file name" % args.save_json)
    path = resolve_data(args)
    _, kind = read_descriptor(path)
    # The check train runs first: a broken validation file is named now, not mid-pass.
    from orvane.kestrix.cli.check import refuse_broken

    refuse_broken(path)
    detector = Detector(args.weights, args.imgsz)
    dataset = open_dataset(path, kind, detector.imgsz)
    classes = list(dataset.classes)
    trained = detector.classes
    if trained is not None and trained != classes:
        raise CliError("%s was trained on the classes %s, but %s has %s"
                       % (args.weights, trained, path, classes))
    if detector.num_classes != len(classes):
        raise CliError("%s scores %d classes, but %s has %d (background included)"
                       % (args.weights, detector.num_classes, path, len(classes)))
    evaluator = ImageCounter(make_evaluator(detector.runner(classes), classes, score_threshold=args.conf))
    recorder = ResultsRecorder(evaluator, dataset) if args.save_json else None
    # The trainer's own pass, with no writer: nothing is published.
    from orvane.kestrix.trainer.detection import validation_pass

    metrics = validation_pass(dataset.build_val_iterator(), recorder or evaluator, classes)
    return metrics, evaluator, recorder, path


def run(args):
    from orvane.validator.evaluators import summary_percentages

    metrics, evaluator, recorder, path = validate(args)
    print()
    print("Validation of %s on %s" % (args.weights, path))
    print(metrics_line(summary_percentages(metrics)))
    print(operating_point_line(evaluator))
    print()
    print(class_table(evaluator))
    if recorder is not None:
        recorder.save(args.save_json)
        print("Wrote %d detections to %s" % (len(recorder.results), args.save_json))
    return 0
