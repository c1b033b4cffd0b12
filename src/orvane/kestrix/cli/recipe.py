"""The default training recipe of the example detector, as data, and the builders that read it.

``RECIPE`` is the one place where the defaults live: the command line's ``kestrix train`` takes
its flags' defaults from it, and the benchmarks train at it. It is tuned so that the detector of
``orvane.kestrix.models`` reaches mAP@0.5 >= 0.6 on the embedded demo dataset (about 1,000
training images of coloured shapes at 160 x 160) in about three minutes on two CPU cores.

Keys:

- ``imgsz``: input height and width of the detector (images are letter-boxed to it);
- ``width``: channels of the detector's first stage;
- ``batch``: training images per step;
- ``epochs``: training epochs;
- ``lr``: peak learning rate of the ``WarmUpCosineDecay`` schedule;
- ``warmup_epochs``: epochs of its linear warm-up (at least one step); ``hold_epochs``: epochs it
  stays at the peak before the cosine decay;
- ``optimizer``: ``{"name": "adam", ...}`` keyword arguments of ``tf.keras.optimizers.Adam``
  besides the learning rate;
- ``aug_cfg``: the dataset core's augmentation settings (frequencies of each technique);
- ``loss``: keyword arguments of ``DetectionLoss`` besides ``num_classes``.
"""
from __future__ import annotations

import copy

RECIPE = {
    "imgsz": 128,
    "width": 16,
    "batch": 16,
    "epochs": 8,
    "lr": 4e-3,
    "warmup_epochs": 1,
    "hold_epochs": 0,
    "optimizer": {"name": "adam", "beta_1": 0.9, "beta_2": 0.999, "epsilon": 1e-7},
    "aug_cfg": {"flip": 0.5, "hsv": 0.5, "scale": 0.5},
    "loss": {"box_weight": 2.0, "class_weight": 1.0, "objectness_weight": 1.0},
}

STEP_LOSSES = ["total-loss", "localization-loss", "classification-loss", "objectness-loss"]


def recipe(**overrides) -> dict:
    """A deep copy of ``RECIPE`` with top-level keys replaced by ``overrides``."""
    unknown = set(overrides) - set(RECIPE)
    if unknown:
        raise KeyError("unknown recipe keys: %s" % ", ".join(sorted(unknown)))
    result = copy.deepcopy(RECIPE)
    result.update(copy.deepcopy(overrides))
    return result


def metric_names() -> list:
    """Every name the TensorBoard logger should publish for a run at this recipe."""
    from orvane.validator.evaluators import SUMMARY_KEYS

    return STEP_LOSSES + ["step-time (seconds)", "learning-rate"] + list(SUMMARY_KEYS)


def build_model(num_classes: int, imgsz: int | None = None, width: int | None = None):
    """The example detector on ``imgsz`` x ``imgsz`` inputs (defaults from ``RECIPE``)."""
    from orvane.kestrix.models import build_detector

    size = int(imgsz if imgsz is not None else RECIPE["imgsz"])
    return build_detector(num_classes, (size, size, 3), width=int(width if width is not None else RECIPE["width"]))


def build_schedule(lr: float | None, total_steps: int, steps_per_epoch: int):
    """The ``WarmUpCosineDecay`` of the recipe over ``total_steps`` steps."""
    from orvane.kestrix.schedulers.scheduler import WarmUpCosineDecay

    total_steps = max(int(total_steps), 1)
    warmup = min(max(int(RECIPE["warmup_epochs"] * steps_per_epoch), 1), total_steps)
    hold = min(int(RECIPE["hold_epochs"] * steps_per_epoch), total_steps - warmup)
    peak = float(lr if lr is not None else RECIPE["lr"])
    return WarmUpCosineDecay(start_lr=0.0, target_lr=peak, warmup_steps=warmup, total_steps=total_steps, hold=hold)


def build_optimizer(lr: float | None, total_steps: int, steps_per_epoch: int):
    """``(optimizer, schedule)``: Adam with the recipe's settings on its warm-up cosine rate."""
    import tensorflow as tf

    schedule = build_schedule(lr, total_steps, steps_per_epoch)
    settings = {k: v for k, v in RECIPE["optimizer"].items() if k != "name"}
    return tf.keras.optimizers.Adam(learning_rate=schedule, **settings), schedule


def build_loss(num_classes: int):
    """The ``DetectionLoss`` of the recipe."""
    from orvane.kestrix.losses.detection import DetectionLoss

    return DetectionLoss(num_classes, **RECIPE["loss"])
