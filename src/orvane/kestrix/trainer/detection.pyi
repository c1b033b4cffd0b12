"""The detection training driver: ``DetectionTrainer``."""
from typing import Any, Iterable

import tensorflow as tf

t0: int
t1: int
t2: int
t3: int
t4: int

class DetectionTrainer:
    """Trains a Keras detection model and keeps the files of its run.

    The run folder ``<checkpoint>/<logger.time_stamp>`` holds ``setup-by-<date>.json``,
    ``labels.txt``, ``last.h5``, ``best.h5`` and ``summary.csv``.
    """

    model: tf.keras.Model
    metric: Any
    dataset: Any
    optimizer: Any
    loss: Any
    logger: Any
    evaluator: None
    H: Any
    W: Any
    val_messenger: Any  # orvane.validator.writers.TrainingTensorBoardWriter
    best_value: float
    iou: Any
    classes: list
    display: Any
    checkpoint: str
    best: str
    last: str
    summary_rows: list[dict[str, Any]]
    # Only with keep_state or resume: the last epoch whose state was written (0: none yet).
    last_epoch: int
    # Only with resume.
    resumed: bool
    # Only with ema: the decay of the weight averaging and its ramp in updates.
    ema: float
    ema_tau: float
    # Only after training under a tf.distribute strategy: the compiled per-replica step.
    distributed_step: Any

    def __init__(
        self,
        model: tf.keras.Model,
        dataset: Any,
        optimizer: Any,
        loss: Any,
        logger: Any = None,
        checkpoint: str = None,
        H: int = 320,
        W: int = 320,
        info: Any = None,
        metric: str = "acc",
        iou: float = 0.5,
        classes: list = None,
        display: int = None,
        parameters: Any = None,
        keep_state: bool = False,
        resume: str | None = None,
        ema: float | None = None,
        ema_tau: float = 2000.0,
    ) -> None: ...
    def preprocess_input(self, x: tf.Tensor) -> tf.Tensor:
        """``tf.cast(x, tf.float32) / 255.0`` (tf.function)."""
    def train_step(self, data: Any) -> dict[str, tf.Tensor]:
        """One gradient step on ``[uint8 images [B,H,W,3], float32 boxes [B,N,5]]`` (tf.function)."""
    def save_model(self, val: float) -> None:
        """Writes last.h5 and, when ``val`` beats ``best_value``, best.h5 (each replaced atomically)."""
    def update_metrics(self, metrics: dict = {}, losses: dict = {}, epoch: int = 0) -> None:
        """Publishes the twelve validation percentages and rewrites summary.csv."""
    def train(
        self,
        epochs: int,
        train_ds: Iterable[Any] | None = None,
        val_ds: Iterable[Any] | None = None,
        evaluator: Any = None,
        start: int = 1,
        initial_validation: bool | None = None,
    ) -> None:
        """Trains epochs ``start`` to ``epochs`` with a validation pass before and after each."""

def validation_pass(
    val_ds: Iterable[Any],
    evaluator: Any,
    classes: list,
    epoch: Any = 0,
    writer: Any = None,
    display: int = 0,
) -> dict[str, Any]:
    """One validation pass (the trainer's, also run by ``kestrix val``); returns the evaluator's metrics."""
