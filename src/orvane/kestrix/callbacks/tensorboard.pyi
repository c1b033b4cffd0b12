"""Training metrics logger writing TensorBoard event files."""
from typing import Any

import numpy as np

class TensorBoard:
    """Time-stamped log folder, one event-file writer, filtered scalar points."""

    time_stamp: str
    storage: str
    metric_names: list
    global_step: int
    writer: Any  # tf.summary file writer

    def __init__(self, storage: str, metric_names: list = None) -> None: ...
    def update_metrics(self, metrics: dict = None, losses: dict = None) -> None: ...
    def upload_image(self, caption: str, image: np.ndarray, epoch: int) -> None: ...
    def refresh(self) -> None: ...
