"""DetectionTrainer: construction (run folder, setup files) and the compiled step."""
import json
import os
from pathlib import Path

import numpy as np
import pytest
import tensorflow as tf

from models import CLASSES, SimpleLoss, make_detector, make_train_data, make_trainer
from orvane.kestrix.callbacks.tensorboard import TensorBoard
from orvane.kestrix.trainer.detection import DetectionTrainer


@pytest.fixture
def logger(tmp_path, capsys):
    made = TensorBoard(str(tmp_path / "logs"), ["total-loss"])
    capsys.readouterr()
    return made


def build(logger, root, **kwargs):
    kwargs.setdefault("checkpoint", str(root / "runs"))
    kwargs.setdefault("classes", list(CLASSES))
    return DetectionTrainer(make_detector(), "dataset", tf.keras.optimizers.SGD(0.1), SimpleLoss(), logger, **kwargs)


class TestConstruction:
    def test_attributes_files_and_announcements(self, tmp_path, logger, capsys):
        info = {"epochs": 3, "model": {"name": "tiny", "sizes": [1, 2]}, "note": None}
        trainer = build(logger, tmp_path, info=info, classes=["cat", 3, 2.5], display=4, metric="map")
        run = os.path.join(str(tmp_path / "runs"), logger.time_stamp)

        assert list(vars(trainer)) == [
            "model", "metric", "dataset", "optimizer", "loss", "logger", "evaluator", "H", "W",
            "val_messenger", "best_value", "iou", "classes", "display", "checkpoint", "best", "last",
            "summary_rows",
        ]
        assert (trainer.H, trainer.W, trainer.iou, trainer.evaluator, trainer.display) == (320, 320, 0.5, None, 4)
        assert trainer.best_value == 0.0 and isinstance(trainer.best_value, float)
        assert trainer.val_messenger.writer is logger.writer
        assert (trainer.checkpoint, trainer.best, trainer.last) == (
            run, os.path.join(run, "best.h5"), os.path.join(run, "last.h5"))
        assert trainer.summary_rows == []

        setups = list(Path(run).glob("setup-by-*.json"))
        assert len(setups) == 1
        assert setups[0].name[len("setup-by-"):-len(".json")].count("-") == 4  # dd-mm-YYYY--HHhMMmSSs
        assert setups[0].read_text() == json.dumps(info, indent=4)
        assert Path(run, "labels.txt").read_text() == "cat\n3\n2.5\n"
        assert sorted(os.listdir(run)) == sorted(["labels.txt", setups[0].name])

        out = capsys.readouterr().out
        assert out == (
            f"\n \t - Saving best iteration checkpoint at : {trainer.best} \n\n"
            f"\n \t - Saving last iteration checkpoint at : {trainer.last} \n\n"
        )

    def test_null_info_empty_classes_and_shared_folder(self, tmp_path, logger, capsys):
        run = tmp_path / "runs" / logger.time_stamp
        run.mkdir(parents=True)
        (run / "keep.txt").write_text("mine")

        first = build(logger, tmp_path, classes=[])
        second = build(logger, tmp_path, classes=[])
        assert first.checkpoint == second.checkpoint == str(run)
        assert (run / "keep.txt").read_text() == "mine"
        assert not (run / "labels.txt").exists()
        # Two builds write one setup file within a second, two across a second boundary.
        setups = list(run.glob("setup-by-*.json"))
        assert 1 <= len(setups) <= 2 and all(setup.read_text() == "null" for setup in setups)
        assert capsys.readouterr().out.count("Saving best iteration checkpoint at") == 2

    @pytest.mark.parametrize(
        "kwargs, error, folder, setup",
        [
            ({"logger": None}, TypeError, False, False),
            ({"checkpoint": None}, TypeError, False, False),
            ({"classes": None}, TypeError, True, "null"),
            ({"info": {"bad": object()}}, TypeError, True, ""),
        ],
        ids=["no-logger", "no-checkpoint", "no-classes", "unserialisable-info"],
    )
    def test_failures_and_what_is_left_on_disk(self, tmp_path, logger, kwargs, error, folder, setup):
        kwargs = dict(kwargs)
        chosen = kwargs.pop("logger", logger)
        with pytest.raises(error):
            build(chosen, tmp_path, **kwargs)
        run = tmp_path / "runs" / logger.time_stamp
        assert run.exists() == folder
        if folder:
            (setup_file,) = run.glob("setup-by-*.json")
            assert setup_file.read_text() == setup
            assert not (run / "labels.txt").exists()


