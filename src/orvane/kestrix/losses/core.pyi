"""Base class of the orvane.kestrix losses and their Keras adapters."""
from typing import Any, Callable, Dict, Iterable, List

import tensorflow as tf

class KestrixLoss:
    """Base of the package's losses: ``compute_loss(y_true, y_pred)`` returns a
    dict of named scalar tensors holding "total-loss", the value minimised."""

    def __init__(self) -> None: ...
    def compute_loss(self, y_true: Any, y_pred: Any) -> Dict[str, tf.Tensor]:
        """Named losses for a batch; subclasses implement it."""

def keras_loss(loss: Any, entry: str = "total-loss") -> Callable[[Any, Any], tf.Tensor]:
    """A Keras loss function returning ``loss.compute_loss(y_true, y_pred)[entry]``."""

def keras_metrics(loss: Any, entries: Iterable[str]) -> List[tf.keras.metrics.MeanMetricWrapper]:
    """One Keras mean metric per entry of ``loss.compute_loss``, named after it."""
