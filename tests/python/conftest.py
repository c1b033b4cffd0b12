"""Shared pytest set-up: quiet TensorFlow, CPU only, deterministic seeds, the Keras in use.

The suite runs under Keras 3 and, with ``TF_USE_LEGACY_KERAS=1``, under tf-keras (``make test``
runs it both ways). A test that only makes sense under one of them says so with
``@pytest.mark.keras3`` or ``@pytest.mark.tf_keras`` and is skipped under the other; the
``legacy_keras`` fixture tells a test which one it runs under. A test that exercises nothing
of Keras (no model, optimizer, step, saving or loading: a dataset reader, a file writer) is
marked ``@pytest.mark.keras_free`` and runs once, in the Keras 3 pass.
"""
import os

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import pytest  # noqa: E402
import tensorflow as tf  # noqa: E402

# tf.keras is tf-keras (Keras 2) exactly when TensorFlow was told to use the legacy Keras.
LEGACY_KERAS = tf.keras.__name__.startswith("tf_keras")


def pytest_configure(config):
    config.addinivalue_line("markers", "keras3: only meaningful under Keras 3 (skipped under tf-keras)")
    config.addinivalue_line("markers", "tf_keras: only meaningful under tf-keras (skipped under Keras 3)")
    config.addinivalue_line("markers", "keras_free: exercises nothing of Keras (runs in the Keras 3 pass only)")


def pytest_runtest_setup(item):
    if LEGACY_KERAS and item.get_closest_marker("keras3"):
        pytest.skip("Keras 3 only; this run uses tf-keras")
    if not LEGACY_KERAS and item.get_closest_marker("tf_keras"):
        pytest.skip("tf-keras only (TF_USE_LEGACY_KERAS=1); this run uses Keras 3")
    if LEGACY_KERAS and item.get_closest_marker("keras_free"):
        pytest.skip("nothing Keras-specific: runs in the Keras 3 pass only")


@pytest.fixture
def legacy_keras():
    """True when tf.keras is tf-keras (TF_USE_LEGACY_KERAS=1), False under Keras 3."""
    return LEGACY_KERAS


@pytest.fixture(autouse=True)
def _seed():
    import numpy as np

    np.random.seed(0)
    tf.random.set_seed(0)
    yield
