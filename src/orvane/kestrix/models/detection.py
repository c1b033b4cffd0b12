"""The package's detector family as Keras functional models: sizes ``t``, ``n``, ``s`` and ``m``.

A backbone of cross-stage-partial blocks (a stem and four downsampling stages, the last one
closed by a spatial pyramid pooling stage), a top-down and bottom-up feature pyramid over strides
8, 16 and 32, and a decoupled anchor-free head per level (a box branch and a class branch). Each
location of the three grids is an anchor point; the box branch predicts, for each of the four
distances from the point to the box sides (left, top, right, bottom), a distribution over
``reg_max`` bins of one stride each, and the distance is the distribution's mean. The class
branch gives one logit per class; the class score also measures how well the box fits, since
``orvane.kestrix.losses.detection.DetectionLoss`` trains it towards the box's IoU.

The decoding uses built-in Keras layers only (the anchor points are the bias of a frozen
``Dense`` layer, the bins' mean and the sides' signs frozen kernels), so a saved model loads
with ``tf.keras.models.load_model`` and no custom objects, under Keras 3 and tf-keras.

Instead of its own backbone, a detector can take its features from a Keras Applications network
(``backbone=`` one of ``models.backbones.BACKBONES``), with the same neck and heads.
"""
from __future__ import annotations

import math

import numpy as np
import tensorflow as tf

__all__ = ["build_detector", "SIZES", "STRIDES", "REG_MAX", "anchor_points", "backbone_stage_prefixes"]

STRIDES = (8, 16, 32)
"""Input pixels per cell of the three prediction grids, finest first."""

REG_MAX = 16
"""Bins of the distance distributions: a side lies up to ``REG_MAX - 1`` strides from its point."""

SIZES = {
    # name: (width multiplier, depth multiplier, widest channel count)
    "t": (0.125, 0.34, 1024),
    "n": (0.25, 0.34, 1024),
    "s": (0.50, 0.34, 1024),
    "m": (0.75, 0.67, 768),
}
"""The sizes of the family: channel (width) and block-count (depth) multipliers."""

_CHANNELS = (64, 128, 256, 512, 1024)  # stem and the four stages at multiplier 1
_BLOCKS = (3, 6, 6, 3)                 # blocks of the four stages at multiplier 1
# Weight of the running statistics in their update at each training step. Validation and export
# use the running statistics, so they must keep up with weights that change fast early in
# training: on a set of a few hundred photographs (ten steps an epoch) a slower average (0.97)
# lagged epochs behind, and the validation scores fell to nothing while the training loss kept
# falling.
_BN_MOMENTUM = 0.9
_CLASS_PRIOR = 0.01  # initial class probability: few anchor points hold an object
_STAGES = ("stem", "stage1", "stage2", "stage3", "stage4")


def backbone_stage_prefixes() -> tuple:
    """Layer-name prefixes of the backbone's stages in order (the stem is stage 0)."""
    return _STAGES


