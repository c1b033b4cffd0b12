"""Bad input data for the record writers and the TFRecord datasets.

One row per kind of bad input. Every row checks three things: the exception
type, that the message names the bad input (file, record, offset, argument or
sample), and that the files under the test folder are exactly as they were
before the call (nothing changed, nothing left behind).
"""
import hashlib
import math
import os
import re

import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.datasets import records
from orvane.kestrix.datasets.tfrecord import TFRecordDataset, TFRecordDatasetYaml

pytestmark = pytest.mark.keras_free

FRAME = 16  # bytes of framing around each record payload
JPEG = tf.io.encode_jpeg(np.zeros((12, 16, 3), np.uint8)).numpy()


def image(seed=0):
    return np.random.default_rng(seed).integers(0, 256, (12, 16, 3), dtype=np.uint8)


def samples(count, name="img"):
    return [(image(i), f"{name}-{i}.jpg", [i % 2], [[0.5, 0.5, 0.25, 0.25]]) for i in range(count)]


def example(name, image_bytes=None, objects=(), bboxes=()):
    """A serialized Example built with TensorFlow's protocol buffers (any content, also invalid)."""
    feature = {
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[name.encode()])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[16])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[12])),
        "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=list(objects))),
        "bboxes": tf.train.Feature(float_list=tf.train.FloatList(value=list(bboxes))),
    }
    if image_bytes is not None:
        feature["image"] = tf.train.Feature(bytes_list=tf.train.BytesList(value=[image_bytes]))
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def dataset_folder(root):
    """root/train and root/val, each with one valid shard; returns the descriptor."""
    records.write_detection_shards(root / "train", samples(3))
    records.write_detection_shards(root / "val", samples(2, "val"))
    return {"type": "tfrecord", "classes": ["a", "b"],
            "train": {"path": str(root / "train")}, "validation": {"path": str(root / "val")}}


def first_batch(desc, yaml_path=None):
    ds = TFRecordDatasetYaml(str(yaml_path), [16, 16]) if yaml_path else TFRecordDataset(desc, [16, 16])
    return next(iter(ds.build_train_iterator(1)))


def three_records(path):
    """Writes three framed records; returns the payloads' byte offsets."""
    payloads = [b"first", b"second", b"third"]
    records.write_records(path, payloads)
    offsets = [0]
    for payload in payloads:
        offsets.append(offsets[-1] + FRAME + len(payload))
    return offsets


# Each case prepares its files under `root` and returns (call, words): the
# call that must fail, and the strings its message must contain.

def truncated_shard(root, yaml=False):
    desc = dataset_folder(root)
    bad = root / "train" / "cut.tfrecord"
    offsets = three_records(bad)
    bad.write_bytes(bad.read_bytes()[:-2])
    if yaml:
        import yaml as pyyaml

        path = root / "data.yaml"
        path.write_text(pyyaml.safe_dump(desc))
        return lambda: first_batch(None, path), [str(bad), f"record 2 at byte offset {offsets[2]}", "truncated"]
    return lambda: first_batch(desc), [str(bad), f"record 2 at byte offset {offsets[2]}", "truncated"]


def bit_flipped_shard(root):
    desc = dataset_folder(root)
    bad = root / "train" / "flipped.tfrecord"
    offsets = three_records(bad)
    data = bytearray(bad.read_bytes())
    data[offsets[1] + 12 + 3] ^= 0x04  # inside the payload of record 1
    bad.write_bytes(bytes(data))
    return lambda: first_batch(desc), [str(bad), f"record 1 at byte offset {offsets[1]}", "CRC"]


def not_a_record_file(root):
    desc = dataset_folder(root)
    bad = root / "val" / "notes.tfrecord"
    bad.write_text("these are notes, not records\n")
    ds = lambda: TFRecordDataset(desc, [16, 16]).build_val_iterator()  # noqa: E731
    return ds, [str(bad), "record 0 at byte offset 0", "validation split"]


def shards_without_records(root):
    desc = dataset_folder(root)
    for shard in (root / "train").iterdir():
        shard.write_bytes(b"")
    return lambda: first_batch(desc), ["does not support empty samples", "train split", str(root / "train")]


def bad_record(name, words, **content):
    def case(root):
        desc = dataset_folder(root)
        for shard in (root / "train").iterdir():
            shard.unlink()
        records.write_records(root / "train" / "bad.tfrecord", [example(name, **content)])
        return lambda: first_batch(desc), [f"'{name}'"] + words
    return case


def descriptor_file(text):
    def case(root):
        path = root / "data.yaml"
        if text is not None:
            path.write_text(text)
        return lambda: TFRecordDatasetYaml(str(path), [16, 16]), [str(path)]
    return case


def split_folder(state):
    def case(root):
        desc = dataset_folder(root)
        folder = root / "val"
        for shard in folder.iterdir():
            shard.unlink()
        if state == "missing":
            folder.rmdir()
        return lambda: TFRecordDataset(desc, [16, 16]), [f"validation folder {folder}"]
    return case


def samples_count(value, split):
    def case(root):
        desc = dataset_folder(root)
        desc[split]["samples"] = value
        return lambda: TFRecordDataset(desc, [16, 16]), [f"{split} split's samples", repr(value)]
    return case


def huge_shard_size(root):
    return (lambda: records.write_detection_shards(root / "out", samples(2), shard_size=2**64),
            ["'shard_size'", str(2**64)])


