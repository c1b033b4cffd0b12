"""Tests of the training metrics logger, read back through TensorFlow's event reader."""
import collections
import datetime
import os
import pathlib
import re
import shutil

import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.callbacks.tensorboard import TensorBoard

from events import accumulated, scalar_points, summary_values

pytestmark = pytest.mark.keras_free

STAMP = re.compile(r"^\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}(\.\d{6})?$")
NAMES = ["total-loss", "mAP@0.5", "learning-rate"]


def read_scalars(folder):
    return [(step, tag, pytest.approx(number)) for step, tag, number in scalar_points(folder)]


@pytest.fixture
def logger(tmp_path):
    return TensorBoard(str(tmp_path / "logs"), list(NAMES))


class TestConstruction:
    def test_time_stamped_folder_under_missing_root(self, tmp_path, capsys):
        root = tmp_path / "not" / "yet"
        before = datetime.datetime.now()
        names = ["total-loss"]
        logger = TensorBoard(str(root), names)
        after = datetime.datetime.now()

        assert STAMP.match(logger.time_stamp), logger.time_stamp
        parsed = datetime.datetime.strptime(logger.time_stamp.split(".")[0], "%Y-%m-%d_%H-%M-%S")
        assert before.replace(microsecond=0) <= parsed <= after
        assert logger.storage == os.path.join(str(root), logger.time_stamp)
        assert os.listdir(root) == [logger.time_stamp]
        assert os.path.isdir(logger.storage)
        assert logger.metric_names is names
        assert logger.global_step == 0
        assert isinstance(logger.writer, tf.summary.SummaryWriter)
        assert list(vars(logger)) == ["time_stamp", "storage", "metric_names", "global_step", "writer"]
        assert capsys.readouterr().out == "\n \t - Logging progress at: {} \n\n".format(logger.storage)

    @pytest.mark.parametrize("names", [None, []])
    def test_missing_names_rejected_before_anything_exists(self, tmp_path, names):
        root = tmp_path / "root"
        message = "Invalid value for ``metric_names`` parameter was provided. List can't be empty nor None:"
        with pytest.raises(ValueError) as info:
            TensorBoard(str(root), names)
        assert str(info.value) == message
        assert not root.exists()
        with pytest.raises(ValueError):
            TensorBoard(str(root))
        assert not root.exists()


class TestArgumentTypes:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            (dict(storage=pathlib.Path("/tmp"), metric_names=["a"]),
             "Argument 'storage' has incorrect type (expected str, got PosixPath)"),
            (dict(storage="/tmp/x", metric_names=("a",)),
             "Argument 'metric_names' has incorrect type (expected list, got tuple)"),
        ],
    )
    def test_constructor_exact_types(self, tmp_path, kwargs, message):
        with pytest.raises(TypeError) as info:
            TensorBoard(**kwargs)
        assert str(info.value) == message

    def test_dict_subclasses_rejected_before_any_work(self, logger):
        with pytest.raises(TypeError) as info:
            logger.update_metrics(collections.OrderedDict({"total-loss": 1.0}), {})
        assert str(info.value) == (
            "Argument 'metrics' has incorrect type (expected dict, got collections.OrderedDict)")
        with pytest.raises(TypeError) as info:
            logger.update_metrics({}, losses=collections.defaultdict(float))
        assert str(info.value) == (
            "Argument 'losses' has incorrect type (expected dict, got collections.defaultdict)")
        assert logger.global_step == 0
        assert read_scalars(logger.storage) == []

    def test_caption_must_be_str(self, logger):
        with pytest.raises(TypeError, match=r"Argument 'caption' has incorrect type \(expected str, got bytes\)"):
            logger.upload_image(b"img", np.zeros((4, 4, 3), np.uint8), 0)


