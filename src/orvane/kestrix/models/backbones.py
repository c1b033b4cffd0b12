"""Keras Applications backbones for the detector family: ``mobilenetv2``, ``efficientnetb0``, ``resnet50``.

``build_backbone`` runs an application (without its classifier) on the detector's float32 0..1
images and returns its stride 8, 16 and 32 feature maps, taken by layer name from ``BACKBONES``.
The application sits in the detector as one nested model named ``backbone_<name>``; the
scaling each application expects (its own input preprocessing) is done before it by built-in
layers (``Rescaling``, a frozen ``Dense``), so a saved detector still loads with
``tf.keras.models.load_model`` and no custom objects, under Keras 3 and tf-keras.

Stages (what ``--freeze N`` keeps fixed): the stem is stage 0, and stage k (1..4) holds the
blocks whose output has stride 2**(k+1): for ``resnet50`` the groups conv2..conv5, for
``mobilenetv2`` blocks 1-2, 3-5, 6-12 and 13-16 with the last 1x1 convolution, for
``efficientnetb0`` blocks 2, 3, 4-5 and 6-7 with the top convolution (the stem, block 1 and the
input normalisation form stage 0). Each stage is a set of layer-name prefixes of the
application (``BACKBONES[name]["stages"]``).

Weights: ``"imagenet"`` lets Keras fetch the application's ImageNet weights (this needs the
internet, or Keras's cache); a FILE is the weights file of the bare application, written for
example, where the internet is, by
``tf.keras.applications.MobileNetV2(alpha=0.35, include_top=False, weights="imagenet",
input_shape=(224, 224, 3)).save_weights("mobilenetv2-0.35.weights.h5")`` (the input size does not
matter; ``alpha`` must be the one of the detector's size, see ``mobile_alpha``; ``weights=None``
there gives a file of random weights); None or ``"none"`` is random initialisation.
"""
from __future__ import annotations

import os

import numpy as np
import tensorflow as tf

__all__ = ["BACKBONES", "PREFIX", "build_backbone", "find_backbone", "mobile_alpha", "stage_layers"]

PREFIX = "backbone_"
"""The nested application model is named ``PREFIX + name``; its preprocessing layers start so too."""

# The width multiplier of the mobile backbone per size of the family.
_MOBILE_ALPHA = {"t": 0.35, "n": 0.5, "s": 0.75, "m": 1.0}

_IMAGENET_BGR_MEAN = np.array([103.939, 116.779, 123.68], np.float32)

BACKBONES = {
    "mobilenetv2": {
        "application": "MobileNetV2",
        "features": ("block_6_expand_relu", "block_13_expand_relu", "out_relu"),
        # its inputs in -1..1
        "preprocess": "symmetric",
        "stages": (("Conv1", "bn_Conv1", "expanded_conv_"),
                   ("block_1_", "block_2_"),
                   ("block_3_", "block_4_", "block_5_"),
                   tuple("block_%d_" % i for i in range(6, 13)),
                   tuple("block_%d_" % i for i in range(13, 17)) + ("Conv_1", "out_relu")),
    },
    "efficientnetb0": {
        "application": "EfficientNetB0",
        "features": ("block4a_expand_activation", "block6a_expand_activation", "top_activation"),
        # the application scales 0..255 inputs itself
        "preprocess": "bytes",
        "stages": (("rescaling", "normalization", "stem_", "block1"),
                   ("block2",), ("block3",), ("block4", "block5"), ("block6", "block7", "top_")),
    },
    "resnet50": {
        "application": "ResNet50",
        "features": ("conv3_block4_out", "conv4_block6_out", "conv5_block3_out"),
        # 0..255 in BGR order less the ImageNet mean
        "preprocess": "bgr_mean",
        "stages": (("conv1_", "pool1_"), ("conv2_",), ("conv3_",), ("conv4_",), ("conv5_",)),
    },
}
"""Per backbone: the ``tf.keras.applications`` constructor, the layers giving the stride 8, 16
and 32 features, the input scaling the application expects, and the name prefixes of its stages
(stem first)."""


def mobile_alpha(size: str):
    """The width multiplier ``alpha`` of ``mobilenetv2`` for a size of the family (t 0.35, n 0.5,
    s 0.75, m 1.0)."""
    return _MOBILE_ALPHA[size]


def _check_name(name):
    if name not in BACKBONES:
        raise ValueError("unknown backbone %r (known: %s)" % (name, ", ".join(sorted(BACKBONES))))


def _constructor_kwargs(name, size, input_shape):
    kwargs = {"include_top": False, "input_shape": tuple(int(d) for d in input_shape)}
    if name == "mobilenetv2":
        kwargs["alpha"] = mobile_alpha(size)
    return kwargs


def _describe(name, size):
    return name + (" (alpha %g)" % mobile_alpha(size) if name == "mobilenetv2" else "")


def _preprocess(inputs, name):
    """The detector's 0..1 images scaled the way the application ``name`` expects them."""
    layers = tf.keras.layers
    kind = BACKBONES[name]["preprocess"]
    tag = PREFIX + "preprocess"
    if kind == "symmetric":
        return layers.Rescaling(2.0, offset=-1.0, name=tag)(inputs)
    if kind == "bytes":
        return layers.Rescaling(255.0, name=tag)(inputs)
    # RGB 0..1 -> BGR 0..255 less the mean: a fixed affine map of the channels.
    layer = layers.Dense(3, trainable=False, name=tag)
    y = layer(inputs)
    layer.set_weights([np.eye(3, dtype=np.float32)[::-1] * 255.0, -_IMAGENET_BGR_MEAN])
    return y


