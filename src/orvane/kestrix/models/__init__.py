"""The package's detector family: ``build_detector`` (sizes t, n, s, m; see ``models.detection``),
with its own backbone or a Keras Applications one (``models.backbones``).

Saved detectors load with ``tf.keras.models.load_model`` alone: they use built-in layers only.
"""
from .detection import REG_MAX, SIZES, STRIDES, anchor_points, build_detector

__all__ = ["REG_MAX", "SIZES", "STRIDES", "anchor_points", "build_detector"]
