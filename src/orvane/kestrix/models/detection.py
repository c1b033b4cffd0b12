"""A small anchor-free, centre-based detector as a Keras functional model.

The network is a plain convolutional backbone down to stride 16, a one-step feature pyramid
back to stride 8 and a single stride-8 head. Every cell of the stride-8 grid predicts the
distances from its centre to the four sides of a box (left, top, right, bottom), the logits
of the classes and one objectness logit. ``orvane.kestrix.losses.detection.DetectionLoss``
trains it from the raw maps; the decoded boxes and scores feed the validation runner.

The decoding uses built-in Keras layers only (the grid is the bias of a frozen ``Dense``
layer, the sign and scale of the distances a frozen diagonal ``Dense``), so a saved model
loads with ``tf.keras.models.load_model`` and no custom objects, under Keras 3 and tf-keras.
"""
from __future__ import annotations

import numpy as np
import tensorflow as tf

__all__ = ["build_detector", "STRIDE"]

STRIDE = 8
"""Pixels of input per cell of the prediction grid."""

_OBJECTNESS_PRIOR = 0.01  # initial objectness probability: few cells hold an object


def _conv(x, filters, stride, name, kernel=3):
    layers = tf.keras.layers
    x = layers.Conv2D(filters, kernel, strides=stride, padding="same", use_bias=False, name=name + "_conv")(x)
    x = layers.BatchNormalization(momentum=0.97, epsilon=1e-3, name=name + "_bn")(x)
    return layers.ReLU(name=name + "_relu")(x)


def _frozen_dense(x, kernel, bias, name):
    """A non-trainable Dense layer with the given kernel (and bias): a fixed affine map."""
    layer = tf.keras.layers.Dense(kernel.shape[1], use_bias=bias is not None, trainable=False, name=name)
    y = layer(x)
    layer.set_weights([kernel] if bias is None else [kernel, bias])
    return y


