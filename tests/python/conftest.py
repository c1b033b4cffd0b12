"""Shared pytest set-up: quiet TensorFlow, CPU only, deterministic seeds."""
import os

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import pytest  # noqa: E402


@pytest.fixture(autouse=True)
def _seed():
    import numpy as np
    import tensorflow as tf

    np.random.seed(0)
    tf.random.set_seed(0)
    yield
