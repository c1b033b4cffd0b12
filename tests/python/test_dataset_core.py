"""BaseDetectionDataset: construction order, descriptor file reading, hooks and pipelines."""
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.datasets.core import BaseDetectionDataset

pytestmark = pytest.mark.keras_free


class Synthetic(BaseDetectionDataset):
    """A dataset whose raw elements are integers n: sample n has n boxes of value n.

    Training images are shape[:2]; validation images are n x n (so their size
    differs between elements).
    """

    def __init__(self, descriptor=None, shape=(4, 6, 3), train=(3, 1, 2), val=(2, 3), **kwargs):
        self.calls = []
        self.descriptor = descriptor if descriptor is not None else {"k": 1}
        self._train, self._val = list(train), list(val)
        super().__init__(None, list(shape), True, **kwargs)

    def validate_info_file(self, info_file):
        self.calls.append(("validate_info_file", info_file))
        return self.descriptor

    def validate_info_file_content(self, info_dataset=None):
        self.calls.append(("validate_info_file_content", info_dataset))

    def load_storage(self):
        self.calls.append(("load_storage", list(self.train_storage), list(self.val_storage)))
        self.train_storage, self.val_storage = self._train, self._val

    def build_and_load_base_iterator(self, storage, shuffle=True):
        self.calls.append(("base_iterator", list(storage), shuffle))
        return tf.data.Dataset.from_tensor_slices(np.array(storage, np.int64))

    def load_instance(self, data, training=True):
        n = int(data)
        side = (self.shape[0], self.shape[1]) if training else (n, n)
        image = np.full(side + (3,), n, np.uint8)
        boxes = np.full((n, 5), n, np.float32)
        return (image, boxes) if training else (image, boxes, b"image-%d" % n)


class TestConstruction:
    def test_attributes_and_hook_order(self):
        ds = Synthetic(shape=(8, 10, 3), add_bkg_class=True, aug_cfg={"flip": 0.5})
        assert ds.shape == [8, 10, 3]
        assert ds.letter_box is True
        assert ds.class_offset == 1
        assert ds.aug_cfg == {"flip": 0.5}
        assert [c[0] for c in ds.calls] == ["validate_info_file", "validate_info_file_content", "load_storage"]
        assert ds.calls[0] == ("validate_info_file", None)
        # The descriptor returned by validate_info_file is the one checked.
        assert ds.calls[1][1] is ds.descriptor
        # Storage lists exist (empty) before load_storage fills them.
        assert ds.calls[2] == ("load_storage", [], [])

    def test_class_offset_follows_background_flag(self):
        assert Synthetic(add_bkg_class=False).class_offset == 0
        assert Synthetic(add_bkg_class=0).class_offset == 0
        assert Synthetic(add_bkg_class="yes").class_offset == 1

    def test_background_and_augmentation_are_keyword_only(self):
        class Positional(Synthetic):
            def __init__(self):
                BaseDetectionDataset.__init__(self, None, [4, 4], True, True)

        with pytest.raises(TypeError):
            Positional()


class TestDescriptorFile:
    """The base's validate_info_file reads the YAML descriptor."""

    class FromFile(BaseDetectionDataset):
        def validate_info_file_content(self, info_dataset=None):
            self.descriptor = info_dataset

        def load_storage(self):
            pass

    def test_reads_mapping(self, tmp_path):
        path = tmp_path / "data.yaml"
        path.write_text("classes: [a, b]\ntrain:\n  path: /x\n  samples: 3\n", encoding="utf-8")
        ds = self.FromFile(str(path), [4, 4])
        assert ds.descriptor == {"classes": ["a", "b"], "train": {"path": "/x", "samples": 3}}

    @pytest.mark.parametrize(
        "content, fragment",
        [
            (None, "does not exist"),
            ("- a\n- b\n", "does not hold a mapping"),
            ("", "does not hold a mapping"),
            ("classes: [a\n", "could not be read"),
        ],
    )
    def test_bad_files_name_the_file(self, tmp_path, content, fragment):
        path = tmp_path / "data.yaml"
        if content is not None:
            path.write_text(content, encoding="utf-8")
        with pytest.raises(ValueError) as info:
            self.FromFile(str(path), [4, 4])
        message = str(info.value)
        assert message.startswith("[ERROR]: ")
        assert str(path) in message and fragment in message

    def test_unreadable_file_chains_the_cause(self, tmp_path):
        with pytest.raises(ValueError, match=r"^\[ERROR\]: .*could not be read") as info:
            self.FromFile(str(tmp_path), [4, 4])  # a folder
        assert isinstance(info.value.__cause__, OSError)

    def test_no_file(self):
        with pytest.raises(ValueError, match=r"^\[ERROR\]: No dataset descriptor file"):
            self.FromFile(None, [4, 4])


