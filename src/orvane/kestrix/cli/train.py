"""`kestrix train`: trains the package's example detector on a dataset descriptor.

Assembles, in the order the trainer expects them: the dataset (Darknet or TFRecord, by the
descriptor's type), the TensorBoard logger, the detector, the warm-up cosine schedule and its
optimizer, the detection loss, the validation runner and evaluator, and the DetectionTrainer;
then trains and reports. Without --data it trains on the embedded demo dataset with the default
recipe. Files: <project>/train/<stamp>/ (setup JSON, labels.txt, best.h5, last.h5, summary.csv,
results.png, state/ for --resume) and <project>/logs/<stamp>/ (TensorBoard).

`--resume RUN_FOLDER` continues an interrupted run in its own folder, with the settings it was
started with (read back from its setup JSON): from the epoch after the last complete one, with
the optimizer's step counter, the learning-rate schedule, best.h5's best value, summary.csv and
the TensorBoard steps all going on where they stopped (new logs go to a new folder beside the
run's first ones).

`--backbone NAME` puts a Keras Applications network (mobilenetv2, efficientnetb0, resnet50) in
place of the family's own backbone, under the same neck and heads; `--backbone-weights` says what
it starts from: `imagenet` (the default with a backbone; fetched by Keras, so it needs the
internet or Keras's cache), a weights FILE of the bare application, or `none`.
"""

import contextlib
import glob
import json
import math
import os
import signal
import sys
import threading
import time

from orvane.kestrix.cli import recipe as default_recipe
from orvane.kestrix.cli.common import INTERRUPTED, CliError, ImageCounter, add_data_arguments, class_table, \
    finite, make_evaluator, make_runner, metrics_line, open_dataset, operating_point_line, quiet_keras, \
    read_descriptor, resolve_data, usable_folder


def add_parser(sub, formatter):
    r = default_recipe.RECIPE
    p = sub.add_parser("train", formatter_class=formatter,
                       help="train the example detector (default: on the embedded demo dataset)",
                       description="Trains the example detector and reports its validation "
                                   "metrics. Without --data it uses the embedded demo dataset "
                                   "(generated on first use) and the default recipe.")
    add_data_arguments(p, "the dataset to train on")
    p.add_argument("--epochs", type=int, default=None, help="training epochs (recipe: %d)" % r["epochs"])
    p.add_argument("--time", type=float, default=None, metavar="MINUTES",
                   help="train for this wall-time budget instead of a number of epochs: the epochs "
                        "are estimated from the first ones and the cosine decay is fitted to end "
                        "with the budget (--epochs is then only the first estimate)")
    p.add_argument("--imgsz", type=int, default=None,
                   help="input height and width in pixels, a multiple of 32 (recipe: %d)" % r["imgsz"])
    p.add_argument("--batch", type=int, default=None, help="images per training batch (recipe: %d)" % r["batch"])
    p.add_argument("--lr", type=float, default=None, help="peak learning rate after warm-up (recipe: %g)" % r["lr"])
    p.add_argument("--model", choices=sorted(default_recipe.RECIPES), default=None,
                   help="size of the detector family; its recipe gives the defaults of the other "
                        "flags (default: %s)" % default_recipe.DEFAULT_MODEL)
    p.add_argument("--weights", metavar="FILE", default=None,
                   help="start from the weights of FILE (an earlier run's best.h5/last.h5 or a Keras "
                        ".h5 weights file): layers matching by name and shape load, the others "
                        "(a class head of another class count) start fresh")
    p.add_argument("--freeze", type=int, default=0, metavar="N",
                   help="keep the first N backbone stages (stem, stage1 .. stage4) fixed; with "
                        "--backbone, the application's stem and the blocks of strides 4, 8, 16, 32")
    p.add_argument("--backbone", metavar="NAME", default=None,
                   help="a Keras Applications backbone instead of the family's own: mobilenetv2 "
                        "(mobile; its width follows --model: t 0.35, n 0.5, s 0.75, m 1.0), "
                        "efficientnetb0 or resnet50")
    p.add_argument("--backbone-weights", metavar="imagenet|FILE|none", default=None,
                   help="what the --backbone starts from: imagenet (default; downloaded by Keras, "
                        "needs the internet), FILE (weights of the bare application, saved where the "
                        "internet is by tf.keras.applications.X(include_top=False).save_weights(FILE)) "
                        "or none (random initialisation)")
    p.add_argument("--project", metavar="DIR", default="runs",
                   help="root of the run folders (train/<stamp>) and TensorBoard logs (logs/<stamp>)")
    p.add_argument("--metric", choices=("map", "acc", "recall"), default="map",
                   help="validation value at IoU 0.5 that selects best.h5: mAP, mACC or mAR")
    p.add_argument("--display", type=int, default=4, metavar="N",
                   help="validation images published to TensorBoard per pass")
    p.add_argument("--no-augment", action="store_true", help="train without augmentation")
    p.add_argument("--seed", type=int, default=0, help="seed of the weight initialisation")
    p.add_argument("--resume", metavar="RUN_FOLDER", default=None,
                   help="continue the interrupted run in RUN_FOLDER (<project>/train/<stamp>) with "
                        "the settings it was started with")
    return p


