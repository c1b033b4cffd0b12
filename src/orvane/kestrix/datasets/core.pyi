"""Dataset core: BaseDetectionDataset, the base class of the detection dataset readers."""
from typing import Any

import tensorflow as tf

class BaseDetectionDataset:
    """Base class of the detection datasets: construction order, batched pipelines and the
    augmentation of training samples (``aug_cfg`` keys "flip", "hsv", "scale": frequencies
    0..1; "seed": an integer or None)."""

    shape: list | None
    letter_box: bool
    class_offset: int
    aug_cfg: dict | None
    train_storage: Any
    val_storage: Any

    def __init__(
        self,
        info_file: str | None = None,
        shape: list | None = None,
        letter_box: bool = True,
        *,
        add_bkg_class: bool = True,
        aug_cfg: dict | None = None,
    ) -> None: ...
    def validate_info_file(self, info_file: str | None) -> dict: ...
    def validate_info_file_content(self, info_dataset: dict | None = None) -> None: ...
    def load_storage(self) -> None: ...
    def build_and_load_base_iterator(self, storage: list | None, shuffle: bool = True) -> tf.data.Dataset: ...
    def load_instance(self, data: Any, training: bool = True) -> tuple: ...
    def build_train_iterator(self, batch_size: int, prefetch: int | None = 10) -> tf.data.Dataset: ...
    def build_val_iterator(self, batch_size: int = 1) -> tf.data.Dataset: ...
