"""DetectionTrainer's saved model files follow the training model across saves."""
import numpy as np
import pytest
import tensorflow as tf

from models import make_detector, make_train_data, make_train_dataset, make_trainer


def shifted(model, by):
    for variable in model.weights:
        variable.assign(variable + by)


def outputs_of(model, images):
    return [np.asarray(o) for o in model(images)]


@pytest.mark.parametrize("change", [
    "weights assigned",  # the same model with new values
    "trained an epoch",  # the same model, trained by train()
    "model replaced",  # another model in the trainer's place (e.g. a fine-tuning stage)
    "replaced, other classes",  # one whose export model has other output shapes
])
def test_every_save_holds_the_current_model(tmp_path, capsys, change):
    trainer = make_trainer(tmp_path)
    trainer.save_model(0.5)
    before = [w.copy() for w in tf.keras.models.load_model(trainer.best, compile=False).get_weights()]

    if change == "weights assigned":
        shifted(trainer.model, 0.25)
    elif change == "trained an epoch":
        trainer.train(1, make_train_dataset(4, 2))
    else:
        replacement = make_detector(num_classes=5 if change.endswith("classes") else 3, name="replacement")
        shifted(replacement, 0.5)
        trainer.model = replacement
    trainer.save_model(0.75)

    images = tf.constant(make_train_data(2)[0], tf.float32) / 255.0
    expected = outputs_of(trainer.model, images)[2:]
    for path in (trainer.last, trainer.best):
        loaded = tf.keras.models.load_model(path, compile=False)
        for got, want in zip(outputs_of(loaded, images), expected, strict=True):
            np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6)
        after = loaded.get_weights()
        assert any(a.shape != b.shape or not np.array_equal(a, b) for a, b in zip(after, before))
