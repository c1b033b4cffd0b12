"""DetectionTrainer: checkpoints, the validation summary, the training loop and its files."""
import collections
import csv
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
import tensorflow as tf

import orvane
from models import (
    CLASSES,
    SUMMARY_KEYS,
    RecordingEvaluator,
    SimpleLoss,
    make_detector,
    make_metrics,
    make_train_data,
    make_train_dataset,
    make_trainer,
    make_val_data,
    make_val_dataset,
    read_scalars,
)

from orvane.kestrix.schedulers.scheduler import WarmUpCosineDecay

LOSS_KEYS = ["total-loss", "box-loss", "class-loss"]


@pytest.fixture
def trainer(tmp_path, capsys):
    made = make_trainer(tmp_path)
    capsys.readouterr()
    return made


def spy(obj, name):
    """Records the calls of obj.<name> (as an instance attribute) and still runs it."""
    calls = []
    original = getattr(obj, name)

    def wrapper(*args, **kwargs):
        calls.append((args, kwargs))
        return original(*args, **kwargs)

    setattr(obj, name, wrapper)
    return calls


class CountingCalls:
    """Counts the Python-level calls of a schedule (eager calls and traces alike)."""

    def __init__(self, schedule):
        self.calls = 0
        counter = self

        class Counted(type(schedule)):
            def __call__(self, step):
                counter.calls += 1
                return super().__call__(step)

        schedule.__class__ = Counted


def stamp(path):
    info = os.stat(path)
    return info.st_ino, info.st_mtime_ns, Path(path).read_bytes()


def leftovers(trainer):
    return [name for name in os.listdir(trainer.checkpoint) if ".tmp" in name]


