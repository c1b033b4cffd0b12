"""Record files and the detection Example schema, checked against TensorFlow's own readers."""
import os

import cv2
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.datasets import records

pytestmark = pytest.mark.keras_free

FEATURES = {
    "image": tf.io.FixedLenFeature([], tf.string),
    "image_name": tf.io.FixedLenFeature([], tf.string),
    "width": tf.io.FixedLenFeature([], tf.int64),
    "height": tf.io.FixedLenFeature([], tf.int64),
    "objects": tf.io.VarLenFeature(tf.int64),
    "bboxes": tf.io.VarLenFeature(tf.float32),
}

BOXES = np.array([[0.5, 0.5, 0.25, 0.5], [0.1, 0.2, 0.05, 0.1]], np.float32)


def tf_example(**features):
    def feature(value):
        if isinstance(value, bytes):
            return tf.train.Feature(bytes_list=tf.train.BytesList(value=[value]))
        if isinstance(value, int):
            return tf.train.Feature(int64_list=tf.train.Int64List(value=[value]))
        if value and isinstance(value[0], float):
            return tf.train.Feature(float_list=tf.train.FloatList(value=value))
        return tf.train.Feature(int64_list=tf.train.Int64List(value=value))

    return tf.train.Example(features=tf.train.Features(feature={k: feature(v) for k, v in features.items()}))


def tf_write(path, payloads):
    with tf.io.TFRecordWriter(str(path)) as writer:
        for payload in payloads:
            writer.write(payload)
    return str(path)


def tf_read(paths):
    return [t.numpy() for t in tf.data.TFRecordDataset(paths)]


class TestExampleCodec:
    def test_encoded_example_reads_back_in_tensorflow(self):
        data = records.encode_example(b"\xff\xd8jpeg", "cat.jpg", 640, 480, [3, 0], BOXES)
        example = tf.train.Example.FromString(data)
        f = example.features.feature
        assert f["image"].bytes_list.value == [b"\xff\xd8jpeg"]
        assert f["image_name"].bytes_list.value == [b"cat.jpg"]
        assert f["width"].int64_list.value == [640] and f["height"].int64_list.value == [480]
        assert list(f["objects"].int64_list.value) == [3, 0]
        np.testing.assert_array_equal(np.array(f["bboxes"].float_list.value, np.float32), BOXES.ravel())

        parsed = tf.io.parse_single_example(data, FEATURES)
        assert parsed["image_name"].numpy() == b"cat.jpg"
        np.testing.assert_array_equal(tf.sparse.to_dense(parsed["objects"]).numpy(), [3, 0])
        np.testing.assert_array_equal(tf.sparse.to_dense(parsed["bboxes"]).numpy(), BOXES.ravel())

    def test_empty_objects_parse_as_empty_lists(self):
        data = records.encode_example(b"img", b"n", 1, 2, [], [])
        parsed = tf.io.parse_single_example(data, FEATURES)
        assert tf.sparse.to_dense(parsed["objects"]).shape == (0,)
        assert tf.sparse.to_dense(parsed["bboxes"]).shape == (0,)

    def test_parses_tensorflow_serialized_examples(self):
        serialized = tf_example(
            bboxes=[0.5, 0.5, 0.2, 0.2], extra=[1.5], width=7, image=b"abc", image_name=b"x.jpg", height=9,
            objects=[4],
        ).SerializeToString()
        out = records.parse_example(serialized)
        assert out["image"] == b"abc" and out["image_name"] == b"x.jpg"
        assert (out["width"], out["height"]) == (7, 9)
        assert out["objects"].dtype == np.int64 and out["objects"].tolist() == [4]
        assert out["bboxes"].dtype == np.float32
        np.testing.assert_array_equal(out["bboxes"], np.array([0.5, 0.5, 0.2, 0.2], np.float32))

        no_objects = records.parse_example(
            tf_example(image=b"a", image_name=b"b", width=1, height=1).SerializeToString())
        assert no_objects["objects"].shape == (0,) and no_objects["bboxes"].shape == (0,)

    def test_accepts_the_forms_pipelines_pass(self):
        data = records.encode_example(b"img", "n", 3, 4, [1], [0.5, 0.5, 1, 1])
        forms = [np.bytes_(data), np.array(data, dtype=object), np.array(data), tf.constant(data), bytearray(data)]
        for form in forms:
            assert records.parse_example(form)["width"] == 3, type(form)

        def width(x):
            return np.int64(records.parse_example(x)["width"])

        ds = tf.data.Dataset.from_tensor_slices([data, data]).map(
            lambda x: tf.numpy_function(width, [x], tf.int64, stateful=False))
        assert [int(v) for v in ds] == [3, 3]

    def test_schema_and_format_errors(self):
        missing = tf_example(image=b"a", image_name=b"b", height=1).SerializeToString()
        with pytest.raises(ValueError, match="width"):
            records.parse_example(missing)
        wrong_type = tf_example(image=b"a", image_name=b"b", width=[1.0], height=1).SerializeToString()
        with pytest.raises(ValueError, match="width"):
            records.parse_example(wrong_type)
        good = records.encode_example(b"img", "n", 3, 4, [1], [0.5, 0.5, 1, 1])
        with pytest.raises(ValueError, match="malformed"):
            records.parse_example(good[:-3])
        with pytest.raises(TypeError):
            records.parse_example("text, not bytes")

    def test_encode_validates_its_arguments(self):
        with pytest.raises(ValueError, match=r"bboxes.*\(3,\)"):
            records.encode_example(b"i", "n", 1, 1, [1], [0.1, 0.2, 0.3])
        with pytest.raises(ValueError, match="bboxes"):
            records.encode_example(b"i", "n", 1, 1, [1, 2], BOXES[:1])
        with pytest.raises(TypeError, match="objects"):
            records.encode_example(b"i", "n", 1, 1, [1.5], BOXES[:1])
        with pytest.raises(TypeError, match="image"):
            records.encode_example("not bytes", "n", 1, 1)
        with pytest.raises(TypeError, match="width"):
            records.encode_example(b"i", "n", 1.5, 1)