def _file_shapes(path):
    """Sorted shapes of every array a weights file holds (either Keras, weights or whole model)."""
    import h5py

    shapes = []
    try:
        with h5py.File(path, "r") as f:
            root = f["model_weights"] if "model_weights" in f else f
            root.visititems(lambda _, item: shapes.append(tuple(item.shape))
                            if isinstance(item, h5py.Dataset) else None)
    except OSError as e:
        raise ValueError("cannot read backbone weights file %s: %s" % (path, e)) from e
    return sorted(shapes)


def _load_file(application, name, size, path):
    if not os.path.isfile(path):
        raise ValueError("backbone weights file not found: %s (give a file, 'imagenet' or 'none')" % path)
    hint = ("make one with tf.keras.applications.%s(%sinclude_top=False, input_shape=...)"
            ".save_weights(...)" % (BACKBONES[name]["application"],
                                    "alpha=%g, " % mobile_alpha(size) if name == "mobilenetv2" else ""))
    want = sorted(tuple(w.shape) for w in application.weights)
    found = _file_shapes(path)
    if found != want:
        raise ValueError("backbone weights file %s does not fit backbone %s: it holds %d arrays, the "
                         "backbone %d%s; %s" % (path, _describe(name, size), len(found), len(want),
                                                "" if len(found) != len(want) else " of other shapes", hint))
    try:
        application.load_weights(path)
    except Exception as e:  # Keras raises several types for a file of another layout
        raise ValueError("backbone weights file %s does not load into backbone %s: %s; %s"
                         % (path, _describe(name, size), str(e).splitlines()[0] if str(e) else type(e).__name__,
                            hint)) from e


def build_backbone(inputs, name: str, size: str, weights=None):
    """The stride 8, 16 and 32 feature maps of the application ``name`` on ``inputs``.

    Args:
        inputs: the detector's ``tf.keras.Input`` of float32 images in 0..1, ``(h, w, 3)`` with h
            and w multiples of 32.
        name: a key of ``BACKBONES``.
        size: the family's size (sets ``mobilenetv2``'s width multiplier).
        weights: None or ``"none"`` (random), ``"imagenet"``, or the path of a weights file of the
            bare application.

    Returns:
        ``(features, source)``: the three feature tensors, finest first, and a line saying which
        weights the backbone holds.

    Raises:
        ValueError: an unknown name, a layer of ``BACKBONES`` missing from the application or a
            layer of it in no stage, a weights file that is missing or does not fit, or ImageNet weights that cannot be
            fetched.
    """
    _check_name(name)
    entry = BACKBONES[name]
    constructor = getattr(tf.keras.applications, entry["application"])
    kwargs = _constructor_kwargs(name, size, inputs.shape[1:])
    if isinstance(weights, str) and weights.lower() == "none":
        weights = None
    if weights == "imagenet":
        try:
            application = constructor(weights="imagenet", **kwargs)
        except Exception as e:  # a failed download surfaces as a bare Exception from Keras
            first = (str(e).splitlines() or [type(e).__name__])[0]
            raise ValueError("cannot get the ImageNet weights of backbone %s (%s); without the internet, give "
                             "a weights FILE of the bare application or 'none' for random initialisation"
                             % (_describe(name, size), first)) from e
        source = "ImageNet weights"
    else:
        application = constructor(weights=None, **kwargs)
        if weights is None:
            source = "random initialisation"
        else:
            _load_file(application, name, size, str(weights))
            source = "weights of %s" % weights
    missing = [layer for layer in entry["features"] if layer not in {l.name for l in application.layers}]
    if missing:
        raise ValueError("backbone %s has no layer %s to take features from (this Keras names its layers "
                         "otherwise)" % (name, ", ".join(missing)))
    # A layer outside every stage would stay trainable under --freeze 5: refuse such a table.
    staged = {layer.name for layer in stage_layers(application, name, len(entry["stages"]))}
    unstaged = [layer.name for layer in application.layers if layer.weights and layer.name not in staged]
    if unstaged:
        raise ValueError("backbone %s: layers %s belong to no stage (this Keras names its layers otherwise)"
                         % (name, ", ".join(unstaged[:5])))
    backbone = tf.keras.Model(application.input, [application.get_layer(layer).output for layer in entry["features"]],
                              name=PREFIX + name)
    return backbone(_preprocess(inputs, name)), "%s: %s" % (_describe(name, size), source)


def find_backbone(model):
    """``(name, nested model)`` of the application inside a detector, or ``(None, None)``."""
    for layer in model.layers:
        if isinstance(layer, tf.keras.Model) and layer.name.startswith(PREFIX) \
                and layer.name[len(PREFIX):] in BACKBONES:
            return layer.name[len(PREFIX):], layer
    return None, None


def stage_layers(backbone, name: str, count: int) -> list:
    """The layers of the nested application ``backbone`` (of ``BACKBONES[name]``) in its first
    ``count`` stages."""
    chosen = tuple(p for stage in BACKBONES[name]["stages"][:int(count)] for p in stage)
    return [layer for layer in backbone.layers if chosen and layer.name.startswith(chosen)]
