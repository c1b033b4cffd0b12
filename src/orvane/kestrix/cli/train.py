"""`kestrix train`: trains the package's example detector on a dataset descriptor.

Assembles, in the order the trainer expects them: the dataset (Darknet or TFRecord, by the
descriptor's type), the TensorBoard logger, the detector, the warm-up cosine schedule and its
optimizer, the detection loss, the validation runner and evaluator, and the DetectionTrainer;
then trains and reports. Without --data it trains on the embedded demo dataset with the default
recipe. Files: <project>/train/<stamp>/ (setup JSON, labels.txt, best.h5, last.h5, summary.csv,
results.png) and <project>/logs/<stamp>/ (TensorBoard).
"""

import math
import os
import time

from orvane.kestrix.cli import recipe as default_recipe
from orvane.kestrix.cli.common import CliError, ImageCounter, add_data_arguments, class_table, \
    make_evaluator, make_runner, metrics_line, open_dataset, quiet_keras, read_descriptor, resolve_data

INTERRUPTED = 130  # the shell's status for a process ended by Ctrl-C


def add_parser(sub, formatter):
    r = default_recipe.RECIPE
    p = sub.add_parser("train", formatter_class=formatter,
                       help="train the example detector (default: on the embedded demo dataset)",
                       description="Trains the example detector and reports its validation "
                                   "metrics. Without --data it uses the embedded demo dataset "
                                   "(generated on first use) and the default recipe.")
    add_data_arguments(p, "the dataset to train on")
    p.add_argument("--epochs", type=int, default=r["epochs"], help="training epochs")
    p.add_argument("--imgsz", type=int, default=r["imgsz"], help="input height and width in pixels")
    p.add_argument("--batch", type=int, default=r["batch"], help="images per training batch")
    p.add_argument("--lr", type=float, default=r["lr"], help="peak learning rate after warm-up")
    p.add_argument("--width", type=int, default=r["width"], help="detector width (channels of its first stage)")
    p.add_argument("--project", metavar="DIR", default="runs",
                   help="root of the run folders (train/<stamp>) and TensorBoard logs (logs/<stamp>)")
    p.add_argument("--metric", choices=("map", "acc", "recall"), default="map",
                   help="validation value at IoU 0.5 that selects best.h5: mAP, mACC or mAR")
    p.add_argument("--display", type=int, default=4, metavar="N",
                   help="validation images published to TensorBoard per pass")
    p.add_argument("--no-augment", action="store_true", help="train without augmentation")
    p.add_argument("--seed", type=int, default=0, help="seed of the weight initialisation")
    return p


def _positive(args, *names):
    for name in names:
        value = getattr(args, name)
        if not value > 0:
            raise CliError("--%s must be positive, got %s" % (name, value))


def _num_train_samples(dataset, kind):
    if dataset.num_train_samples:
        return int(dataset.num_train_samples)
    from orvane.kestrix.datasets.records import count_records

    return count_records(dataset.train_storage)


def run(args):
    _positive(args, "epochs", "imgsz", "batch", "lr", "width")
    if args.imgsz % 16:
        raise CliError("--imgsz must be a multiple of 16 (the detector's coarsest stride), got %d"
                       % args.imgsz)
    path = resolve_data(args)
    _, kind = read_descriptor(path)

    # A broken file found now costs seconds; found halfway through training, an epoch.
    from orvane.kestrix.cli.check import broken_error, inspect

    report = inspect(path)
    if report.broken:
        raise broken_error(path, report)

    quiet_keras()
    import tensorflow as tf

    from orvane.kestrix.callbacks.tensorboard import TensorBoard
    from orvane.kestrix.trainer.detection import DetectionTrainer

    r = default_recipe.RECIPE
    aug_cfg = None if args.no_augment else dict(r["aug_cfg"])
    dataset = open_dataset(path, kind, args.imgsz, aug_cfg=aug_cfg)
    classes = list(dataset.classes)
    steps_per_epoch = math.ceil(_num_train_samples(dataset, kind) / args.batch)
    total_steps = steps_per_epoch * args.epochs
    tf.keras.utils.set_random_seed(args.seed)

    logger = TensorBoard(os.path.join(args.project, "logs"), default_recipe.metric_names())
    model = default_recipe.build_model(len(classes), args.imgsz, args.width)
    optimizer, schedule = default_recipe.build_optimizer(args.lr, total_steps, steps_per_epoch)
    loss = default_recipe.build_loss(len(classes))
    runner = make_runner(model, args.imgsz, classes)
    evaluator = ImageCounter(make_evaluator(runner, classes))
    config = {
        "command": "kestrix train",
        "data": os.path.abspath(path), "dataset_type": kind, "classes": classes,
        "epochs": args.epochs, "imgsz": args.imgsz, "batch": args.batch, "lr": args.lr,
        "width": args.width, "metric": args.metric, "augmentation": aug_cfg, "seed": args.seed,
        "steps_per_epoch": steps_per_epoch, "schedule": schedule.get_config(),
        "optimizer": type(optimizer).__name__,
    }
    trainer = DetectionTrainer(model, dataset, optimizer, loss, logger,
                               checkpoint=os.path.join(args.project, "train"), H=args.imgsz,
                               W=args.imgsz, info=config, metric=args.metric, classes=classes,
                               display=args.display)
    train_ds = dataset.build_train_iterator(args.batch)
    val_ds = dataset.build_val_iterator()

    started = time.time()
    try:
        trainer.train(args.epochs, train_ds, val_ds, evaluator)
    except KeyboardInterrupt:
        _report_interrupt(trainer)
        return INTERRUPTED
    elapsed = time.time() - started
    _report(trainer, logger, evaluator, elapsed, args)
    return 0


def _write_plot(trainer):
    from orvane.kestrix.cli.plot import write_results_png

    if trainer.summary_rows:
        return write_results_png(trainer.checkpoint)
    return None


def _report_interrupt(trainer):
    print()
    if os.path.isfile(trainer.last):
        epoch = trainer.summary_rows[-1]["epoch"] if trainer.summary_rows else None
        _write_plot(trainer)
        print("Training interrupted. The last complete checkpoint is %s%s"
              % (trainer.last, "" if epoch is None else " (epoch %s)" % epoch))
    else:
        print("Training interrupted before the first checkpoint; nothing was saved in %s"
              % trainer.checkpoint)


def _report(trainer, logger, evaluator, elapsed, args):
    last = trainer.summary_rows[-1]
    best = max(trainer.summary_rows, key=lambda row: row[_metric_key(args.metric)])
    results = _write_plot(trainer)
    print()
    print("Trained %d epochs in %.0f s." % (args.epochs, elapsed))
    print("Final metrics (epoch %s): %s" % (last["epoch"], metrics_line(last)))
    print("Best %s: %.1f at epoch %s (best.h5)"
          % (_metric_key(args.metric), best[_metric_key(args.metric)], best["epoch"]))
    print()
    print("Validation of the last epoch's weights:")
    print(class_table(evaluator))
    print()
    for name, path in (("best.h5", trainer.best), ("last.h5", trainer.last),
                       ("summary.csv", os.path.join(trainer.checkpoint, "summary.csv")),
                       ("results.png", results), ("TensorBoard", logger.storage)):
        if path is not None:
            print("  %-12s %s" % (name, path))
    print()
    print("Open TensorBoard with: tensorboard --logdir %s" % os.path.dirname(logger.storage.rstrip(os.sep)))


def _metric_key(metric):
    return {"map": "mAP@0.5", "acc": "mACC@0.5"}.get(metric, "mAR@0.5")