class TestTrainStep:
    @pytest.fixture
    def trainer(self, tmp_path, capsys):
        made = make_trainer(tmp_path, loss=SimpleLoss(probe=True))
        capsys.readouterr()
        return made

    def test_one_trace_for_every_batch_shape(self, trainer):
        shapes = [(4, (24, 32), 2), (1, (16, 16), 0), (3, (40, 8), 7), (2, (24, 32), 0)]
        rows_seen = []
        for n, size, rows in shapes:
            losses = trainer.train_step(make_train_data(n, size, rows))
            rows_seen.append(float(losses["box-rows"]))
        assert trainer.train_step.experimental_get_tracing_count() == 1
        assert trainer.loss.calls == 1
        assert rows_seen == [2.0, 0.0, 7.0, 0.0]

    def test_trace_count_stays_put_when_the_step_builds_the_optimizer(self, tmp_path, capsys):
        trainer = make_trainer(tmp_path, build_optimizer=False)
        trainer.train_step(make_train_data(2))
        first = trainer.train_step.experimental_get_tracing_count()
        for n, size in [(1, (8, 8)), (5, (30, 12))]:
            trainer.train_step(make_train_data(n, size))
        assert trainer.train_step.experimental_get_tracing_count() == first

    def test_images_are_scaled_to_unit_range(self, trainer):
        images = tf.constant([[0, 128, 255]], tf.uint8)
        scaled = trainer.preprocess_input(images)
        assert scaled.dtype == tf.float32
        np.testing.assert_allclose(scaled.numpy(), [[0.0, 128 / 255, 1.0]], rtol=1e-6)

        _, boxes = make_train_data(2)
        for value, expected in [(255, 1.0), (0, 0.0)]:
            images = np.full((2, 8, 8, 3), value, np.uint8)
            assert float(trainer.train_step((images, boxes))["input-peak"]) == expected

    def test_float_images_are_rejected(self, trainer):
        # As tensors (what pipelines deliver) and as NumPy arrays, which must not be cast to
        # the signature's uint8 (300.7 would wrap around to 44).
        images, boxes = make_train_data(2)
        before = [v.numpy() for v in trainer.model.trainable_variables]
        with pytest.raises(TypeError, match="Can not cast"):
            trainer.train_step((tf.constant(images, tf.float32), tf.constant(boxes)))
        with pytest.raises(TypeError, match="Can not cast"):
            trainer.train_step([images.astype(np.float32) + 0.7, boxes])
        for old, var in zip(before, trainer.model.trainable_variables):
            np.testing.assert_array_equal(old, var.numpy())

    def test_step_trains_and_returns_the_loss_keys(self, tmp_path, capsys):
        trainer = make_trainer(tmp_path)
        images, boxes = make_train_data(4)
        before = [v.numpy().copy() for v in trainer.model.trainable_variables]
        as_tuple = trainer.train_step((tf.constant(images), tf.constant(boxes)))
        as_list = trainer.train_step([images, boxes])
        for losses in (as_tuple, as_list):
            assert sorted(losses) == ["box-loss", "class-loss", "total-loss"]
        changed = [not np.array_equal(old, v.numpy()) for old, v in zip(before, trainer.model.trainable_variables)]
        assert all(changed)
        assert int(trainer.optimizer.iterations) == 2
