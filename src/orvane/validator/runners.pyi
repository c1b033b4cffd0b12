"""Detection runner: one validation image through the model, per-class NMS, boxes back in image coordinates."""
from typing import Any, Sequence, Tuple

import numpy as np
import numpy.typing as npt
import tensorflow as tf

class DetectionRunner:
    """Runs a detection model (outputs[2]: boxes [B,K,4] pixels, outputs[3]: scores [B,K,C]) on one image."""

    model: tf.keras.Model
    input_shape: Tuple[int, int]
    classes: list
    score_threshold: float
    iou_threshold: float
    max_detections: int
    letter_box: bool

    def __init__(
        self,
        model: tf.keras.Model,
        input_shape: Sequence[int],
        classes: list,
        score_threshold: float = 0.001,
        iou_threshold: float = 0.5,
        max_detections: int = 100,
        letter_box: bool = True,
    ) -> None: ...
    def infer(self, images: Any) -> Tuple[tf.Tensor, tf.Tensor]:
        """The compiled model call on uint8 ``[B, H, W, 3]``: (boxes, scores) (tf.function)."""
    def run_single_instance(
        self, image: npt.NDArray[np.uint8]
    ) -> Tuple[npt.NDArray[np.float32], np.ndarray, npt.NDArray[np.float32]]: ...
