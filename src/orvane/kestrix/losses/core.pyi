"""Base class of the orvane.kestrix losses."""
from typing import Any, Dict

import tensorflow as tf

class KestrixLoss:
    """Base of the package's losses: ``compute_loss(y_true, y_pred)`` returns a
    dict of named scalar tensors holding "total-loss", the value minimised."""

    def __init__(self) -> None: ...
    def compute_loss(self, y_true: Any, y_pred: Any) -> Dict[str, tf.Tensor]:
        """Named losses for a batch; subclasses implement it."""
