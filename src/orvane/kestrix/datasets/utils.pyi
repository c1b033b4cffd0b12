"""Image and box helpers of the detection datasets."""
from typing import Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

def letterbox(
    image: npt.NDArray[np.uint8], new_shape: Union[int, Sequence[int]], auto: bool = False
) -> Tuple[npt.NDArray[np.uint8], Tuple[float, float], Tuple[float, float]]: ...
def xywhn2xyxy(
    boxes: npt.ArrayLike, w: float, h: float, padw: float = 0, padh: float = 0
) -> npt.NDArray[np.floating]: ...