# The flags whose values a resumed run takes from its setup file, and their names there.
RUN_SETTINGS = {"data": "data", "epochs": "epochs", "imgsz": "imgsz", "batch": "batch", "lr": "lr",
                "model": "model", "time": "time", "weights": "weights", "freeze": "freeze", "metric": "metric",
                "seed": "seed", "no_augment": "augmentation", "backbone": "backbone",
                "backbone_weights": "backbone_weights", "project": None}


def _run_defaults():
    return {"data": None, "epochs": None, "imgsz": None, "batch": None, "lr": None,
            "model": None, "time": None, "weights": None, "freeze": 0, "metric": "map", "seed": 0, "no_augment": False,
            "backbone": None, "backbone_weights": None, "project": "runs"}


def _resume_settings(args):
    """Fills `args` with the settings of the run in --resume (its setup JSON); returns the
    folder. A folder that is not a run of `kestrix train`, or that holds no complete training
    state, is bad input."""
    folder = os.path.abspath(args.resume)
    defaults = _run_defaults()
    given = ["--" + name.replace("_", "-") for name in RUN_SETTINGS if getattr(args, name) != defaults[name]]
    if given:
        raise CliError("%s cannot be combined with --resume: a resumed run keeps the settings it was "
                       "started with (see the setup-by-*.json in its folder)" % ", ".join(given))
    if not os.path.isdir(folder):
        raise CliError("cannot resume %s: no such run folder" % folder)
    config = None
    for path in sorted(glob.glob(os.path.join(folder, "setup-by-*.json"))):
        try:
            with open(path, encoding="utf-8") as f:
                found = json.load(f)
        except (OSError, ValueError):
            continue
        if isinstance(found, dict) and found.get("command") == "kestrix train":
            config = found
            break
    if config is None:
        raise CliError("cannot resume %s: it holds no setup-by-*.json of kestrix train" % folder)
    import tensorflow as tf

    if tf.train.latest_checkpoint(os.path.join(folder, "state")) is None:
        raise CliError("cannot resume %s: it holds no complete training state (state/ has none written "
                       "after an epoch)" % folder)
    for name, key in RUN_SETTINGS.items():
        if key is not None:
            value = config.get(key)
            setattr(args, name, value is None if name == "no_augment" else value)
    args.freeze = args.freeze or 0  # a run of an older version names none    # <project>/train/<stamp>: the logs of the resumed part go beside the run's first ones.
    args.project = os.path.dirname(os.path.dirname(folder))
    return folder


def _positive(args, *names):
    for name in names:
        value = getattr(args, name)
        if not value > 0:
            raise CliError("--%s must be positive, got %s" % (name, value))
        finite(value, name)


