"""Example models: ``build_detector``, a small anchor-free detector (see ``models.detection``).

Saved detectors load with ``tf.keras.models.load_model`` alone: they use built-in layers only.
"""
from .detection import STRIDE, build_detector

__all__ = ["STRIDE", "build_detector"]
