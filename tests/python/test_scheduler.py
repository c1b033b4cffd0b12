"""Tests of the warm-up, hold and cosine-decay learning-rate schedule."""
import math

import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.schedulers import scheduler
from orvane.kestrix.schedulers.scheduler import WarmUpCosineDecay

# float32 rounding of the rate, relative to the peak rate.
RTOL = 2e-6


def rate(schedule, step):
    return float(schedule(tf.constant(step, tf.int64)))


def expected(step, start_lr, target_lr, warmup, total, hold):
    """The schedule in double precision, written from its definition."""
    if step > total:
        return start_lr
    if step < warmup:
        return target_lr * step / warmup
    if hold > 0 and step <= warmup + hold:
        return target_lr
    span = total - warmup - hold
    progress = 1.0 if span == 0 else (step - warmup - hold) / span
    return 0.5 * target_lr * (1.0 + math.cos(math.pi * progress))


def tracing_counts(schedule):
    return (
        schedule.__call__.experimental_get_tracing_count(),
        schedule.lr_warmup_cosine_decay.experimental_get_tracing_count(),
    )


class TestModule:
    def test_compiled_subclass_of_keras_schedule(self):
        assert scheduler.__file__.endswith(".so")
        assert issubclass(WarmUpCosineDecay, tf.keras.optimizers.schedules.LearningRateSchedule)
        for name in ("get_warmup", "get_learning_rate", "lr_warmup_cosine_decay", "__call__"):
            assert hasattr(getattr(WarmUpCosineDecay, name), "experimental_get_tracing_count"), name
        assert "cos(pi" in WarmUpCosineDecay.__doc__


class TestConstruction:
    def test_settings_stored_and_floats_converted(self):
        s = WarmUpCosineDecay(1, np.float32(0.25), 3, 10, 2)
        assert (s.start_lr, s.target_lr, s.warmup_steps, s.total_steps, s.hold) == (1.0, 0.25, 3, 10, 2)
        assert type(s.start_lr) is float and type(s.target_lr) is float
        s = WarmUpCosineDecay(start_lr=0.0, target_lr=1e-3, warmup_steps=1, total_steps=2, hold=0)
        assert s.total_steps == 2

    @pytest.mark.parametrize("bad", ["start_lr", "target_lr"])
    def test_unconvertible_float_rejected_before_anything_is_stored(self, bad):
        args = dict(start_lr=0.0, target_lr=1e-3, warmup_steps=1, total_steps=2, hold=0)
        args[bad] = "0.1"
        obj = WarmUpCosineDecay.__new__(WarmUpCosineDecay)
        with pytest.raises(TypeError, match=rf"Argument '{bad}' has incorrect type \(expected float, got str\)"):
            WarmUpCosineDecay.__init__(obj, **args)
        assert vars(obj) == {}

    @pytest.mark.parametrize("args", [(0.0, 1e-3, 1, 2), (0.0, 1e-3, 1, 2, 0, 5)])
    def test_exactly_five_arguments(self, args):
        with pytest.raises(TypeError):
            WarmUpCosineDecay(*args)


