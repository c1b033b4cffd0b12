"""The detection loss of the package's example detector: ``DetectionLoss``."""
from typing import Any, Dict, Sequence

import tensorflow as tf

from orvane.kestrix.losses.core import KestrixLoss

class DetectionLoss(KestrixLoss):
    """Loss of the anchor-free, centre-based detector: GIoU localization, class and focal
    objectness terms with in-graph target assignment."""

    num_classes: int
    stride: int
    radius: float
    box_weight: float
    class_weight: float
    objectness_weight: float
    focal_alpha: float
    focal_gamma: float

    def __init__(
        self,
        num_classes: int,
        stride: int = 8,
        radius: float = 1.5,
        box_weight: float = 2.0,
        class_weight: float = 1.0,
        objectness_weight: float = 1.0,
        focal_alpha: float = 0.25,
        focal_gamma: float = 2.0,
    ) -> None: ...
    def compute_loss(self, y_true: Sequence[tf.Tensor], y_pred: Sequence[tf.Tensor]) -> Dict[str, tf.Tensor]:
        """"total-loss", "localization-loss", "classification-loss", "objectness-loss"."""