def csv_rows(trainer):
    with open(os.path.join(trainer.checkpoint, "summary.csv"), newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


class TestSaveModel:
    def test_best_follows_strict_improvements(self, trainer, capsys):
        trainer.save_model(0.0)
        assert os.path.exists(trainer.last) and not os.path.exists(trainer.best)
        assert capsys.readouterr().out == ""

        trainer.save_model(0.375)
        assert capsys.readouterr().out == "\t - [INFO] Saving model with improvement in acc from 0.0 to 37.5\n"
        best, last = stamp(trainer.best), stamp(trainer.last)

        trainer.save_model(np.float32(0.375))  # equal: keeps the older best.h5
        assert stamp(trainer.best) == best
        assert stamp(trainer.last)[1] > last[1]
        trainer.save_model(0.25)  # a fall: last.h5 only
        assert stamp(trainer.best) == best
        assert trainer.best_value == 0.375 and capsys.readouterr().out == ""

        trainer.save_model(1)
        assert capsys.readouterr().out == "\t - [INFO] Saving model with improvement in acc from 37.5 to 100.0\n"
        assert stamp(trainer.best)[1] > best[1]
        assert isinstance(trainer.best_value, float) and trainer.best_value == 1.0
        assert leftovers(trainer) == []

    @pytest.mark.parametrize("bad", ["0.5", None, [0.5]])
    def test_non_numbers_are_rejected_before_saving(self, trainer, bad):
        with pytest.raises(TypeError, match=r"Argument 'val' has incorrect type \(expected float, got "):
            trainer.save_model(bad)
        assert not os.path.exists(trainer.last) and not os.path.exists(trainer.best)

    def test_last_h5_is_the_export_model(self, trainer):
        trainer.save_model(0.0)
        loaded = tf.keras.models.load_model(trainer.last, compile=False)
        assert len(loaded.outputs) == len(trainer.model.outputs) - 2
        images = tf.constant(make_train_data(2)[0], tf.float32) / 255.0
        expected = trainer.model(images)[2:]
        for got, want in zip(loaded(images), expected):
            np.testing.assert_allclose(got.numpy(), want.numpy(), rtol=1e-5)


class TestUpdateMetrics:
    def test_summary_logged_and_written(self, trainer):
        trainer.update_metrics(make_metrics(), {"total-loss": 1.5}, epoch=7)
        trainer.update_metrics(make_metrics(acc=0.5), {}, epoch="époque")

        first = trainer.summary_rows[0]
        assert list(first) == SUMMARY_KEYS + ["epoch"]
        assert list(first.values()) == [50.0, 25.0, 12.5, 25.0, 12.5, 6.25, 75.0, 37.5, 18.75, 25.0, 50.0, 75.0, 7]

        scalars = read_scalars(trainer.logger.storage)
        assert scalars["mACC@0.5"] == [(0, 25.0), (1, 50.0)]
        assert scalars["Overall-AR"] == [(0, 75.0), (1, 75.0)]
        assert scalars["total-loss"] == [(0, 1.5)]

        raw = Path(trainer.checkpoint, "summary.csv").read_bytes()
        header = "epoch," + ",".join(SUMMARY_KEYS)
        assert raw == (
            f"{header}\r\n"
            "7,50.0,25.0,12.5,25.0,12.5,6.25,75.0,37.5,18.75,25.0,50.0,75.0\r\n"
            "époque,50.0,25.0,12.5,50.0,25.0,12.5,75.0,37.5,18.75,50.0,50.0,75.0\r\n"
        ).encode("utf-8")

    @pytest.mark.parametrize("where", ["open", "replace"])
    def test_permission_error_keeps_every_row(self, trainer, monkeypatch, capsys, where):
        calls = {"n": 0}
        if where == "open":
            import builtins

            real = builtins.open

            def guarded(file, *args, **kwargs):
                if ".summary." in str(file):
                    calls["n"] += 1
                    if calls["n"] == 2:
                        raise PermissionError(13, "Permission denied", file)
                return real(file, *args, **kwargs)

            monkeypatch.setattr(builtins, "open", guarded)
        else:
            real = os.replace

            def guarded(src, dst):
                calls["n"] += 1
                if calls["n"] == 2:
                    raise PermissionError(13, "Permission denied", dst)
                return real(src, dst)

            monkeypatch.setattr(os, "replace", guarded)

        for epoch in (1, 2, 3):
            trainer.update_metrics(make_metrics(acc=epoch / 10), {}, epoch=epoch)
            if epoch == 2:
                assert capsys.readouterr().out == (
                    "\t - [WARNING]: Error writing evaluation summary. "
                    "Please close the file to allow Kestrix to write metrics\n"
                )
                assert [row[0] for row in csv_rows(trainer)] == ["epoch", "1"]
                assert leftovers(trainer) == []
        assert [row[0] for row in csv_rows(trainer)] == ["epoch", "1", "2", "3"]
        assert len(trainer.summary_rows) == 3

    def test_argument_and_content_failures(self, trainer):
        with pytest.raises(AttributeError):
            trainer.update_metrics()
        with pytest.raises(TypeError) as info:
            trainer.update_metrics(collections.OrderedDict(make_metrics()))
        assert str(info.value) == (
            "Argument 'metrics' has incorrect type (expected dict, got collections.OrderedDict)")
        with pytest.raises(TypeError, match="Argument 'losses' has incorrect type"):
            trainer.update_metrics(make_metrics(), [])
        broken = make_metrics()
        del broken["mAR"]["0.75"]
        with pytest.raises(TypeError):
            trainer.update_metrics(broken, {})
        assert trainer.logger.global_step == 0 and trainer.summary_rows == []
        assert not os.path.exists(os.path.join(trainer.checkpoint, "summary.csv"))


class TestTrain:
    def test_without_evaluator_only_last_h5_per_epoch(self, trainer, capsys):
        saves = spy(trainer, "save_model")
        trainer.train(2, make_train_dataset(4, 2))
        assert saves == [((0.0,), {}), ((0.0,), {})]
        assert os.path.exists(trainer.last)
        assert not os.path.exists(trainer.best)
        assert not os.path.exists(os.path.join(trainer.checkpoint, "summary.csv"))
        err = capsys.readouterr().err
        assert "Epoch 1" in err and "Epoch 2" in err and "Running validation" not in err

    def test_epoch_range_initial_pass_and_resume(self, trainer, capsys):
        evaluator = RecordingEvaluator()
        updates = spy(trainer, "update_metrics")
        trainer.train(5, make_train_dataset(4, 2), make_val_dataset(2), evaluator, start=3)

        assert [epoch for _, epoch in evaluator.concluded] == [3, 3, 4, 5]
        assert [record["epoch"] for record in evaluator.evaluations] == [3, 3, 3, 3, 4, 4, 5, 5]
        assert evaluator.starts == [trainer.val_messenger] * 4
        assert updates[0][1] == {"epoch": 0} and len(updates[0][0]) == 1
        assert sorted(updates[1][0][1]) == sorted(LOSS_KEYS + ["step-time (seconds)", "learning-rate"])
        err = capsys.readouterr().err
        assert "Epoch 2" not in err and all(f"Epoch {e}" in err for e in (3, 4, 5))

        trainer.train(4, make_train_dataset(4, 2), make_val_dataset(2), evaluator, start=5)  # initial pass only
        assert [row[0] for row in csv_rows(trainer)] == ["epoch", "0", "3", "4", "5", "0"]

    @pytest.mark.parametrize(
        "display, flags",
        [(2, [True, True, False, False, False]), (-1, [True] * 5), (0, [False] * 5)],
    )
    def test_display_counter_restarts_every_pass(self, trainer, display, flags):
        trainer.display = display
        evaluator = RecordingEvaluator()
        trainer.train(1, make_train_dataset(2, 2), make_val_dataset(5), evaluator)
        assert evaluator.flags_per_pass() == [flags, flags]

    def test_pass_without_a_trainer_publishes_nothing(self, capsys):
        # What `kestrix val` runs on saved weights: no writer, no image marked, epoch 0.
        from orvane.kestrix.trainer.detection import validation_pass

        evaluator = RecordingEvaluator()
        assert validation_pass(make_val_dataset(3), evaluator, list(CLASSES)) == make_metrics()
        assert evaluator.starts == [None] and evaluator.flags_per_pass() == [[False] * 3]
        assert [record["epoch"] for record in evaluator.evaluations] == [0] * 3
        assert [epoch for _, epoch in evaluator.concluded] == [0]

    def test_first_image_of_each_validation_batch(self, trainer):
        trainer.classes = ["zero", "one", "two"]
        images, boxes, names = make_val_data(4)
        evaluator = RecordingEvaluator()
        trainer.train(0, None, make_val_dataset(4, batch_size=2), evaluator)

        np.testing.assert_array_equal(np.stack(evaluator.images), images[[0, 2]])
        first, second = evaluator.evaluations
        assert [first["image_path"], second["image_path"]] == ["image_0.jpg", "image_2.jpg"]
        assert first["labels"] == [trainer.classes[int(c)] for c in boxes[0, :, 4]]
        np.testing.assert_array_equal(first["boxes"], boxes[0, :, :4])
        assert (first["height"], first["width"]) == images.shape[1:3]
        assert first["keys"] == ["gt_instance", "dt_instance"]
        assert first["gt_keys"] == ["image", "height", "width", "boxes", "labels", "image_path"]
        assert first["dt_keys"] == ["boxes", "labels", "scores"]

    @pytest.mark.parametrize("metric, best", [("acc", 0.25), ("map", 0.5), ("recall", 0.75)])
    def test_metric_chooses_the_family(self, tmp_path, capsys, metric, best):
        trainer = make_trainer(tmp_path, metric=metric)
        trainer.train(0, None, make_val_dataset(1), RecordingEvaluator(make_metrics(0.25, 0.5, 0.75)))
        assert trainer.best_value == best and os.path.exists(trainer.best)

    def test_every_step_is_logged_with_the_scheduled_rate(self, tmp_path, capsys):
        schedule = tf.keras.optimizers.schedules.ExponentialDecay(0.1, decay_steps=1, decay_rate=0.5)
        trainer = make_trainer(tmp_path, optimizer=tf.keras.optimizers.Adam(schedule))
        calls = spy(trainer.logger, "update_metrics")
        trainer.train(2, make_train_dataset(4, 2))

        assert len(calls) == 4
        for (metrics, losses), kwargs in calls:
            assert metrics == {} and kwargs == {}
            assert list(losses) == LOSS_KEYS + ["step-time (seconds)", "learning-rate"]
            assert losses["step-time (seconds)"] > 0
        rates = [0.1 * 0.5**k for k in (1, 2, 3, 4)]  # the rate of the step after each one
        logged = read_scalars(trainer.logger.storage)
        np.testing.assert_allclose([v for _, v in logged["learning-rate"]], rates, rtol=1e-6)
        assert [s for s, _ in logged["total-loss"]] == [0, 1, 2, 3]
        # The bar is redrawn at tqdm's own pace; it always ends showing the last step.
        last_bar = capsys.readouterr().err.rstrip().split("\r")[-1]
        assert f"values=loss: {float(calls[-1][0][1]['total-loss']):.3f}   lr: {rates[-1]:.6f} step-time: " in last_bar

    @pytest.mark.parametrize("make_schedule", [
        lambda: WarmUpCosineDecay(start_lr=1e-4, target_lr=0.05, warmup_steps=30, total_steps=150, hold=20),
        lambda: tf.keras.optimizers.schedules.ExponentialDecay(0.1, decay_steps=7, decay_rate=0.93),
        lambda: tf.keras.optimizers.schedules.PiecewiseConstantDecay([40, 100], [0.1, 0.01, 0.001]),
    ], ids=["warm-up-cosine", "exponential", "piecewise"])
    def test_logged_rate_is_the_schedule_at_the_next_step(self, tmp_path, capsys, make_schedule):
        # Rates are read in runs of steps computed ahead; every logged and shown value must still
        # be exactly what the schedule returns at the counter, across runs and after a jump.
        schedule, twin = make_schedule(), make_schedule()
        optimizer = tf.keras.optimizers.SGD(schedule)
        trainer = make_trainer(tmp_path, optimizer=optimizer)
        expected, logged = [], []
        original = trainer.logger.update_metrics

        def log(metrics, losses):
            logged.append(losses["learning-rate"])
            expected.append(float(twin(optimizer.iterations)))
            original(metrics, losses)

        trainer.logger.update_metrics = log
        counted = CountingCalls(schedule)
        trainer.train(1, make_train_dataset(140, 1))  # beyond a first run of 64 and its doubling
        optimizer.iterations.assign(5_000_000_000)  # far off: a new run, past every bound
        trainer.train(2, make_train_dataset(3, 1), start=2)
        optimizer.iterations.assign(95)  # back into the middle of the schedule
        trainer.train(3, make_train_dataset(10, 1), start=3)

        assert len(logged) == 153 and all(type(rate) is float for rate in logged)
        assert logged == expected
        assert counted.calls < len(logged)  # computed ahead, not evaluated once per step
        last_bar = capsys.readouterr().err.rstrip().split("\r")[-1]
        assert f"lr: {expected[-1]:.6f} step-time: " in last_bar

    @pytest.mark.parametrize("style", ["plain", "legacy-value", "legacy-schedule"])
    def test_rate_of_other_optimizers(self, tmp_path, capsys, style):
        class LegacyOptimizer:
            """An optimizer in the older style: the rate (or its schedule) is `lr`."""

            def __init__(self, inner, lr):
                self.inner, self.lr = inner, lr

            def apply_gradients(self, pairs):
                return self.inner.apply_gradients(pairs)

            @property
            def iterations(self):
                return self.inner.iterations

        schedule = tf.keras.optimizers.schedules.ExponentialDecay(0.1, decay_steps=1, decay_rate=0.5)
        inner = tf.keras.optimizers.SGD(0.02)
        optimizer = {"plain": inner, "legacy-value": LegacyOptimizer(inner, 0.02),
                     "legacy-schedule": LegacyOptimizer(inner, schedule)}[style]
        model = make_detector()
        inner.build(model.trainable_variables)
        trainer = make_trainer(tmp_path, model=model, optimizer=optimizer, build_optimizer=False)
        trainer.train(1, make_train_dataset(4, 2))
        last_bar = capsys.readouterr().err.rstrip().split("\r")[-1]
        assert ("lr: 0.025000" if style == "legacy-schedule" else "lr: 0.020000") in last_bar

    def test_empty_passes_are_reported(self, trainer):
        empty_val = make_val_dataset(2).take(0)
        with pytest.raises(ValueError, match="val_ds yielded no element"):
            trainer.train(1, make_train_dataset(2, 2), empty_val, RecordingEvaluator())
        with pytest.raises(ValueError, match="train_ds yielded no batch in epoch 1"):
            trainer.train(1, make_train_dataset(2, 2).take(0), make_val_dataset(1), RecordingEvaluator())
        trainer.train(1, make_train_dataset(2, 2).take(0))  # no evaluator: an empty epoch only saves
        assert os.path.exists(trainer.last)

    @pytest.mark.parametrize(
        "change, error",
        [({"display": None}, TypeError), ({"classes": ["only-one"]}, IndexError)],
    )
    def test_bad_settings_fail_the_validation_pass(self, trainer, change, error):
        for name, value in change.items():
            setattr(trainer, name, value)
        with pytest.raises(error):
            trainer.train(1, make_train_dataset(2, 2), make_val_dataset(1, rows=3, seed=4), RecordingEvaluator())


class TestInterruptedWrites:
    def test_failed_model_save_keeps_the_previous_files(self, trainer, monkeypatch):
        trainer.save_model(0.5)
        last, best = stamp(trainer.last), stamp(trainer.best)

        def half_save(self, filepath, *args, **kwargs):
            with open(filepath, "wb") as f:
                f.write(b"\x89HDF\r\n\x1a\n partial")
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(tf.keras.Model, "save", half_save)
        with pytest.raises(OSError, match="No space left"):
            trainer.save_model(0.9)
        monkeypatch.undo()
        assert stamp(trainer.last) == last and stamp(trainer.best) == best
        assert trainer.best_value == 0.5 and leftovers(trainer) == []
        tf.keras.models.load_model(trainer.last, compile=False)

    def test_failed_summary_write_keeps_the_previous_file(self, trainer, monkeypatch):
        trainer.update_metrics(make_metrics(), {}, epoch=1)
        before = Path(trainer.checkpoint, "summary.csv").read_bytes()

        class FullDisk(csv.DictWriter):
            def writerows(self, rows):
                self.writerow(rows[0])
                raise OSError(28, "No space left on device")

        monkeypatch.setattr(csv, "DictWriter", FullDisk)
        with pytest.raises(OSError, match="No space left"):
            trainer.update_metrics(make_metrics(), {}, epoch=2)
        monkeypatch.undo()
        assert Path(trainer.checkpoint, "summary.csv").read_bytes() == before
        assert leftovers(trainer) == []
        trainer.update_metrics(make_metrics(), {}, epoch=3)
        assert [row[0] for row in csv_rows(trainer)] == ["epoch", "1", "2", "3"]

    def test_process_killed_while_saving_keeps_last_h5(self, tmp_path):
        script = textwrap.dedent(
            f"""
            import os, signal, sys
            sys.path.insert(0, {str(Path(__file__).parent)!r})
            import tensorflow as tf
            from models import make_trainer
            trainer = make_trainer({str(tmp_path)!r})
            trainer.save_model(0.5)
            print(trainer.last, flush=True)

            def killed_save(self, filepath, *args, **kwargs):
                with open(filepath, "wb") as f:
                    f.write(b"\\x89HDF partial")
                    f.flush()
                os.kill(os.getpid(), signal.SIGKILL)

            tf.keras.Model.save = killed_save
            trainer.save_model(0.9)
            """
        )
        env = dict(os.environ, PYTHONPATH=str(Path(orvane.__file__).resolve().parent.parent),
                   TF_CPP_MIN_LOG_LEVEL="3")
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                                timeout=180)
        assert result.returncode == -signal.SIGKILL, result.stderr
        last = result.stdout.strip().splitlines()[-1]
        loaded = tf.keras.models.load_model(last, compile=False)
        assert len(loaded.outputs) == 2


