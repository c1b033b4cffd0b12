"""The segmentation loss: ``SegmentationLoss``."""
from typing import Any, Dict, List, Optional

import tensorflow as tf

from orvane.kestrix.losses.core import KestrixLoss

class SegmentationLoss(KestrixLoss):
    """Cross-entropy, Dice and background false-positive losses for segmentation.

    ``compute_loss(mask, logits)`` returns "total-loss", "iou-loss",
    "class-loss" and "negative-loss"."""

    weights: List[float]
    num_classes: int
    use_dynamic_class_weights: bool
    cce: tf.keras.losses.CategoricalCrossentropy

    def __init__(
        self, num_classes: int = 0, weights: Optional[List[float]] = None, use_dynamic_class_weights: bool = False
    ) -> None: ...
    @staticmethod
    def dice_coeff(y_true: Any, y_pred: Any) -> tf.Tensor:
        """``(2 * sum(t * p) + 1) / (sum(t) + sum(p) + 1)`` over every element."""
    def dice_loss(self, y_true: Any, y_pred: Any) -> tf.Tensor:
        """``1 - dice_coeff(y_true, y_pred)``."""
    def weighted_categorical_crossentropy(self, y_true: Any, y_pred: Any) -> tf.Tensor:
        """Cross-entropy of ``[b, c]`` labels, each entry weighted by its class's frequency."""
    def compute_loss(self, y_true: Any, y_pred: Any) -> Dict[str, tf.Tensor]:
        """Named losses of a mask ``[B, H0, W0]`` (or ``(mask, ...)``) and logits ``[B, H, W, C]``."""