class TestRate:
    @pytest.mark.parametrize(
        "start_lr, target_lr, warmup, total, hold",
        [
            (1e-5, 1e-3, 10, 100, 5),  # every phase
            (0.0, 2e-2, 10, 100, 0),  # no hold
            (3e-4, 1e-3, 0, 50, 7),  # no warm-up
            (3e-4, 1e-3, 0, 50, 0),  # cosine only
        ],
    )
    def test_phase_boundaries(self, start_lr, target_lr, warmup, total, hold):
        s = WarmUpCosineDecay(start_lr, target_lr, warmup, total, hold)
        edge = warmup + hold
        steps = {0, 1, max(warmup - 1, 0), warmup, edge, edge + 1, (edge + total) // 2, total - 1, total, total + 1,
                 total + 1000}
        for step in sorted(steps):
            got = rate(s, step)
            want = expected(step, start_lr, target_lr, warmup, total, hold)
            assert got == pytest.approx(want, rel=RTOL, abs=RTOL * target_lr), step
        assert rate(s, 0) == (0.0 if warmup else pytest.approx(target_lr, rel=RTOL))
        assert rate(s, total) == pytest.approx(0.0, abs=1e-6 * target_lr)
        assert rate(s, total + 1) == np.float32(start_lr)
        if hold:
            # The hold is exact, including its last step; the next one decays.
            assert rate(s, edge) == np.float32(target_lr)
            assert rate(s, edge + 1) < np.float32(target_lr)

    def test_agrees_with_keras_cosine_decay_with_warmup(self):
        target, warmup, total = 4e-3, 12, 80
        ours = WarmUpCosineDecay(0.0, target, warmup, total, 0)
        keras = tf.keras.optimizers.schedules.CosineDecay(
            0.0, decay_steps=total - warmup, warmup_target=target, warmup_steps=warmup
        )
        for step in range(total + 1):
            t = tf.constant(step, tf.int64)
            assert float(ours(t)) == pytest.approx(float(keras(t)), rel=RTOL, abs=RTOL * target), step

    def test_result_is_float32_named_learning_rate(self):
        s = WarmUpCosineDecay(0.0, 1e-3, 2, 10, 1)
        assert s(tf.constant(3)).dtype == tf.float32
        graph = s.__call__.get_concrete_function(tf.TensorSpec([], tf.int64)).graph
        assert "learning_rate" in [op.name for op in graph.get_operations()]

    @pytest.mark.parametrize("warmup, total, hold", [(5, 5, 0), (5, 8, 3), (0, 1, 1), (0, 4, 4)])
    def test_zero_length_decay_stays_finite(self, warmup, total, hold):
        s = WarmUpCosineDecay(0.5, 1e-3, warmup, total, hold)
        for step in range(total + 3):
            got = rate(s, step)
            assert math.isfinite(got), step
            assert math.isfinite(float(s.get_warmup())) and math.isfinite(float(s.get_learning_rate())), step
            assert got == pytest.approx(expected(step, 0.5, 1e-3, warmup, total, hold), rel=RTOL), step
        # The decay is over at once: 0 at its end without a hold, the hold's value with one.
        assert rate(s, total) == (np.float32(1e-3) if hold else 0.0)

    def test_lr_warmup_cosine_decay_called_directly(self):
        s = WarmUpCosineDecay(0.0, 1.0, 0, 1, 0)
        # Defaults: hold 0, total_steps 0, target_lr 1e-3; no start_lr cut-off here.
        got = s.lr_warmup_cosine_decay(global_step=tf.constant(4.0), warmup_steps=tf.constant(10.0))
        assert float(got) == pytest.approx(4e-4, rel=RTOL)
        got = s.lr_warmup_cosine_decay(tf.constant(22.5), tf.constant(10.0), hold=5, total_steps=30, start_lr=9.0,
                                       target_lr=2.0)
        assert float(got) == pytest.approx(1.0, rel=RTOL)  # half-way down the cosine


class TestCandidates:
    def test_zero_before_any_evaluation(self):
        s = WarmUpCosineDecay(0.0, 1e-3, 4, 20, 2)
        for value in (s.get_warmup(), s.get_learning_rate()):
            assert value.dtype == tf.float32 and float(value) == 0.0

    def test_last_evaluation_recorded(self):
        t, warmup, total, hold = 1e-3, 10, 40, 0
        s = WarmUpCosineDecay(0.0, t, warmup, total, hold)
        assert rate(s, 4) == pytest.approx(4e-4, rel=RTOL)
        assert float(s.get_warmup()) == pytest.approx(4e-4, rel=RTOL)
        # During the warm-up the decay candidate is the cosine, not the returned ramp.
        cosine = 0.5 * t * (1 + math.cos(math.pi * (4 - 10) / 30))
        assert float(s.get_learning_rate()) == pytest.approx(cosine, rel=RTOL)
        got = rate(s, 25)
        assert float(s.get_learning_rate()) == got
        assert float(s.get_warmup()) == pytest.approx(t * 2.5, rel=RTOL)

    def test_hold_candidate_during_warmup(self):
        s = WarmUpCosineDecay(0.0, 1e-3, 10, 40, 5)
        rate(s, 3)
        assert float(s.get_learning_rate()) == np.float32(1e-3)

    def test_instances_keep_their_own_candidates(self):
        a, b = WarmUpCosineDecay(0.0, 1e-3, 10, 40, 0), WarmUpCosineDecay(0.0, 5e-3, 10, 40, 0)
        rate(a, 5)
        rate(b, 5)
        assert float(a.get_warmup()) == pytest.approx(5e-4, rel=RTOL)
        assert float(b.get_warmup()) == pytest.approx(2.5e-3, rel=RTOL)