def anchor_points(height: int, width: int, strides=STRIDES) -> np.ndarray:
    """``[K, 3]`` float32: the centre x, centre y (input pixels) and stride of every anchor point,
    level by level (finest first), row-major within a level."""
    points = []
    for s in strides:
        cols, rows = np.meshgrid(np.arange(width // s), np.arange(height // s))
        points.append(np.stack([(cols + 0.5) * s, (rows + 0.5) * s, np.full(cols.shape, s)], -1).reshape(-1, 3))
    return np.concatenate(points).astype(np.float32)


def _channels(c: float, width_multiple: float, widest: int) -> int:
    return max(8, int(math.ceil(min(c, widest) * width_multiple / 8) * 8))


def _conv(x, filters, name, kernel=3, stride=1):
    layers = tf.keras.layers
    x = layers.Conv2D(filters, kernel, strides=stride, padding="same", use_bias=False, name=name + "_conv")(x)
    x = layers.BatchNormalization(momentum=_BN_MOMENTUM, epsilon=1e-3, name=name + "_bn")(x)
    return layers.Activation("swish", name=name + "_act")(x)


def _csp(x, filters, blocks, shortcut, name):
    """Cross-stage partial block: one half goes through ``blocks`` residual pairs of 3x3
    convolutions, every intermediate result and the bypassing half are concatenated and fused."""
    layers = tf.keras.layers
    hidden = max(filters // 2, 8)
    bypass = _conv(x, hidden, name + "_bypass", kernel=1)
    y = _conv(x, hidden, name + "_split", kernel=1)
    parts = [bypass, y]
    for i in range(blocks):
        z = _conv(y, hidden, f"{name}_b{i}a")
        z = _conv(z, hidden, f"{name}_b{i}b")
        y = layers.Add(name=f"{name}_b{i}_add")([y, z]) if shortcut else z
        parts.append(y)
    return _conv(layers.Concatenate(name=name + "_cat")(parts), filters, name + "_fuse", kernel=1)


def _spp(x, filters, name):
    """Spatial pyramid pooling: three chained 5x5 max-pools see ever larger neighbourhoods."""
    layers = tf.keras.layers
    x = _conv(x, filters // 2, name + "_in", kernel=1)
    parts = [x]
    for i in range(3):
        parts.append(layers.MaxPooling2D(5, strides=1, padding="same", name=f"{name}_pool{i}")(parts[-1]))
    return _conv(layers.Concatenate(name=name + "_cat")(parts), filters, name + "_out", kernel=1)


def _frozen_dense(x, kernel, bias, name):
    """A non-trainable Dense layer with the given kernel (and bias): a fixed affine map."""
    layer = tf.keras.layers.Dense(kernel.shape[1], use_bias=bias is not None, trainable=False, name=name)
    y = layer(x)
    layer.set_weights([kernel] if bias is None else [kernel, bias])
    return y


def _own_backbone(inputs, width_multiple, depth_multiple, widest):
    ch = [_channels(c, width_multiple, widest) for c in _CHANNELS]
    blocks = [max(1, round(b * depth_multiple)) for b in _BLOCKS]
    x = _conv(inputs, ch[0], "stem", stride=2)                                    # stride 2
    features = []
    for i in range(4):
        name = _STAGES[i + 1]
        x = _conv(x, ch[i + 1], name + "_down", stride=2)                        # stride 4..32
        x = _csp(x, ch[i + 1], blocks[i], True, name + "_csp")
        if i == 3:
            x = _spp(x, ch[4], name + "_spp")
        features.append(x)
    return features[1:], ch[2:], blocks[-1]


def build_detector(num_classes: int, input_shape=(320, 320, 3), size: str = "n", reg_max: int = REG_MAX,
                   name: str = "kestrix_detector", backbone: str | None = None,
                   backbone_weights: str | None = None) -> tf.keras.Model:
    """Builds a detector of the family.

    Args:
        num_classes: number of classes the dataset numbers (with a background class when the
            dataset reserves class number 0 for it; that column is never a target, so its
            scores stay low).
        input_shape: ``(height, width, 3)`` of the input; height and width positive multiples
            of 32.
        size: ``"t"``, ``"n"``, ``"s"`` or ``"m"`` (see ``SIZES``); the cost grows about with
            the square of the width multiplier.
        reg_max: bins of each side's distance distribution (at least 2).
        name: the model's name.
        backbone: None for the family's own backbone, or a Keras Applications backbone
            (``"mobilenetv2"``, ``"efficientnetb0"``, ``"resnet50"``; see ``models.backbones``),
            nested in the model as ``backbone_<name>``; its stride 8, 16 and 32 features are
            brought to the size's widths by 1x1 convolutions and go to the same neck and heads.
            ``mobilenetv2``'s width multiplier follows the size (t 0.35, n 0.5, s 0.75, m 1.0).
        backbone_weights: with a backbone: None or ``"none"`` (random initialisation),
            ``"imagenet"`` (fetched by Keras), or the path of a weights file of the bare
            application. The returned model's ``backbone_source`` attribute says which (None
            without a backbone).

    Returns:
        A functional ``tf.keras.Model`` on float32 images in 0..1, ``[B, height, width, 3]`` of
        any batch size, with four outputs in this order (K anchor points over the three levels,
        ``K = height * width * 21 / 1024``):

        - ``raw`` ``[B, K, 4 * reg_max + num_classes]``: for each anchor point the logits of the
          left, top, right and bottom distance distributions, then the class logits;
        - ``anchors`` ``[B, K, 3]``: each anchor point's centre x, centre y and stride in input
          pixels (constant);
        - ``boxes`` ``[B, K, 4]``: x1, y1, x2, y2 in input pixels, clipped to the input;
        - ``scores`` ``[B, K, num_classes]``: per-class probabilities (sigmoid of the logits).

        The first two serve training only; the export model (outputs from the third on) saves
        to ``.h5`` and loads without custom objects.

    Raises:
        ValueError: for fewer than one class, an unknown size, ``reg_max`` below
            2, an input shape that is not ``(h, w, 3)`` with h and w positive multiples of 32,
            an unknown backbone, ``backbone_weights`` without a backbone, or backbone weights
            that cannot be had (see ``models.backbones.build_backbone``).
    """
    num_classes = int(num_classes)
    reg_max = int(reg_max)
    if num_classes < 1:
        raise ValueError(f"num_classes must be at least 1, got {num_classes}")
    if size not in SIZES:
        raise ValueError(f"size must be one of {', '.join(SIZES)}, got {size!r}")
    if reg_max < 2:
        raise ValueError(f"reg_max must be at least 2, got {reg_max}")
    shape = tuple(input_shape)
    if len(shape) != 3 or shape[2] != 3 or any(d is None or int(d) < 32 or int(d) % 32 for d in shape[:2]):
        raise ValueError(f"input_shape must be (height, width, 3) with height and width positive multiples of 32, "
                         f"got {tuple(input_shape)}")
    if backbone is None and backbone_weights is not None:
        raise ValueError("backbone_weights %r given without a backbone" % (backbone_weights,))
    height, image_width = int(shape[0]), int(shape[1])
    width_multiple, depth_multiple, widest = SIZES[size]
    layers = tf.keras.layers

    inputs = tf.keras.Input(shape=(height, image_width, 3), name="image", dtype="float32")
    source = None
    if backbone is None:
        (p3, p4, p5), ch, _ = _own_backbone(inputs, width_multiple, depth_multiple, widest)
    else:
        from .backbones import build_backbone

        features, source = build_backbone(inputs, backbone, size, backbone_weights)
        ch = [_channels(c, width_multiple, widest) for c in _CHANNELS][2:]
        # 1x1 lateral convolutions bring the application's (often wide) maps to the neck's widths.
        p3, p4, p5 = (_conv(f, c, "lateral%d" % level, kernel=1) for f, c, level in zip(features, ch, (3, 4, 5)))
    neck_blocks = max(1, round(3 * depth_multiple))

    # Top-down: coarse meaning flows to the fine levels.
    up = layers.UpSampling2D(2, interpolation="nearest", name="td4_up")(p5)
    t4 = _csp(layers.Concatenate(name="td4_merge")([up, p4]), ch[1], neck_blocks, False, "td4")
    up = layers.UpSampling2D(2, interpolation="nearest", name="td3_up")(t4)
    n3 = _csp(layers.Concatenate(name="td3_merge")([up, p3]), ch[0], neck_blocks, False, "td3")
    # Bottom-up: fine localisation flows back to the coarse levels.
    down = _conv(n3, ch[0], "bu4_down", stride=2)
    n4 = _csp(layers.Concatenate(name="bu4_merge")([down, t4]), ch[1], neck_blocks, False, "bu4")
    down = _conv(n4, ch[1], "bu5_down", stride=2)
    n5 = _csp(layers.Concatenate(name="bu5_merge")([down, p5]), ch[2], neck_blocks, False, "bu5")

    box_channels = max(16, ch[0] // 4, 4 * reg_max)
    class_channels = max(ch[0], min(num_classes, 100))
    prior = float(-np.log((1 - _CLASS_PRIOR) / _CLASS_PRIOR))
    raw_levels = []
    for level, (feature, stride) in enumerate(zip((n3, n4, n5), STRIDES)):
        tag = f"head{level}"
        b = _conv(_conv(feature, box_channels, tag + "_box1"), box_channels, tag + "_box2")
        box_head = layers.Conv2D(4 * reg_max, 1, name=tag + "_box_logits")
        box_logits = box_head(b)
        # Bin k starts with weight exp(-k / 2): sides about 1.5 strides from the point, so the
        # first boxes are of the level's own scale and already overlap objects of that scale.
        box_head.bias.assign(np.tile(-0.5 * np.arange(reg_max, dtype=np.float32), 4))
        c = _conv(_conv(feature, class_channels, tag + "_cls1"), class_channels, tag + "_cls2")
        class_logits = layers.Conv2D(num_classes, 1, bias_initializer=tf.keras.initializers.Constant(prior),
                                     name=tag + "_class_logits")(c)
        cells = (height // stride) * (image_width // stride)
        raw = layers.Concatenate(name=tag + "_raw")([box_logits, class_logits])
        raw_levels.append(layers.Reshape((cells, 4 * reg_max + num_classes), name=tag + "_flat")(raw))
    raw = layers.Concatenate(axis=1, name="raw")(raw_levels)
    points = anchor_points(height, image_width)
    k = len(points)

    # Anchor points: the bias of a frozen Dense layer on a value that is always there.
    pooled = layers.GlobalAveragePooling2D(name="anchor_source")(inputs)
    anchors = _frozen_dense(pooled, np.zeros((3, k * 3), np.float32), points.reshape(-1), "anchor_grid")
    anchors = layers.Reshape((k, 3), name="anchors")(anchors)

    # Distances: softmax over the bins of each side, then the bins' mean (in strides).
    box_part = _frozen_dense(raw, np.eye(4 * reg_max + num_classes, 4 * reg_max, dtype=np.float32), None,
                             "box_logits")
    dist = layers.Softmax(axis=-1, name="box_bins")(layers.Reshape((k, 4, reg_max), name="box_sides")(box_part))
    dist = layers.Reshape((k, 4), name="box_distances")(
        _frozen_dense(dist, np.arange(reg_max, dtype=np.float32)[:, None], None, "box_bin_mean"))
    # Corners, normalised to the input, clipped to 0..1, then scaled back to pixels.
    scale = np.array([image_width, height, image_width, height], np.float32)
    centre_kernel = np.array([[1, 0, 1, 0], [0, 1, 0, 1], [0, 0, 0, 0]], np.float32) / scale
    step_kernel = np.array([[0, 0, 0, 0], [0, 0, 0, 0], [-1, -1, 1, 1]], np.float32) / scale
    centres = _frozen_dense(anchors, centre_kernel, None, "anchor_centres")
    steps = _frozen_dense(anchors, step_kernel, None, "anchor_steps")
    offsets = layers.Multiply(name="box_offsets")([dist, steps])
    normalised = layers.ReLU(max_value=1.0, name="box_clip")(layers.Add(name="box_corners")([centres, offsets]))
    boxes = _frozen_dense(normalised, np.diag(scale), None, "boxes")

    class_part = _frozen_dense(raw, np.eye(4 * reg_max + num_classes, dtype=np.float32)[:, 4 * reg_max:], None,
                               "class_logits")
    scores = layers.Activation("sigmoid", name="scores")(class_part)
    model = tf.keras.Model(inputs, [raw, anchors, boxes, scores], name=name)
    model.backbone_source = source
    return model
