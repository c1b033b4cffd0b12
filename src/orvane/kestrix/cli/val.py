"""`kestrix val --weights best.h5 --data DESCRIPTOR`: the validation split through the runner and
evaluator of the validation package; prints the metrics and the per-class table."""

from orvane.kestrix.cli import recipe as default_recipe
from orvane.kestrix.cli.common import CliError, Detector, ImageCounter, add_data_arguments, class_table, \
    finite, make_evaluator, metrics_line, open_dataset, read_descriptor, resolve_data


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
    p.add_argument("--conf", type=float, default=0.25,
                   help="score threshold of the operating point (mACC, Overall-AP/AR)")
    return p


def run(args):
    finite(args.conf, "conf", 0, 1)
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
    # The trainer's own pass, with no writer: nothing is published.
    from orvane.kestrix.trainer.detection import validation_pass
    from orvane.validator.evaluators import summary_percentages

    metrics = validation_pass(dataset.build_val_iterator(), evaluator, classes)
    print()
    print("Validation of %s on %s" % (args.weights, path))
    print(metrics_line(summary_percentages(metrics)))
    print()
    print(class_table(evaluator))
    return 0