def mixed_write(overwrite):
    def case(root):
        records.write_detection_shards(root, samples(4), shard_size=2)
        if not overwrite:
            return (lambda: records.write_detection_shards(root, samples(1)),
                    [str(root), "shard-00000-of-00002.tfrecord", "shard-00001-of-00002.tfrecord", "overwrite=True"])
        # The old shards go only once the new ones are complete: a bad new sample keeps them.
        broken = samples(3) + [(image(), "nan.jpg", [0], [[math.nan, 0.5, 0.1, 0.1]])]
        return (lambda: records.write_detection_shards(root, broken, shard_size=1, overwrite=True),
                ["sample 3", "nan.jpg", "finite"])
    return case


def encode_example(words, **bad):
    def case(root):
        arguments = dict(image=b"\xff\xd8", image_name="x.jpg", width=16, height=12, objects=[0],
                         bboxes=[0.5, 0.5, 0.1, 0.1])
        arguments.update(bad)
        return lambda: records.encode_example(**arguments), words
    return case


CASES = [
    pytest.param(truncated_shard, ValueError, id="truncated-shard"),
    pytest.param(lambda root: truncated_shard(root, yaml=True), ValueError, id="truncated-shard-yaml-dataset"),
    pytest.param(bit_flipped_shard, ValueError, id="bit-flipped-shard"),
    pytest.param(not_a_record_file, ValueError, id="non-record-file-named-tfrecord"),
    pytest.param(shards_without_records, ValueError, id="shards-without-records"),
    pytest.param(bad_record("noimage.jpg", ["missing: image"]),
                 tf.errors.InvalidArgumentError, id="record-without-image"),
    pytest.param(bad_record("garbage.jpg", ["could not be decoded"], image_bytes=b"\xff\xd8 garbage"),
                 tf.errors.InvalidArgumentError, id="garbage-image-bytes"),
    pytest.param(bad_record("empty.jpg", ["empty image"], image_bytes=b""),
                 tf.errors.InvalidArgumentError, id="empty-image"),
    pytest.param(bad_record("odd.jpg", ["1 objects but 3 bboxes values"], image_bytes=JPEG, objects=[1],
                            bboxes=[0.5, 0.5, 0.1]),
                 tf.errors.InvalidArgumentError, id="bboxes-not-a-multiple-of-4"),
    pytest.param(descriptor_file("- classes\n- train\n"), ValueError, id="descriptor-is-a-list"),
    pytest.param(descriptor_file("classes: [a, b\ntrain: {"), ValueError, id="descriptor-not-yaml"),
    pytest.param(descriptor_file(None), ValueError, id="descriptor-missing"),
    pytest.param(split_folder("missing"), ValueError, id="split-folder-missing"),
    pytest.param(split_folder("empty"), ValueError, id="split-folder-empty"),
    pytest.param(samples_count(-5, "train"), ValueError, id="samples-negative"),
    pytest.param(samples_count("many", "validation"), ValueError, id="samples-not-a-number"),
    pytest.param(samples_count(True, "train"), ValueError, id="samples-bool"),
    pytest.param(huge_shard_size, ValueError, id="shard-size-past-2**64"),
    pytest.param(mixed_write(overwrite=False), ValueError, id="mixed-write"),
    pytest.param(mixed_write(overwrite=True), ValueError, id="mixed-write-overwrite-failing"),
    pytest.param(encode_example(["bboxes", "finite", "nan"], bboxes=[0.5, math.nan, 0.1, 0.1]),
                 ValueError, id="encode-example-nan-box"),
    pytest.param(encode_example(["bboxes", "finite", "inf"], bboxes=np.array([[0.5, 0.5, np.inf, 0.1]])),
                 ValueError, id="encode-example-infinite-box"),
    pytest.param(encode_example(["'width'", str(2**64)], width=2**64), ValueError,
                 id="encode-example-width-past-2**64"),
]


def snapshot(root):
    """Every file and folder under root, with the content hash and modification time of files."""
    state = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            state[os.path.relpath(os.path.join(folder, name), root)] = "folder"
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                state[os.path.relpath(path, root)] = (hashlib.sha256(f.read()).hexdigest(), os.stat(path).st_mtime_ns)
    return state


@pytest.mark.parametrize("case, error", CASES)
def test_bad_input_is_named_and_leaves_the_disk_alone(tmp_path, case, error):
    call, words = case(tmp_path)
    before = snapshot(tmp_path)
    with pytest.raises(error) as info:
        call()
    message = str(info.value)
    for word in words:
        assert word in message, f"{word!r} not in {message!r}"
    assert snapshot(tmp_path) == before


class TestShardWriterReplacement:
    def test_overwrite_replaces_the_old_shards_and_other_prefixes_stay(self, tmp_path):
        records.write_detection_shards(tmp_path, samples(6), shard_size=2)  # three shards
        other = records.write_detection_shards(tmp_path, samples(1), prefix="extra")
        written = records.write_detection_shards(tmp_path, samples(2, "new"), shard_size=5, overwrite=True)
        assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(p) for p in written + other)
        names = [records.parse_example(r)["image_name"] for r in records.read_records(written[0])]
        assert names == [b"new-0.jpg", b"new-1.jpg"]
        # A prefix that merely starts like another one is not mistaken for it.
        records.write_detection_shards(tmp_path, samples(1), prefix="ext")
        assert re.fullmatch(r"ext-00000-of-00001\.tfrecord", sorted(os.listdir(tmp_path))[0])
