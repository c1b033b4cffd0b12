"""Record files of detection samples: counting, reading, writing, Example coding."""
import os
from typing import Any, Iterable, Mapping, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike]
_BytesLike = Union[bytes, bytearray, memoryview]

class ParsedExample(TypedDict):
    image: bytes
    image_name: bytes
    width: int
    height: int
    objects: npt.NDArray[np.int64]
    bboxes: npt.NDArray[np.float32]

Sample = Union[Mapping[str, Any], Tuple[Any, Union[str, bytes], Any, Any]]

def count_records(paths: Union[_Path, Iterable[_Path]]) -> int: ...
def read_records(path: _Path) -> list[bytes]: ...
def encode_example(
    image: Union[_BytesLike, npt.NDArray[np.uint8]],
    image_name: Union[str, bytes],
    width: int,
    height: int,
    objects: Union[Sequence[int], npt.ArrayLike] = (),
    bboxes: Union[Sequence[float], npt.ArrayLike] = (),
) -> bytes: ...
def parse_example(serialized: Any) -> ParsedExample: ...
def write_records(path: _Path, records: Iterable[_BytesLike]) -> int: ...
def write_detection_shards(
    folder: _Path, samples: Iterable[Sample], shard_size: int = 100, prefix: str = "shard", overwrite: bool = False
) -> list[str]: ...