def _load_weights(model, path):
    """Loads what matches of `path` into `model` and says what loaded and what did not."""
    from orvane.kestrix.models.transfer import load_matching_weights

    try:
        report = load_matching_weights(model, path)
    except ValueError as e:
        raise CliError("--weights: %s" % e)
    print("Loaded %d of %d weight tensors from %s." % (report["loaded"], report["total"], path))
    for entry in report["skipped"]:
        print("  not loaded: %s" % entry)


def _backbone_settings(args, resume):
    """Checks --backbone and --backbone-weights and fills in the default weights (imagenet). A
    resumed run restores its backbone from its state and needs no weights file any more."""
    if args.backbone is None:
        if args.backbone_weights is not None:
            raise CliError("--backbone-weights needs a --backbone")
        return
    from orvane.kestrix.models.backbones import BACKBONES

    if args.backbone not in BACKBONES:
        raise CliError("--backbone must be one of %s, got %r" % (", ".join(sorted(BACKBONES)), args.backbone))
    if args.backbone_weights is None:
        args.backbone_weights = "imagenet"
    elif args.backbone_weights.lower() in ("imagenet", "none"):
        args.backbone_weights = args.backbone_weights.lower()
    elif resume is None and not os.path.isfile(args.backbone_weights):
        raise CliError("--backbone-weights: no such file: %s (give a file, imagenet or none)" % args.backbone_weights)
    else:
        args.backbone_weights = os.path.abspath(args.backbone_weights)


def _build_model(args, num_classes, resume):
    """The detector of the run; a resumed run's backbone starts from nothing, its state restores it."""
    weights = None if resume is not None else args.backbone_weights
    try:
        model = default_recipe.build_model(num_classes, args.imgsz, args.model, backbone=args.backbone,
                                           backbone_weights=weights)
    except ValueError as e:
        if args.backbone is None:
            raise
        raise CliError("--backbone %s: %s" % (args.backbone, e))
    if model.backbone_source is not None:
        print("Backbone %s." % (model.backbone_source if resume is None else
                                model.backbone_source.split(": ")[0] + ": weights from the run's state"))
    return model


def _apply_recipe(args):
    """Fills the flags left unset from the recipe of --model (a resumed run of an older version,
    whose setup names no model, is of the default size)."""
    if args.model is None:
        args.model = default_recipe.DEFAULT_MODEL
    r = default_recipe.recipe(args.model)
    for name in ("epochs", "imgsz", "batch", "lr"):
        if getattr(args, name) is None:
            setattr(args, name, r[name])


def _num_train_samples(dataset, kind):
    if dataset.num_train_samples:
        return int(dataset.num_train_samples)
    from orvane.kestrix.datasets.records import count_records

    return count_records(dataset.train_storage)


