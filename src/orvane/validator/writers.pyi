"""Validation writer: validation images with ground-truth and detected boxes, to TensorBoard."""
from typing import Any, Sequence

import numpy as np

class TrainingTensorBoardWriter:
    """Publishes validation images with boxes drawn (ground truth green, detections red)."""

    writer: Any  # tf.summary file writer

    def __init__(self, writer: Any) -> None: ...
    def publish_detections(
        self,
        caption: str,
        image: np.ndarray,
        gt_boxes: np.ndarray,
        gt_labels: Sequence[Any],
        dt_boxes: np.ndarray,
        dt_labels: Sequence[Any],
        dt_scores: Sequence[float],
        step: int,
        *,
        normalized: bool = True,
        min_score: float = 0.0,
    ) -> None: ...
    def publish_scalar(self, tag: str, value: float, step: int) -> None: ...
    def flush(self) -> None: ...
