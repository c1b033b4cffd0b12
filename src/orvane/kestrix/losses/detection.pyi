"""The detection loss of the package's detector family: ``DetectionLoss``."""
from typing import Dict, Sequence

import tensorflow as tf

from orvane.kestrix.losses.core import KestrixLoss

class DetectionLoss(KestrixLoss):
    """Loss of the detector family: task-aligned assignment in the graph, CIoU and distribution
    losses for the boxes, IoU-aware soft targets for the classes."""

    num_classes: int
    reg_max: int
    topk: int
    alpha: float
    beta: float
    box_weight: float
    dfl_weight: float
    class_weight: float

    def __init__(
        self,
        num_classes: int,
        reg_max: int = 16,
        topk: int = 10,
        alpha: float = 0.5,
        beta: float = 6.0,
        box_weight: float = 7.5,
        dfl_weight: float = 1.5,
        class_weight: float = 1.0,
    ) -> None: ...
    def compute_loss(self, y_true: Sequence[tf.Tensor], y_pred: Sequence[tf.Tensor]) -> Dict[str, tf.Tensor]:
        """"total-loss", "localization-loss", "distribution-loss", "classification-loss"."""
    def assign(self, y_true: Sequence[tf.Tensor], y_pred: Sequence[tf.Tensor]) -> Dict[str, tf.Tensor]:
        """"positive", "assigned" and "target_score" per anchor point: the assignment of the batch."""