def build_detector(num_classes: int, input_shape=(128, 128, 3), width: int = 16,
                   name: str = "kestrix_detector") -> tf.keras.Model:
    """Builds the detector.

    Args:
        num_classes: number of classes the dataset numbers (with a background class when the
            dataset reserves class number 0 for it; that column is never a target, so its
            scores stay low).
        input_shape: ``(height, width, 3)`` of the input; height and width must be multiples
            of 16. Larger inputs see smaller objects; the cost grows with the pixel count.
        width: channels of the first stage; the stages have 1, 2, 4 and 8 times as many. The
            cost grows with its square.
        name: the model's name.

    Returns:
        A functional ``tf.keras.Model`` on float32 images in 0..1, ``[B, height, width, 3]``
        of any batch size, with four outputs in this order:

        - ``box_map`` ``[B, height/8, width/8, 4]``: raw box regression; the distances from
          a cell's centre to the box sides are ``softplus(raw) * 8`` pixels (left, top,
          right, bottom);
        - ``class_map`` ``[B, height/8, width/8, num_classes + 1]``: class logits, then the
          objectness logit;
        - ``boxes`` ``[B, K, 4]``: the box of every cell, x1, y1, x2, y2 in input pixels,
          clipped to the input (K = height * width / 64, cells in row-major order);
        - ``scores`` ``[B, K, num_classes]``: per-class probabilities,
          ``sigmoid(objectness) * sigmoid(class logit)``.

        The first two serve training only; the export model (outputs from the third on)
        saves to ``.h5`` and loads without custom objects.

    Raises:
        ValueError: for fewer than one class, a width below 1, or an input shape that is not
            ``(h, w, 3)`` with h and w positive multiples of 16.
    """
    num_classes = int(num_classes)
    width = int(width)
    if num_classes < 1:
        raise ValueError(f"num_classes must be at least 1, got {num_classes}")
    if width < 1:
        raise ValueError(f"width must be at least 1, got {width}")
    shape = tuple(input_shape)
    if len(shape) != 3 or shape[2] != 3 or any(d is None or int(d) < 16 or int(d) % 16 for d in shape[:2]):
        raise ValueError(f"input_shape must be (height, width, 3) with height and width positive multiples of 16, "
                         f"got {tuple(input_shape)}")
    height, image_width = int(shape[0]), int(shape[1])
    grid_h, grid_w = height // STRIDE, image_width // STRIDE
    cells = grid_h * grid_w
    layers = tf.keras.layers

    inputs = tf.keras.Input(shape=(height, image_width, 3), name="image", dtype="float32")
    x = _conv(inputs, width, 2, "stem")                       # stride 2
    x = _conv(x, 2 * width, 2, "stage1_down")                 # stride 4
    x = _conv(x, 2 * width, 1, "stage1")
    x = _conv(x, 4 * width, 2, "stage2_down")                 # stride 8
    c3 = _conv(x, 4 * width, 1, "stage2")
    x = _conv(c3, 8 * width, 2, "stage3_down")                # stride 16
    x = _conv(x, 8 * width, 1, "stage3")
    x = layers.UpSampling2D(2, interpolation="nearest", name="top_down_up")(x)
    x = layers.Concatenate(name="top_down_merge")([x, c3])
    x = _conv(x, 4 * width, 1, "neck_reduce", kernel=1)
    x = _conv(x, 4 * width, 1, "neck")

    box_features = _conv(x, 4 * width, 1, "box_tower")
    class_features = _conv(x, 4 * width, 1, "class_tower")
    box_map = layers.Conv2D(4, 1, name="box_map")(box_features)
    class_logits = layers.Conv2D(num_classes, 1, name="class_logits")(class_features)
    prior = float(-np.log((1 - _OBJECTNESS_PRIOR) / _OBJECTNESS_PRIOR))
    objectness = layers.Conv2D(1, 1, bias_initializer=tf.keras.initializers.Constant(prior),
                               name="objectness_logit")(box_features)
    class_map = layers.Concatenate(name="class_map")([class_logits, objectness])

    # Boxes: cell centre + signed distances, in coordinates normalised to the input, clipped
    # to 0..1, then scaled back to pixels.
    scale = np.array([image_width, height, image_width, height], np.float32)
    distances = layers.Reshape((cells, 4), name="box_distances")(layers.Activation("softplus", name="box_softplus")(box_map))
    signs = np.array([-1, -1, 1, 1], np.float32)
    offsets = _frozen_dense(distances, np.diag(signs * STRIDE / scale), None, "box_offsets")
    cols, rows = np.meshgrid(np.arange(grid_w), np.arange(grid_h))
    centres = np.stack([(cols + 0.5) * STRIDE / image_width, (rows + 0.5) * STRIDE / height] * 2, axis=-1)
    pooled = layers.GlobalAveragePooling2D(name="grid_source")(inputs)
    grid = _frozen_dense(pooled, np.zeros((3, cells * 4), np.float32), centres.reshape(-1).astype(np.float32), "grid")
    grid = layers.Reshape((cells, 4), name="grid_centres")(grid)
    normalised = layers.ReLU(max_value=1.0, name="box_clip")(layers.Add(name="box_corners")([grid, offsets]))
    boxes = _frozen_dense(normalised, np.diag(scale), None, "boxes")

    class_prob = layers.Reshape((cells, num_classes), name="class_prob")(
        layers.Activation("sigmoid", name="class_sigmoid")(class_logits))
    object_prob = layers.Reshape((cells, 1), name="object_prob")(
        layers.Activation("sigmoid", name="object_sigmoid")(objectness))
    object_prob = _frozen_dense(object_prob, np.ones((1, num_classes), np.float32), None, "object_repeat")
    scores = layers.Multiply(name="scores")([class_prob, object_prob])

    return tf.keras.Model(inputs, [box_map, class_map, boxes, scores], name=name)