class TestHooks:
    def test_unimplemented_hooks_name_themselves(self):
        class Bare(BaseDetectionDataset):
            def validate_info_file(self, info_file):
                return {}

        with pytest.raises(NotImplementedError, match="Bare must override .*validate_info_file_content"):
            Bare(None, [4, 4])

        ds = Synthetic()
        for name, args in [("build_and_load_base_iterator", ([],)), ("load_instance", (b"",)), ("load_storage", ())]:
            with pytest.raises(NotImplementedError, match=name):
                getattr(BaseDetectionDataset, name)(ds, *args)


class TestTrainingPipeline:
    def test_batches_are_uint8_images_and_padded_float_boxes(self):
        ds = Synthetic(train=(3, 1, 2))
        pipeline = ds.build_train_iterator(2)
        element = pipeline.element_spec
        assert element[0].shape.as_list() == [None, 4, 6, 3] and element[0].dtype == tf.uint8
        assert element[1].shape.as_list() == [None, None, 5] and element[1].dtype == tf.float32
        assert ("base_iterator", [3, 1, 2], True) in ds.calls

        seen = []
        for images, boxes in pipeline:
            assert images.shape[1:] == (4, 6, 3)
            for image, rows in zip(images.numpy(), boxes.numpy()):
                n = int(image[0, 0, 0])
                seen.append(n)
                # n real rows of value n, then zero rows up to the batch's largest count.
                assert rows.shape[0] == max(int(i[0, 0, 0]) for i in images.numpy())
                np.testing.assert_array_equal(rows[:n], n)
                np.testing.assert_array_equal(rows[n:], 0)
        assert sorted(seen) == [1, 2, 3]

    def test_rejects_bad_batch_size_and_shape(self):
        ds = Synthetic()
        with pytest.raises(ValueError, match="batch_size must be at least 1, got 0"):
            ds.build_train_iterator(0)
        with pytest.raises(TypeError, match="batch_size"):
            ds.build_train_iterator(2.5)
        ds.shape = None
        with pytest.raises(ValueError, match=r"^\[ERROR\]: shape must list the output height and width"):
            ds.build_train_iterator(2)

    def test_prefetch_none_is_autotuned(self):
        batches = list(Synthetic().build_train_iterator(4, prefetch=None))
        assert len(batches) == 1 and batches[0][0].shape[0] == 3


class TestValidationPipeline:
    def test_triples_in_storage_order_with_batch_one_by_default(self):
        ds = Synthetic(val=(2, 3))
        elements = list(ds.build_val_iterator())
        assert ("base_iterator", [2, 3], False) in ds.calls
        assert len(elements) == 2
        for (images, boxes, names), n in zip(elements, (2, 3)):
            assert images.dtype == tf.uint8 and images.shape == (1, n, n, 3)
            assert boxes.dtype == tf.float32 and boxes.shape == (1, n, 5)
            assert names.numpy().tolist() == [b"image-%d" % n]

    def test_larger_batches_pad_boxes_but_not_images(self):
        ds = Synthetic(val=(1, 3))
        # Same-size images batch together; boxes pad to the largest count; str names are accepted.
        ds.load_instance = lambda data, training=True: (
            np.zeros((5, 5, 3), np.uint8), np.ones((int(data), 5), np.float32), "name-%d" % int(data))
        images, boxes, names = next(iter(ds.build_val_iterator(2)))
        assert images.shape == (2, 5, 5, 3) and boxes.shape == (2, 3, 5)
        np.testing.assert_array_equal(boxes.numpy()[0, 1:], 0)
        assert names.numpy().tolist() == [b"name-1", b"name-3"]
        # Images of different stored sizes cannot share a batch, and the error says why.
        with pytest.raises(tf.errors.InvalidArgumentError, match="must share a size"):
            list(Synthetic(val=(2, 3)).build_val_iterator(2))


class TestSampleChecks:
    """What load_instance returns is checked before it is batched."""

    @pytest.mark.parametrize(
        "sample, fragment",
        [
            ((np.zeros((4, 6, 3), np.float32), np.zeros((1, 5), np.float32)), "dtype float32 instead of uint8"),
            ((np.zeros((4, 7, 3), np.uint8), np.zeros((1, 5), np.float32)), r"shape \(4, 7, 3\) instead of \(4, 6, 3\)"),
            ((np.zeros((4, 6), np.uint8), np.zeros((1, 5), np.float32)), r"instead of \[H, W, 3\]"),
            ((np.zeros((4, 6, 3), np.uint8), np.zeros((1, 4), np.float32)), r"boxes of shape \(1, 4\)"),
            ((np.zeros((4, 6, 3), np.uint8),), "1 items where 2 were expected"),
        ],
    )
    def test_bad_training_samples(self, sample, fragment):
        ds = Synthetic()
        ds.load_instance = lambda data, training=True: sample
        with pytest.raises(tf.errors.InvalidArgumentError, match=fragment):
            list(ds.build_train_iterator(2))
