"""The training recipes of the package's detector family, as data, and the builders that read them.

``RECIPES`` holds one recipe per model size (``t``, ``n``, ``s``, ``m``); ``RECIPE`` is the default
one (size ``t``, the one that trains in minutes on a CPU). They are the one place where the
defaults live: the command line's ``kestrix train`` takes its flags' defaults from the recipe of
``--model``, and the benchmarks train at them. The default recipe is tuned so that ``make demo``
(the embedded dataset of 1,000 coloured shapes at 128 x 128) reaches mAP@0.5 >= 95 within three
minutes on two CPU cores; ``n``, ``s`` and ``m`` are tuned for photographs at 320 x 320.

Keys:

- ``model``: the size of the family (``orvane.kestrix.models.SIZES``);
- ``imgsz``: input height and width of the detector (images are letter-boxed to it);
- ``batch``: training images per step;
- ``epochs``: training epochs;
- ``lr``: peak learning rate of the ``WarmUpCosineDecay`` schedule;
- ``warmup_epochs``: epochs of its linear warm-up (at least one step); ``hold_epochs``: epochs it
  stays at the peak before the cosine decay;
- ``optimizer``: ``{"name": "adamw", ...}`` keyword arguments of ``tf.keras.optimizers.AdamW``
  besides the learning rate;
- ``aug_cfg``: the dataset core's augmentation settings (frequencies of each technique);
- ``close_mosaic``: the last epochs trained without the mosaic;
- ``ema_epochs``: the span, in epochs, of the moving average of the weights (its decay is
  ``1 - 1 / (ema_epochs * steps_per_epoch)``, reached over about the first epoch); 0 turns the
  averaging off;
- ``loss``: keyword arguments of ``DetectionLoss`` besides ``num_classes``.
"""
from __future__ import annotations

import copy

_BASE = {
    "model": "t",
    "imgsz": 128,
    "batch": 16,
    "epochs": 8,
    "lr": 5e-3,
    "warmup_epochs": 0.5,
    "hold_epochs": 0,
    "optimizer": {"name": "adamw", "beta_1": 0.9, "beta_2": 0.999, "epsilon": 1e-7, "weight_decay": 5e-4},
    "aug_cfg": {"flip": 0.5, "hsv": 0.5, "scale": 0.5},
    "close_mosaic": 0,
    "ema_epochs": 0.3,
    "loss": {"box_weight": 7.5, "dfl_weight": 1.5, "class_weight": 1.0},
}


def _sized(**changes):
    result = copy.deepcopy(_BASE)
    result.update(changes)
    return result


# Photographs at 320: objects of every size, a few hundred images, tens of epochs. The mosaic
# shows each step four images' objects at half scale and is switched off for the last epochs;
# the average spans a few epochs of the few steps a small set gives.
_PHOTOS = {"imgsz": 320, "epochs": 30, "warmup_epochs": 2, "ema_epochs": 2.0, "close_mosaic": 3,
           "aug_cfg": {"flip": 0.5, "hsv": 0.5, "scale": 0.5, "mosaic": 0.5}}

RECIPES = {
    # The embedded shapes at 128 in three minutes: no mosaic (it would halve objects that are
    # already small), a short warm-up and a short average, as the run has only a few epochs.
    "t": _sized(),
    "n": _sized(model="n", lr=2e-3, **_PHOTOS),
    "s": _sized(model="s", lr=1.5e-3, **_PHOTOS),
    "m": _sized(model="m", lr=1e-3, **_PHOTOS),
}

DEFAULT_MODEL = "t"
RECIPE = RECIPES[DEFAULT_MODEL]

STEP_LOSSES = ["total-loss", "localization-loss", "distribution-loss", "classification-loss"]


def recipe(model: str | None = None, **overrides) -> dict:
    """A deep copy of the recipe of ``model`` (default ``DEFAULT_MODEL``) with top-level keys
    replaced by ``overrides``."""
    size = DEFAULT_MODEL if model is None else model
    if size not in RECIPES:
        raise KeyError("unknown model size %r (known: %s)" % (size, ", ".join(RECIPES)))
    unknown = set(overrides) - set(RECIPES[size])
    if unknown:
        raise KeyError("unknown recipe keys: %s" % ", ".join(sorted(unknown)))
    result = copy.deepcopy(RECIPES[size])
    result.update(copy.deepcopy(overrides))
    return result


def metric_names() -> list:
    """Every name the TensorBoard logger should publish for a run at this recipe."""
    from orvane.validator.evaluators import SUMMARY_KEYS

    return STEP_LOSSES + ["step-time (seconds)", "learning-rate"] + list(SUMMARY_KEYS)


def build_model(num_classes: int, imgsz: int | None = None, model: str | None = None, **options):
    """A detector of the family on ``imgsz`` x ``imgsz`` inputs (defaults from the recipe of
    ``model``); ``options`` go to ``build_detector``."""
    from orvane.kestrix.models import build_detector

    r = recipe(model)
    size = int(imgsz if imgsz is not None else r["imgsz"])
    return build_detector(num_classes, (size, size, 3), size=r["model"], **options)


def build_schedule(lr: float | None, total_steps: int, steps_per_epoch: int, model: str | None = None):
    """The ``WarmUpCosineDecay`` of the recipe over ``total_steps`` steps."""
    from orvane.kestrix.schedulers.scheduler import WarmUpCosineDecay

    r = recipe(model)
    total_steps = max(int(total_steps), 1)
    warmup = min(max(int(r["warmup_epochs"] * steps_per_epoch), 1), total_steps)
    hold = min(int(r["hold_epochs"] * steps_per_epoch), total_steps - warmup)
    peak = float(lr if lr is not None else r["lr"])
    return WarmUpCosineDecay(start_lr=0.0, target_lr=peak, warmup_steps=warmup, total_steps=total_steps, hold=hold)


def build_optimizer(lr: float | None, total_steps: int, steps_per_epoch: int, model: str | None = None):
    """``(optimizer, schedule)``: AdamW with the recipe's settings on its warm-up cosine rate."""
    import tensorflow as tf

    r = recipe(model)
    schedule = build_schedule(lr, total_steps, steps_per_epoch, model)
    settings = {k: v for k, v in r["optimizer"].items() if k != "name"}
    return tf.keras.optimizers.AdamW(learning_rate=schedule, **settings), schedule


def averaging(steps_per_epoch: int, model: str | None = None) -> dict:
    """The trainer's ``ema`` and ``ema_tau`` arguments for the recipe (``ema`` None: off)."""
    span = float(recipe(model)["ema_epochs"]) * max(int(steps_per_epoch), 1)
    if span <= 0:
        return {"ema": None}
    return {"ema": 1.0 - 1.0 / max(span, 2.0), "ema_tau": float(max(int(steps_per_epoch), 1))}


class MosaicUntil:
    """The training batches of ``dataset``'s pipeline ``batches``, with the dataset's mosaic
    switched off from epoch ``last + 1`` on (each iteration is one epoch, counted from
    ``first``)."""

    def __init__(self, dataset, batches, last: int, first: int = 1):
        self.dataset, self.batches, self.last, self.epoch = dataset, batches, int(last), int(first) - 1

    def __iter__(self):
        self.epoch += 1
        self.dataset.mosaic_enabled = self.epoch <= self.last
        return iter(self.batches)

    def __len__(self):
        return len(self.batches)


def build_loss(num_classes: int, model: str | None = None):
    """The ``DetectionLoss`` of the recipe."""
    from orvane.kestrix.losses.detection import DetectionLoss

    return DetectionLoss(num_classes, **recipe(model)["loss"])