class TestInOptimizer:
    def test_optimizer_rate_follows_schedule_without_retracing(self, legacy_keras):
        s = WarmUpCosineDecay(1e-4, 1e-2, 5, 30, 3)
        opt = tf.keras.optimizers.SGD(learning_rate=s)
        var = tf.Variable(1.0)
        counts = None
        # After step k Keras 3 reports the rate of the next step, tf-keras that of the step taken.
        lag = 1 if legacy_keras else 0
        for k in range(1, 41):
            opt.apply_gradients([(tf.constant(1.0), var)])
            assert float(opt.learning_rate) == pytest.approx(expected(k - lag, 1e-4, 1e-2, 5, 30, 3), rel=RTOL,
                                                             abs=1e-9)
            if k == 2:
                counts = tracing_counts(s)
        assert counts == tracing_counts(s) and max(counts) <= 2
        # The weight moved by the sum of the rates used at steps 0..39.
        used = sum(expected(k, 1e-4, 1e-2, 5, 30, 3) for k in range(40))
        assert float(var) == pytest.approx(1.0 - used, rel=1e-5)

    def test_inside_compiled_train_step(self):
        s = WarmUpCosineDecay(0.0, 1e-2, 3, 20, 1)
        model = tf.keras.Sequential([tf.keras.Input((2,)), tf.keras.layers.Dense(1)])
        model.compile(optimizer=tf.keras.optimizers.Adam(learning_rate=s), loss=tf.keras.losses.MeanSquaredError())
        x = np.random.rand(16, 2).astype("float32")
        y = np.random.rand(16, 1).astype("float32")
        model.fit(x, y, batch_size=4, epochs=1, verbose=0)
        counts = tracing_counts(s)
        model.fit(x, y, batch_size=4, epochs=2, verbose=0)
        assert tracing_counts(s) == counts
        assert int(model.optimizer.iterations) == 12
        # The last update used step 11, a decay step.
        assert float(s.get_learning_rate()) == pytest.approx(expected(11, 0.0, 1e-2, 3, 20, 1), rel=RTOL)
        assert float(s.get_warmup()) == pytest.approx(1e-2 * 11 / 3, rel=RTOL)


    def test_trainer_shows_and_logs_the_scheduled_rate(self, tmp_path, capsys):
        from models import make_train_dataset, make_trainer, read_scalars

        s = WarmUpCosineDecay(0.0, 1e-2, 2, 7, 1)
        trainer = make_trainer(tmp_path, optimizer=tf.keras.optimizers.Adam(s))
        trainer.train(2, make_train_dataset(6, 2))  # two epochs of three steps
        # Each step logs the rate of the step after it (the optimizer has counted it).
        logged = [v for _, v in read_scalars(trainer.logger.storage)["learning-rate"]]
        np.testing.assert_allclose(logged, [expected(k, 0.0, 1e-2, 2, 7, 1) for k in range(1, 7)], rtol=1e-5)
        last_bar = capsys.readouterr().err.rstrip().split("\r")[-1]
        assert f"lr: {expected(6, 0.0, 1e-2, 2, 7, 1):.6f}" in last_bar


class TestSerialisation:
    def test_config_round_trip(self):
        s = WarmUpCosineDecay(1e-5, 2e-3, 4, 50, 6)
        config = s.get_config()
        assert config == dict(start_lr=1e-5, target_lr=2e-3, warmup_steps=4, total_steps=50, hold=6)
        copy = WarmUpCosineDecay.from_config(config)
        assert type(copy) is WarmUpCosineDecay
        assert [rate(copy, k) for k in (0, 7, 10, 11, 50, 51)] == [rate(s, k) for k in (0, 7, 10, 11, 50, 51)]
        restored = tf.keras.optimizers.schedules.deserialize(
            tf.keras.optimizers.schedules.serialize(s), custom_objects={"WarmUpCosineDecay": WarmUpCosineDecay}
        )
        assert restored.get_config() == config

    @pytest.mark.parametrize("suffix", [".keras", ".h5"])
    def test_compiled_model_saves_and_loads(self, tmp_path, suffix):
        s = WarmUpCosineDecay(0.0, 1e-2, 2, 10, 1)
        model = tf.keras.Sequential([tf.keras.Input((2,)), tf.keras.layers.Dense(1)])
        model.compile(optimizer=tf.keras.optimizers.SGD(learning_rate=s), loss=tf.keras.losses.MeanSquaredError())
        model.fit(np.ones((4, 2), "float32"), np.ones((4, 1), "float32"), batch_size=2, verbose=0)
        path = str(tmp_path / f"model{suffix}")
        model.save(path)
        loaded = tf.keras.models.load_model(path, custom_objects={"WarmUpCosineDecay": WarmUpCosineDecay})
        schedule = loaded.optimizer._learning_rate
        assert type(schedule) is WarmUpCosineDecay
        assert schedule.get_config() == s.get_config()
        assert rate(schedule, 5) == rate(s, 5)
