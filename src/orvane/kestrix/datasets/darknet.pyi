"""Darknet detection datasets: DarknetDatasetYaml (descriptor file), DarknetDataset (dictionary) and check_dataset."""
import os
from typing import Any

import numpy as np
import tensorflow as tf

from orvane.kestrix.datasets.core import BaseDetectionDataset

class DarknetDatasetYaml(BaseDetectionDataset):
    """Darknet detection dataset (a folder of images, a folder of ``<stem>.txt`` files) described by a YAML file."""

    classes: list
    num_train_samples: int
    num_val_samples: int
    train_storage: list[list[str]]
    val_storage: list[list[str]]
    path_train_images: str | None
    path_train_annotations: str | None
    path_val_images: str | None
    path_val_annotations: str | None
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
    # (own load_instance, loader(self, elements, images) -> list of boxes or None): the training
    # pipeline's loader of whole batches while load_instance is the reader's own.
    _training_batch_loader: tuple[Any, Any]
    def load_instance(
        self, data: tf.Tensor | Any, training: bool = True
    ) -> tuple[np.ndarray, np.ndarray] | tuple[np.ndarray, np.ndarray, str]: ...
    def load_storage(self) -> None: ...
    def build_and_load_base_iterator(self, storage: list | None, shuffle: bool = True) -> tf.data.Dataset: ...

class DarknetDataset(DarknetDatasetYaml):
    """Darknet detection dataset described by a dictionary (tagged in place with type "darknet")."""

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

def check_dataset(descriptor: dict | str) -> dict[str, Any]: ...
def read_labels(path: str | os.PathLike, num_classes: int | None = None) -> np.ndarray:
    """float64 [N, 5] rows (class, x, y, w, h) of one annotation file, parsed as the reader parses it."""
    ...
def read_image(path: str | os.PathLike) -> np.ndarray:
    """uint8 [H, W, 3] RGB pixels of an image file, read as the validation pipeline reads it."""
    ...