class TestCountRecords:
    def test_counts_files_written_by_tensorflow(self, tmp_path):
        a = tf_write(tmp_path / "a.tfrecord", [b"x" * n for n in (0, 1, 100, 70000)])
        b = tf_write(tmp_path / "b.tfrecord", [b"y"] * 3)
        empty = tf_write(tmp_path / "e.tfrecord", [])
        assert records.count_records(a) == 4
        assert records.count_records([a, b, empty]) == 7
        assert records.count_records((tmp_path / "b.tfrecord",)) == 3  # os.PathLike
        assert records.count_records([]) == 0
        assert records.read_records(a) == [b"x" * n for n in (0, 1, 100, 70000)]

    def test_truncated_and_bit_flipped_files_name_the_file(self, tmp_path):
        good = tf_write(tmp_path / "good.tfrecord", [b"first", b"second", b"third"])
        data = open(good, "rb").read()
        bad = tmp_path / "bad.tfrecord"
        bad.write_bytes(data[:-2])
        with pytest.raises(ValueError, match=r"bad\.tfrecord.*record 2 at byte offset 43.*truncated"):
            records.count_records([good, str(bad)])
        flipped = bytearray(data)
        flipped[21 + 12 + 2] ^= 0x10  # inside the payload of record 1 (which starts at 21)
        bad.write_bytes(bytes(flipped))
        with pytest.raises(ValueError, match=r"bad\.tfrecord.*record 1 at byte offset 21.*CRC"):
            records.count_records(str(bad))
        # TensorFlow rejects the same file.
        with pytest.raises(tf.errors.DataLossError):
            tf_read([str(bad)])

    def test_missing_file_is_file_not_found(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="nope.tfrecord"):
            records.count_records(str(tmp_path / "nope.tfrecord"))
        with pytest.raises(IsADirectoryError):
            records.count_records(str(tmp_path))
        with pytest.raises(TypeError, match="paths"):
            records.count_records(42)


class TestWriteRecords:
    def test_tensorflow_reads_what_was_written(self, tmp_path):
        payloads = [b"", b"a", os.urandom(3 << 20), bytearray(b"mutable"), memoryview(b"view")]
        path = tmp_path / "w.tfrecord"
        assert records.write_records(path, iter(payloads)) == len(payloads)
        assert tf_read([str(path)]) == [bytes(p) for p in payloads]

    def test_failure_leaves_the_old_file_and_no_temporary(self, tmp_path):
        path = tmp_path / "w.tfrecord"
        records.write_records(path, [b"old"])

        def failing():
            yield b"new"
            raise RuntimeError("source failed")

        with pytest.raises(RuntimeError, match="source failed"):
            records.write_records(path, failing())
        with pytest.raises(TypeError, match=r"records\[1\]"):
            records.write_records(path, [b"ok", "text"])
        assert os.listdir(tmp_path) == ["w.tfrecord"]
        assert records.read_records(path) == [b"old"]
        with pytest.raises(FileNotFoundError):
            records.write_records(tmp_path / "missing" / "x.tfrecord", [b"x"])


