"""Deployment exports of trained detectors (SavedModel, TFLite fp32/fp16/int8, ONNX) with
suppression in the graph and a metadata file beside each, and the runtimes that run them back.

Python glue over the TFLite converter, tf2onnx and the runtimes; the converters and runtimes
come with the export extra (``pip install 'orvane-kestrix[export]'``).
"""
from orvane.kestrix.export.core import FORMATS, ExportError, MissingRuntimeError, check_target, \
    default_output, detector_outputs, export_model, input_size, metadata_path
from orvane.kestrix.export.runtime import ExportedModel, is_export, read_metadata

__all__ = ["FORMATS", "ExportError", "ExportedModel", "MissingRuntimeError", "check_target", "default_output",
           "detector_outputs", "export_model", "input_size", "is_export", "metadata_path", "read_metadata"]
