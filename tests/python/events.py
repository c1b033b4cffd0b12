"""Reading TensorBoard event files back with TensorFlow's own record reader, for the tests."""
import glob
import os

import tensorflow as tf


def summary_values(folder, recursive=False):
    """(step, tag, plugin name, summary value) of every summary value in the event files."""
    pattern = os.path.join(str(folder), "**" if recursive else "", "events.out.tfevents.*")
    found = []
    for path in sorted(glob.glob(pattern, recursive=recursive)):
        for raw in tf.data.TFRecordDataset(path):
            event = tf.compat.v1.Event.FromString(raw.numpy())
            for value in event.summary.value:
                found.append((event.step, value.tag, value.metadata.plugin_data.plugin_name, value))
    return found


def scalar_points(folder, recursive=False):
    """(step, tag, float) of every scalar point, in writing order."""
    points = []
    for step, tag, plugin, value in summary_values(folder, recursive):
        if plugin not in ("scalars", ""):
            continue
        number = float(tf.make_ndarray(value.tensor)) if value.HasField("tensor") else value.simple_value
        points.append((step, tag, number))
    return points


def image_summaries(folder):
    """(step, tag, decoded HxWxC image) of every image summary (one image each)."""
    found = []
    for step, tag, plugin, value in summary_values(folder):
        if plugin != "images":
            continue
        content = tf.make_ndarray(value.tensor)
        assert len(content) == 3  # width, height, one encoded image
        image = tf.io.decode_png(content[2]).numpy()
        assert (int(content[0]), int(content[1])) == (image.shape[1], image.shape[0])
        found.append((step, tag, image))
    return found


def accumulated(folder):
    """{tag: (plugin name, [(step, tensor as array)])} as TensorBoard's own EventAccumulator loads the folder."""
    from tensorboard.backend.event_processing import event_accumulator

    accumulator = event_accumulator.EventAccumulator(str(folder), size_guidance={event_accumulator.TENSORS: 0})
    accumulator.Reload()
    return {
        tag: (accumulator.SummaryMetadata(tag).plugin_data.plugin_name,
              [(event.step, tf.make_ndarray(event.tensor_proto)) for event in accumulator.Tensors(tag)])
        for tag in accumulator.Tags()["tensors"]
    }