def rgb_image(h=40, w=60):
    image = np.zeros((h, w, 3), np.uint8)
    image[..., 0] = 200  # strong red, to catch a channel swap
    image[: h // 2, :, 2] = 100
    return image


class TestWriteDetectionShards:
    def test_shards_read_and_decode_in_tensorflow(self, tmp_path):
        jpeg = cv2.imencode(".jpg", np.zeros((30, 50), np.uint8))[1].tobytes()
        samples = [
            (rgb_image(), f"img{i}.jpg", [i % 3, 1], np.array([[0.5, 0.5, 0.2, 0.2], [0.3, 0.3, 0.1, 0.1]]))
            for i in range(5)
        ]
        samples.append({"image": rgb_image()[..., 0], "image_name": b"gray.jpg"})  # no objects
        samples.append({"image": jpeg, "image_name": "encoded.jpg", "labels": np.array([2.0]),
                        "boxes": [0.5, 0.5, 1.0, 1.0]})
        folder = tmp_path / "new" / "train"
        paths = records.write_detection_shards(folder, (s for s in samples), shard_size=3, prefix="part")
        names = [os.path.basename(p) for p in paths]
        assert names == [f"part-0000{k}-of-00003.tfrecord" for k in range(3)]
        assert sorted(os.listdir(folder)) == names
        assert records.count_records(paths) == 7 == len(tf_read(paths))

        parsed = [tf.io.parse_single_example(r, FEATURES) for r in tf.data.TFRecordDataset(paths)]
        first = parsed[0]
        image = tf.io.decode_jpeg(first["image"]).numpy()
        assert image.shape == (40, 60, 3)
        assert (int(first["width"]), int(first["height"])) == (60, 40)
        assert abs(int(image[30, 30, 0]) - 200) < 8 and int(image[30, 30, 2]) < 8  # still red: RGB kept
        np.testing.assert_array_equal(tf.sparse.to_dense(first["objects"]).numpy(), [0, 1])
        np.testing.assert_allclose(tf.sparse.to_dense(first["bboxes"]).numpy(), [0.5, 0.5, 0.2, 0.2, 0.3, 0.3, 0.1, 0.1])
        assert tf.io.decode_jpeg(parsed[5]["image"]).shape == (40, 60, 1)
        assert tf.sparse.to_dense(parsed[5]["objects"]).shape == (0,)
        assert (int(parsed[6]["width"]), int(parsed[6]["height"])) == (50, 30)
        assert parsed[6]["image"].numpy() == jpeg  # encoded bytes stored as given

    @pytest.mark.parametrize(
        "sample, message",
        [
            ((rgb_image(), "a.jpg", [1, 2], [[0.5, 0.5, 0.1, 0.1]]), r"sample 1 \('a.jpg'\).*boxes"),
            ((rgb_image(), "a.jpg", [-1], [[0.5, 0.5, 0.1, 0.1]]), r"sample 1.*non-negative"),
            ((rgb_image(), "a.jpg", [1.5], [[0.5, 0.5, 0.1, 0.1]]), r"sample 1.*integer"),
            ((rgb_image(), "a.jpg", [1], [[np.nan, 0.5, 0.1, 0.1]]), r"sample 1.*finite"),
            ((rgb_image().astype(np.float32), "a.jpg", [], []), r"sample 1.*uint8"),
            ((np.zeros((4, 4, 2), np.uint8), "a.jpg", [], []), r"sample 1.*shape"),
            ((b"\x89PNG....", "a.png", [], []), r"sample 1.*JPEG"),
            ({"image_name": "a.jpg"}, r"sample 1.*'image'"),
            ((rgb_image(), "a.jpg"), r"sample 1.*\(image, image_name, labels, boxes\)"),
        ],
    )
    def test_invalid_sample_is_named_and_nothing_is_written(self, tmp_path, sample, message):
        good = (rgb_image(), "ok.jpg", [], [])
        with pytest.raises(ValueError, match=message):
            records.write_detection_shards(tmp_path, [good, sample, good], shard_size=1)
        assert os.listdir(tmp_path) == []

    def test_argument_errors(self, tmp_path):
        with pytest.raises(ValueError, match="empty"):
            records.write_detection_shards(tmp_path, [])
        with pytest.raises(ValueError, match="shard_size"):
            records.write_detection_shards(tmp_path, [(rgb_image(), "a", [], [])], shard_size=0)
        with pytest.raises(ValueError, match="prefix"):
            records.write_detection_shards(tmp_path, [(rgb_image(), "a", [], [])], prefix="a/b")
        with pytest.raises(TypeError, match="sample 0"):
            records.write_detection_shards(tmp_path, [42])