class TestEndToEnd:
    def test_ctrl_c_during_a_step_stops_training_after_it(self, tmp_path, capsys):
        """A Ctrl-C while a step runs (its graph being built, on the first one) lets the step
        finish, says so, then stops training with KeyboardInterrupt: nothing after that step."""
        trainer = make_trainer(tmp_path)
        images, boxes = make_train_data(4)
        compiled, finished = trainer.train_step, []

        def step(batch):
            os.kill(os.getpid(), signal.SIGINT)
            losses = compiled(batch)
            finished.append(True)
            return losses

        trainer.train_step = step
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            with pytest.raises(KeyboardInterrupt):
                trainer.train(3, [(images[:2], boxes[:2]), (images[2:], boxes[2:])], None, None)
        finally:
            signal.signal(signal.SIGINT, previous)
        assert finished == [True]
        assert int(trainer.optimizer.iterations.numpy()) == 1
        assert "Ctrl-C: training stops when the current step is done." in capsys.readouterr().err

    def test_two_epochs_from_a_dataset(self, tmp_path, capsys):
        trainer = make_trainer(tmp_path, optimizer=tf.keras.optimizers.Adam(0.05), loss=SimpleLoss(),
                               info={"epochs": 2}, classes=list(CLASSES))
        images, boxes = make_train_data(8)

        def full_loss():
            outputs = trainer.model(tf.constant(images, tf.float32) / 255.0)
            return float(trainer.loss.compute_loss([tf.constant(boxes)], tuple(outputs))["total-loss"])

        before = full_loss()
        train_ds = tf.data.Dataset.from_tensor_slices((images, boxes)).batch(2)
        evaluator = RecordingEvaluator([make_metrics(acc=v) for v in (0.1, 0.2, 0.3)])
        trainer.train(2, train_ds, make_val_dataset(3), evaluator)

        assert full_loss() < before
        assert trainer.train_step.experimental_get_tracing_count() == 1
        run = Path(trainer.checkpoint)
        names = sorted(os.listdir(run))
        assert [n for n in names if not n.startswith("setup-by-")] == [
            "best.h5", "labels.txt", "last.h5", "summary.csv"]
        assert len(names) == 5
        assert [row[0] for row in csv_rows(trainer)] == ["epoch", "0", "1", "2"]
        assert trainer.best_value == 0.3
        tf.keras.models.load_model(trainer.best, compile=False)
        logged = read_scalars(trainer.logger.storage)
        # eight steps, then the two epoch summaries, which carry the last step's losses
        assert [s for s, _ in logged["total-loss"]] == [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]
        assert [s for s, _ in logged["mACC@0.5"]] == [0, 5, 10]
        out = capsys.readouterr().out
        assert out.count("Saving model with improvement in acc") == 3