class TestUpdateMetrics:
    def test_filter_fallback_and_steps(self, logger):
        logger.update_metrics({"mAP@0.5": 0.5, "not-configured": 9.0}, {"total-loss": 2.0, "other": 1.0})
        # A zero metric (plain or tensor) falls back to the loss of the same name.
        logger.update_metrics({"total-loss": 0.0, "mAP@0.5": tf.constant(0.0)},
                              {"total-loss": tf.constant(1.5), "mAP@0.5": 0.25})
        # The per-step form of the trainer: empty metrics, losses with extras.
        logger.update_metrics({}, {"total-loss": np.float32(1.0), "learning-rate": 1e-3,
                                   "step-time (seconds)": 0.1})
        assert logger.global_step == 3

        points = read_scalars(logger.storage)
        assert points == [
            (0, "total-loss", 2.0), (0, "mAP@0.5", 0.5),
            (1, "total-loss", 1.5), (1, "mAP@0.5", 0.25),
            (2, "total-loss", 1.0), (2, "learning-rate", 1e-3),
        ]

    def test_non_finite_values_warn_once_per_name_and_are_written(self, logger, recwarn):
        logger.update_metrics({}, {"total-loss": float("nan"), "mAP@0.5": np.inf})
        logger.update_metrics({}, {"total-loss": tf.constant(np.nan), "learning-rate": 1e39})  # inf as float32
        logger.update_metrics({}, {"total-loss": 1.0, "mAP@0.5": -np.inf})
        messages = [str(w.message) for w in recwarn if str(w.message).startswith("the value of")]
        assert all(w.category is RuntimeWarning for w in recwarn if str(w.message) in messages)
        assert messages == [
            "the value of 'total-loss' is nan at step 0; it is written as it is (later non-finite values of "
            "'total-loss' are not reported)",
            "the value of 'mAP@0.5' is inf at step 0; it is written as it is (later non-finite values of "
            "'mAP@0.5' are not reported)",
            "the value of 'learning-rate' is inf at step 1; it is written as it is (later non-finite values of "
            "'learning-rate' are not reported)",
        ]
        points = scalar_points(logger.storage)
        assert [(step, tag) for step, tag, _ in points] == [
            (0, "total-loss"), (0, "mAP@0.5"), (1, "total-loss"), (1, "learning-rate"),
            (2, "total-loss"), (2, "mAP@0.5"),
        ]
        assert np.isnan(points[0][2]) and points[1][2] == np.inf and points[5][2] == -np.inf

    def test_truthy_metric_shadows_loss_and_zero_everywhere_writes_nothing(self, logger):
        logger.update_metrics({"total-loss": 3.0}, {"total-loss": 7.0, "mAP@0.5": 0})
        assert read_scalars(logger.storage) == [(0, "total-loss", 3.0)]

    def test_names_follow_the_callers_list(self, tmp_path):
        names = ["a"]
        logger = TensorBoard(str(tmp_path), names)
        names.append("b")
        logger.update_metrics({"a": 1.0, "b": 2.0}, {})
        assert read_scalars(logger.storage) == [(0, "a", 1.0), (0, "b", 2.0)]

    def test_emptied_names_warn_and_do_not_count(self, tmp_path):
        names = ["a"]
        logger = TensorBoard(str(tmp_path), names)
        names.clear()
        with pytest.warns(UserWarning) as record:
            assert logger.update_metrics({"a": 1.0}, {}) is None
        assert str(record[0].message) == (
            "There is not metrics to register. \nPlease define the metric names in the class constructor")
        assert logger.global_step == 0
        names.append("a")
        logger.update_metrics({"a": 1.0}, {})
        assert read_scalars(logger.storage) == [(0, "a", 1.0)]

    def test_missing_dicts_fail_without_counting(self, logger):
        with pytest.raises(AttributeError):
            logger.update_metrics()
        with pytest.raises(AttributeError):
            logger.update_metrics({"total-loss": 1.0})  # falls through to losses=None at "mAP@0.5"
        assert logger.global_step == 0

    def test_non_scalar_value_fails_without_writing_or_counting(self, logger):
        logger.update_metrics({"mAP@0.5": 0.5}, {})
        with pytest.raises(ValueError, match="'total-loss' must be a scalar, got shape \\(2,\\)"):
            logger.update_metrics({"total-loss": [1.0, 2.0], "mAP@0.5": 0.75}, {})
        assert logger.global_step == 1
        # The writer is no longer the default one: a bare write records nothing.
        assert not bool(tf.summary.write("stray", 1.0, step=0))
        logger.update_metrics({"total-loss": 4.0}, {})
        assert read_scalars(logger.storage) == [(0, "mAP@0.5", 0.5), (1, "total-loss", 4.0)]

    def test_record_if_holds_at_every_call(self, logger):
        with tf.summary.record_if(False):
            logger.update_metrics({"mAP@0.5": 1.0}, {})
        logger.update_metrics({"mAP@0.5": 2.0}, {})
        with tf.summary.record_if(False):
            logger.update_metrics({"mAP@0.5": 3.0}, {})
        assert read_scalars(logger.storage) == [(1, "mAP@0.5", 2.0)]
        assert logger.global_step == 3

    def test_any_name_is_a_valid_tag(self, tmp_path):
        names = ["_aux-loss", "-dash", "/abs", "é-ü", "step-time (seconds)", "mAP@0.5:0.95"]
        logger = TensorBoard(str(tmp_path), list(names))
        logger.update_metrics({}, {name: float(i + 1) for i, name in enumerate(names)})
        assert read_scalars(logger.storage) == [(0, name, float(i + 1)) for i, name in enumerate(names)]

    def test_a_replaced_writer_is_written_to(self, logger, tmp_path):
        logger.update_metrics({"mAP@0.5": 1.0}, {})
        logger.writer = tf.summary.create_file_writer(str(tmp_path / "other"))
        logger.update_metrics({"mAP@0.5": 2.0}, {})
        assert read_scalars(logger.storage) == [(0, "mAP@0.5", 1.0)]
        assert read_scalars(tmp_path / "other") == [(1, "mAP@0.5", 2.0)]

    def test_one_trace_per_set_of_names(self, logger, tmp_path):
        # Points for a writer the logger did not create go through the compiled tf.summary write.
        logger.writer = tf.summary.create_file_writer(str(tmp_path / "other"))
        for step in range(6):
            logger.update_metrics({}, {"total-loss": float(step + 1), "learning-rate": tf.constant(0.5)})
        logger.update_metrics({"mAP@0.5": 0.5}, {"total-loss": 1.0})
        assert logger._write_scalars.experimental_get_tracing_count() == 2
        assert [p[0] for p in read_scalars(tmp_path / "other")] == [0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6]


