"""The segmentation losses written independently from plain TensorFlow ops, for checks and benchmarks.

``reference_losses(mask, logits)`` takes the mask already at the logits' resolution
(``nearest_resize`` brings one there in NumPy) and returns the same four entries as
``SegmentationLoss.compute_loss``: softmax, categorical cross-entropy written out, Dice with
smoothing 1 over every pixel and class, and the share of background pixels (label 0 or outside
the classes) whose arg-max class is not 0 (0 when there is no background pixel).
"""
import numpy as np
import tensorflow as tf


def nearest_resize(mask, height, width):
    """Nearest-neighbour sampling of ``[B, H0, W0]`` to ``[B, height, width]`` (half-pixel centres)."""

    def index(size_in, size_out):
        scale = np.float32(size_in) / np.float32(size_out)
        centres = (np.arange(size_out, dtype=np.float32) + np.float32(0.5)) * scale
        return np.minimum(np.floor(centres).astype(np.int64), size_in - 1)

    mask = np.asarray(mask)
    return mask[:, index(mask.shape[1], height)][:, :, index(mask.shape[2], width)]


def reference_losses(mask, logits, weights=(1.0, 1.0)):
    num_classes = logits.shape[-1]
    labels = tf.reshape(tf.cast(mask, tf.int32), [-1])
    truth = tf.one_hot(labels, num_classes)
    probs = tf.nn.softmax(tf.reshape(logits, [-1, num_classes]))
    cross_entropy = tf.reduce_mean(-tf.reduce_sum(truth * tf.math.log(probs), axis=-1))
    dice = (2.0 * tf.reduce_sum(truth * probs) + 1.0) / (tf.reduce_sum(truth) + tf.reduce_sum(probs) + 1.0)
    background = tf.logical_or(labels <= 0, labels >= num_classes)
    wrong = tf.logical_and(background, tf.argmax(probs, axis=-1) != 0)
    negative = tf.math.divide_no_nan(
        tf.reduce_sum(tf.cast(wrong, tf.float64)), tf.reduce_sum(tf.cast(background, tf.float64))
    )
    class_loss = weights[0] * cross_entropy
    iou_loss = weights[1] * (1.0 - dice)
    return {
        "total-loss": class_loss + iou_loss + tf.cast(negative, tf.float32),
        "iou-loss": iou_loss,
        "class-loss": class_loss,
        "negative-loss": negative,
    }