def run(args):
    quiet_keras()
    resume = _resume_settings(args) if args.resume is not None else None
    _apply_recipe(args)
    _positive(args, "epochs", "imgsz", "batch", "lr")
    _backbone_settings(args, resume)
    if args.time is not None:
        _positive(args, "time")
    if not 0 <= args.freeze <= 5:
        raise CliError("--freeze must lie in 0..5 (the backbone's stem and four stages), got %d" % args.freeze)
    if args.weights is not None and resume is None and not os.path.isfile(args.weights):  # resumed: from state
        raise CliError("--weights: no such file: %s" % args.weights)
    if args.imgsz % 32:
        raise CliError("--imgsz must be a multiple of 32 (the detector's coarsest stride), got %d"
                       % args.imgsz)
    usable_folder(args.project, "--project")
    path = resolve_data(args)
    _, kind = read_descriptor(path)

    # A broken file found now costs seconds; found halfway through training, an epoch.
    from orvane.kestrix.cli.check import refuse_broken

    refuse_broken(path)

    import tensorflow as tf

    from orvane.kestrix.callbacks.tensorboard import TensorBoard
    from orvane.kestrix.trainer.detection import DetectionTrainer

    r = default_recipe.recipe(args.model)
    aug_cfg = None if args.no_augment else dict(r["aug_cfg"])
    dataset = open_dataset(path, kind, args.imgsz, aug_cfg=aug_cfg)
    classes = list(dataset.classes)
    steps_per_epoch = math.ceil(_num_train_samples(dataset, kind) / args.batch)
    total_steps = steps_per_epoch * args.epochs
    tf.keras.utils.set_random_seed(args.seed)

    # The model first: weights that cannot be had leave no log folder behind.
    model = _build_model(args, len(classes), resume)
    if args.weights is not None and resume is None:
        _load_weights(model, args.weights)
    if args.freeze:
        from orvane.kestrix.models.transfer import freeze_stages

        frozen = freeze_stages(model, args.freeze)
        print("Froze the first %d stages of the %s backbone (%d layers)."
              % (args.freeze, args.backbone or "family's own", len(frozen)))
    logger = TensorBoard(os.path.join(args.project, "logs"), default_recipe.metric_names())
    optimizer, schedule = default_recipe.build_optimizer(args.lr, total_steps, steps_per_epoch, args.model)
    loss = default_recipe.build_loss(len(classes), args.model)
    runner = make_runner(model, args.imgsz, classes)
    evaluator = ImageCounter(make_evaluator(runner, classes))
    config = {
        "command": "kestrix train",
        "data": os.path.abspath(path), "dataset_type": kind, "classes": classes,
        "epochs": args.epochs, "imgsz": args.imgsz, "batch": args.batch, "lr": args.lr,
        "model": args.model, "time": args.time, "weights": args.weights and os.path.abspath(args.weights),
        "freeze": args.freeze, "backbone": args.backbone, "backbone_weights": args.backbone_weights,
        "metric": args.metric, "augmentation": aug_cfg, "seed": args.seed,
        "steps_per_epoch": steps_per_epoch, "schedule": schedule.get_config(),
        "optimizer": type(optimizer).__name__,
    }
    if resume is not None:
        config["resumed"] = resume
    try:
        trainer = DetectionTrainer(model, dataset, optimizer, loss, logger,
                                   checkpoint=os.path.join(args.project, "train"), H=args.imgsz,
                                   W=args.imgsz, info=config, metric=args.metric, classes=classes,
                                   display=args.display, keep_state=True, resume=resume,
                                   **default_recipe.averaging(steps_per_epoch, args.model))
    except FileNotFoundError as e:  # the run's state went missing since it was checked
        raise CliError(str(e))
    except ValueError as e:
        if resume is None:
            raise
        raise CliError(str(e))  # no state of the run restores (damaged files)
    if args.time is not None:
        # The schedule reads its length from a variable, so the compiled step follows its refits.
        schedule.total_steps = tf.Variable(total_steps, dtype=tf.int64, trainable=False, name="total_steps")
    if trainer.last_epoch >= args.epochs and args.time is None:
        print("The run in %s already finished its %d epochs; nothing to resume." % (resume, args.epochs))
        return 0
    train_ds = dataset.build_train_iterator(args.batch)
    if aug_cfg and aug_cfg.get("mosaic"):
        train_ds = default_recipe.MosaicUntil(dataset, train_ds, args.epochs - r["close_mosaic"],
                                              first=trainer.last_epoch + 1)
    val_ds = dataset.build_val_iterator()

    started = time.time()
    with _noting_interrupts() as interrupted:
        try:
            if args.time is None:
                trainer.train(args.epochs, train_ds, val_ds, evaluator, start=trainer.last_epoch + 1)
            else:
                _train_for_time(trainer, args, train_ds, val_ds, evaluator, schedule, steps_per_epoch)
        except KeyboardInterrupt:
            _report_interrupt(trainer)
            return INTERRUPTED
        except Exception as e:
            # Ctrl-C raises KeyboardInterrupt wherever Python happens to be; inside library code
            # (TensorFlow tracing the first step, say) that can surface as another error. After
            # a Ctrl-C, that is still the user's interrupt, and is reported as one.
            if not interrupted:
                raise
            first_line = (str(e).splitlines() or [""])[0]
            print("kestrix train: interrupted; on the way out: %s: %s" % (type(e).__name__, first_line),
                  file=sys.stderr)
            _report_interrupt(trainer)
            return INTERRUPTED
    elapsed = time.time() - started
    _report(trainer, logger, evaluator, elapsed, args)
    return 0


