"""Warm-up, hold and cosine-decay learning-rate schedule."""
from typing import Any

import tensorflow as tf

class WarmUpCosineDecay(tf.keras.optimizers.schedules.LearningRateSchedule):
    """Linear warm-up from 0 to ``target_lr``, a hold at ``target_lr``, then a
    half cosine down to 0 at ``total_steps``; ``start_lr`` for later steps."""

    start_lr: float
    target_lr: float
    warmup_steps: Any
    total_steps: Any
    hold: Any
    _warmup_lr: tf.Variable
    _learning_rate: tf.Variable

    def __init__(
        self, start_lr: float, target_lr: float, warmup_steps: int, total_steps: int, hold: int
    ) -> None: ...
    def get_warmup(self) -> tf.Tensor:
        """Warm-up candidate of the last evaluation (0 before any)."""
    def get_learning_rate(self) -> tf.Tensor:
        """Cosine/hold candidate of the last evaluation (0 before any)."""
    def lr_warmup_cosine_decay(
        self,
        global_step: tf.Tensor,
        warmup_steps: tf.Tensor,
        hold: int = 0,
        total_steps: int = 0,
        start_lr: float = 0.0,
        target_lr: float = 1e-3,
    ) -> tf.Tensor: ...
    def __call__(self, step: tf.Tensor) -> tf.Tensor: ...
    def get_config(self) -> dict[str, Any]: ...
