"""TFRecord detection datasets: TFRecordDatasetYaml (descriptor file), TFRecordDataset (dictionary), check_dataset and dataset_type."""
from typing import Any

import numpy as np
import tensorflow as tf

from orvane.kestrix.datasets.core import BaseDetectionDataset

class TFRecordDatasetYaml(BaseDetectionDataset):
    """TFRecord detection dataset described by a YAML file."""

    classes: list
    num_train_samples: int | None
    num_val_samples: int | None
    train_storage: list
    val_storage: list
    path_train_images: None
    path_train_annotations: None
    path_val_images: None
    path_val_annotations: None
    train_images: None
    val_images: None
    train_annotations: None
    val_annotations: list

    def __init__(
        self,
        info_file: str | None = None,
        shape: list | None = None,
        letter_box: bool = True,
        add_bkg_class: bool = True,
        aug_cfg: dict | None = None,
    ) -> None: ...
    def validate_info_file_content(self, info_dataset: dict | None = None) -> None: ...
    def load_storage(self) -> None: ...
    # (own load_instance, loader(self, elements, images) -> list of boxes or None): the training
    # pipeline's loader of whole batches while load_instance is the reader's own.
    _training_batch_loader: tuple[Any, Any]
    def load_instance(
        self, data: tf.Tensor | bytes, training: bool = True
    ) -> tuple[np.ndarray, np.ndarray] | tuple[np.ndarray, np.ndarray, bytes]: ...
    def build_and_load_base_iterator(self, storage: list | None, shuffle: bool = True) -> tf.data.Dataset: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset: ...
    def build_val_iterator(self, batch_size: int = 1) -> tf.data.Dataset: ...

class TFRecordDataset(TFRecordDatasetYaml):
    """TFRecord detection dataset described by a dictionary (tagged in place with type "tfrecord")."""

    info_dataset: dict

    def __init__(
        self,
        info_dataset: dict | None = None,
        shape: list | None = None,
        letter_box: bool = True,
        add_bkg_class: bool = True,
        aug_cfg: dict | None = None,
    ) -> None: ...
    def validate_info_file(self, info_file: str | None) -> dict: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset: ...
    def build_val_iterator(self, batch_size: int = 1) -> tf.data.Dataset: ...

def check_dataset(descriptor: dict | str) -> dict[str, Any]:
    """Reads every record of both splits; per split: shards, records, boxes, background, broken."""
    ...

def dataset_type(descriptor: dict) -> str | None:
    """The reader a descriptor is for, "darknet", "tfrecord", "coco" or "voc" (no ``type``: "tfrecord"); None if unknown."""
    ...