class _Paced:
    """The batches of `batches`, noting when each is asked for: the trainer asks for a batch when
    it has finished the step before, so the times between requests are step times."""

    def __init__(self, batches):
        self.batches, self.asked = batches, []

    def __iter__(self):
        self.asked = []
        for batch in self.batches:
            self.asked.append(time.time())
            yield batch

    def __len__(self):
        return len(self.batches)

    def steady_epoch(self, ended):
        """The duration of an epoch without its first step (which holds the building of the
        step's graph in the first epoch), estimated from the last epoch that ended at `ended`:
        the median step time times the steps, plus what followed the last step (validation,
        checkpoints); None when the epoch had fewer than three steps."""
        if len(self.asked) < 3:
            return None
        gaps = sorted(b - a for a, b in zip(self.asked[1:], self.asked[2:]))
        step = gaps[len(gaps) // 2]
        return step * len(self.asked) + max(ended - self.asked[-1] - step, 0.0)


def _train_for_time(trainer, args, train_ds, val_ds, evaluator, schedule, steps_per_epoch):
    """Trains for args.time minutes. After every epoch the number of epochs that fit is estimated
    anew from the time left and an epoch's duration (the median of the epochs so far, as
    validation passes vary in length; the first epoch's is its steady step time times its steps
    plus its validation time, since its first step holds the building of the step's graph), and
    when the estimate changes, the schedule's length (and the mosaic's last epoch) is fitted to
    it, so the cosine decay ends with the budget. Sets args.epochs to the epochs trained."""
    budget = args.time * 60.0
    started = time.time()
    paced = _Paced(train_ds)
    epoch = trainer.last_epoch
    estimate = max(args.epochs, epoch + 1)
    first = epoch + 1
    durations = []
    while epoch < estimate:
        begun = time.time()
        trainer.train(epoch + 1, paced, val_ds, evaluator, start=epoch + 1,
                      initial_validation=None if epoch == 0 else False)
        epoch += 1
        ended = time.time()
        durations.append((paced.steady_epoch(ended) if epoch == first else None) or (ended - begun))
        typical = sorted(durations)[len(durations) // 2]
        remaining = budget - (ended - started)
        fitted = epoch + max(int(remaining // max(typical, 1e-3)), 0)
        if fitted == estimate and epoch > first:
            continue
        estimate = fitted
        schedule.total_steps.assign(max(estimate, 1) * steps_per_epoch)
        if isinstance(train_ds, default_recipe.MosaicUntil):
            train_ds.last = estimate - default_recipe.recipe(args.model)["close_mosaic"]
        print("\t - [INFO] Time budget %.1f min: %d epochs in all (%.1f min left)"
              % (args.time, estimate, remaining / 60))
    args.epochs = epoch


@contextlib.contextmanager
def _noting_interrupts():
    """Yields a list that gets an entry for each Ctrl-C (SIGINT) received inside the block;
    each still raises KeyboardInterrupt as Python's own handler does. Outside the main thread,
    or where SIGINT is not Python's default handler (ignored, or the caller's own), nothing
    changes and the list stays empty."""
    received = []
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield received
        return

    def note(signum, frame):
        received.append(signum)
        signal.default_int_handler(signum, frame)

    signal.signal(signal.SIGINT, note)
    try:
        yield received
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


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
    from orvane.validator.evaluators import summary_key

    last = trainer.summary_rows[-1]
    best = max(trainer.summary_rows, key=lambda row: row[summary_key(args.metric)])
    results = _write_plot(trainer)
    print()
    print("Trained %d epochs in %.0f s." % (args.epochs, elapsed))
    print("Final metrics (epoch %s): %s" % (last["epoch"], metrics_line(last)))
    operating_point = operating_point_line(evaluator)
    if operating_point is not None:
        print(operating_point)
    print("Best %s: %.1f at epoch %s (best.h5)"
          % (summary_key(args.metric), best[summary_key(args.metric)], best["epoch"]))
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