class TestImages:
    def test_upload_image_writes_one_image_at_epoch(self, logger):
        image = np.zeros((6, 8, 3), np.uint8)
        image[2, 3] = (255, 0, 0)
        assert logger.upload_image("sample", image, 5) is None
        logger.refresh()

        images = [(step, tag, v) for step, tag, plugin, v in summary_values(logger.storage) if plugin == "images"]
        assert len(images) == 1
        step, tag, value = images[0]
        assert (step, tag) == (5, "sample")
        content = tf.make_ndarray(value.tensor)
        assert list(content[:2]) == [b"8", b"6"]  # width, height
        assert len(content) == 3  # one encoded image: batch of 1
        decoded = tf.io.decode_png(content[2]).numpy()
        np.testing.assert_array_equal(decoded, image)
        assert logger.global_step == 0


class TestEventFiles:
    """Scalars go to an event file of the logger's own, beside the writer's file for images."""

    @staticmethod
    def event_files(folder):
        return sorted(os.listdir(folder))

    def test_scalars_images_and_validation_images_read_back_together(self, logger):
        from orvane.validator.writers import TrainingTensorBoardWriter

        logger.upload_image("sample", np.full((4, 6, 3), 200, np.uint8), 0)
        assert len(self.event_files(logger.storage)) == 1  # no scalar file before the first point
        expected = []
        for step in range(4):
            losses = {"total-loss": tf.constant(4.0 - step), "learning-rate": 1e-3 * (step + 1),
                      "step-time (seconds)": 0.01}
            logger.update_metrics({}, losses)
            rate = float(np.float32(1e-3 * (step + 1)))
            expected += [(step, "total-loss", 4.0 - step), (step, "learning-rate", rate)]
        messenger = TrainingTensorBoardWriter(logger.writer)
        messenger.publish_detections(caption="val/img", image=np.zeros((8, 8, 3), np.uint8),
                                     gt_boxes=np.array([[0.1, 0.1, 0.5, 0.5]]), gt_labels=np.array(["cat"]),
                                     dt_boxes=np.zeros((0, 4)), dt_labels=[], dt_scores=[], step=3)
        logger.update_metrics({"mAP@0.5": 0.5}, {})
        expected.append((4, "mAP@0.5", 0.5))

        files = self.event_files(logger.storage)
        assert len(files) == 2 and [f.endswith(".scalars") for f in files].count(True) == 1, files
        scalar_file = os.path.join(logger.storage, next(f for f in files if f.endswith(".scalars")))
        events = list(tf.compat.v1.train.summary_iterator(scalar_file))
        assert events[0].file_version == "brain.Event:2" and not events[0].HasField("summary")
        assert [(e.step, e.summary.value[0].tag, float(tf.make_ndarray(e.summary.value[0].tensor)))
                for e in events[1:]] == expected

        loaded = accumulated(logger.storage)
        assert sorted(loaded) == ["learning-rate", "mAP@0.5", "sample", "total-loss", "val/img"]
        for tag in ("total-loss", "learning-rate", "mAP@0.5"):
            plugin, points = loaded[tag]
            assert plugin == "scalars"
            assert all(value.dtype == np.float32 and value.shape == () for _, value in points)
            assert [(s, float(v)) for s, v in points] == [(s, v) for s, t, v in expected if t == tag]
        assert loaded["sample"][0] == "images" and [s for s, _ in loaded["sample"][1]] == [0]
        assert loaded["val/img"][0] == "images" and [s for s, _ in loaded["val/img"][1]] == [3]

    def test_events_equal_what_tf_summary_writes(self, tmp_path):
        # The same calls through the logger's own file and through tf.summary (a replaced writer).
        native = TensorBoard(str(tmp_path / "native"), ["a", "é/b", "c"])
        through_tf = TensorBoard(str(tmp_path / "tf"), ["a", "é/b", "c"])
        through_tf.writer = tf.summary.create_file_writer(str(tmp_path / "tf-events"))
        for logger in (native, through_tf):
            logger.global_step = 2**40
            logger.update_metrics({"a": 1.25, "c": tf.constant(-3.0)}, {"é/b": np.float64(1e-30)})
            with pytest.warns(RuntimeWarning):
                logger.update_metrics({}, {"a": float("nan"), "c": 7})

        def records(folder, suffix):
            [name] = [name for name in os.listdir(folder) if name.endswith(suffix)]
            return [raw.numpy() for raw in tf.data.TFRecordDataset(os.path.join(folder, name))]

        ours, theirs = records(native.storage, ".scalars"), records(tmp_path / "tf-events", ".v2")
        assert ours[0] == tf.compat.v1.Event(wall_time=int(tf.compat.v1.Event.FromString(ours[0]).wall_time),
                                             file_version="brain.Event:2").SerializeToString()
        assert len(ours) == len(theirs) == 6
        for raw, reference in zip(ours[1:], theirs[1:]):
            event = tf.compat.v1.Event.FromString(reference)
            event.wall_time = tf.compat.v1.Event.FromString(raw).wall_time
            assert raw == event.SerializeToString()

    def test_failed_write_is_an_os_error_naming_the_file(self, logger):
        logger.update_metrics({}, {"total-loss": 1.0})
        shutil.rmtree(logger.storage)
        with pytest.raises(FileNotFoundError) as info:
            logger.update_metrics({}, {"total-loss": 2.0})
        assert info.value.filename.startswith(os.path.join(logger.storage, "events.out.tfevents."))
        assert str(info.value).startswith("[Errno 2] cannot create event file: ")
        assert logger.global_step == 1
        os.makedirs(logger.storage)
        logger.update_metrics({}, {"total-loss": 3.0})
        assert read_scalars(logger.storage) == [(1, "total-loss", 3.0)]

    def test_closed_writer_fails_as_tf_summary_does(self, logger):
        logger.update_metrics({}, {"total-loss": 1.0})
        logger.writer.close()
        with pytest.raises(RuntimeError, match="is already closed"):
            logger.update_metrics({}, {"total-loss": 2.0})
        assert logger.global_step == 1
        assert read_scalars(logger.storage) == [(0, "total-loss", 1.0)]
