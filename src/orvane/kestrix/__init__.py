"""orvane.kestrix: training core for TensorFlow/Keras detection and segmentation models.

Every module below this package is a compiled C++ extension.
"""

__version__ = "0.1.0"
