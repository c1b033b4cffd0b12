"""COCO detection datasets: CocoDatasetYaml (descriptor file), CocoDataset (dictionary), check_dataset and read_annotations."""
import os
from typing import Any

import numpy as np
import tensorflow as tf

from orvane.kestrix.datasets.core import BaseDetectionDataset

class CocoDatasetYaml(BaseDetectionDataset):
    """COCO detection dataset (a folder of images and an instances file per split) described by a YAML file."""

    classes: list
    category_ids: list[int]
    image_ids: dict[str, int]
    num_train_samples: int
    num_val_samples: int
    train_storage: list[list[str]]
    val_storage: list[list[str]]
    ignore_regions: bool
    _training_batch_loader: tuple[Any, Any]

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
    def load_instance(
        self, data: tf.Tensor | Any, training: bool = True
    ) -> tuple[np.ndarray, np.ndarray] | tuple[np.ndarray, np.ndarray, str, np.ndarray]: ...
    def build_and_load_base_iterator(self, storage: list | None, shuffle: bool = True) -> tf.data.Dataset: ...
    def objects(self, data: Any) -> dict[str, Any]: ...

class CocoDataset(CocoDatasetYaml):
    """COCO detection dataset described by a dictionary (tagged in place with type "coco")."""

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
def read_annotations(path: str | os.PathLike, classes: list | None = None) -> dict[str, Any]: ...
