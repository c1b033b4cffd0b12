"""Transfer: an earlier run's weights load by name and shape (a different class head starts
fresh, also with a Keras Applications backbone), and frozen backbone stages keep their weights
through training."""
import numpy as np
import pytest
import tensorflow as tf

from models import make_trainer
from orvane.kestrix.losses.detection import DetectionLoss
from orvane.kestrix.models import build_detector
from orvane.kestrix.models.transfer import freeze_stages, load_matching_weights

SHAPE = (64, 64, 3)


def export(model):
    return tf.keras.Model(model.input, model.outputs[2:])


@pytest.mark.parametrize("backbone", [None, "mobilenetv2"])
def test_a_three_class_run_loads_into_a_one_class_model_except_the_class_head(tmp_path, capsys, backbone):
    source = build_detector(3, SHAPE, "t", backbone=backbone)
    source.set_weights([w + 0.5 for w in source.get_weights()])
    path = str(tmp_path / "best.h5")
    export(source).save(path)

    target = build_detector(1, SHAPE, "t", backbone=backbone)
    fresh = {layer.name: [w.copy() for w in layer.get_weights()] for layer in target.layers}
    report = load_matching_weights(target, path)
    skipped = {entry.split(" ")[0] for entry in report["skipped"]}
    assert skipped == {f"head{i}_class_logits" for i in range(3)}
    assert 0 < report["loaded"] < report["total"]
    for layer in target.layers:
        if not layer.trainable_weights:
            continue  # weightless layers and the decoding's fixed maps
        same_as_source = all(np.array_equal(a, b) for a, b in
                             zip(layer.get_weights(), source.get_layer(layer.name).get_weights()))
        unchanged = all(np.array_equal(a, b) for a, b in zip(layer.get_weights(), fresh[layer.name]))
        assert unchanged if layer.name in skipped else same_as_source, layer.name
    # What `kestrix train --weights` says about it.
    from orvane.kestrix.cli.train import _load_weights

    _load_weights(build_detector(1, SHAPE, "t", backbone=backbone), path)
    out = capsys.readouterr().out
    assert "Loaded %d of %d weight tensors from %s." % (report["loaded"], report["total"], path) in out
    assert all("not loaded: head%d_class_logits (shapes" % i in out for i in range(3))


@pytest.mark.parametrize("make_file,message", [
    (lambda d: str(d / "missing.h5"), "not found"),
    (lambda d: (d / "text.h5").write_text("not hdf5") and str(d / "text.h5"), "cannot read"),
])
def test_unusable_files_are_named(tmp_path, make_file, message):
    with pytest.raises(ValueError, match=message):
        load_matching_weights(build_detector(1, SHAPE, "t"), make_file(tmp_path))


def test_frozen_stages_do_not_change_over_an_epoch(tmp_path):
    model = build_detector(1, SHAPE, "t")
    frozen = set(freeze_stages(model, 2))
    assert frozen and all(name.startswith(("stem_", "stage1_")) for name in frozen)
    before = {layer.name: [w.copy() for w in layer.get_weights()] for layer in model.layers}
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (8,) + SHAPE, dtype=np.uint8)
    boxes = np.tile(np.array([[[8, 8, 40, 40, 0]]], np.float32), (8, 1, 1))
    trainer = make_trainer(tmp_path, model=model, loss=DetectionLoss(1), classes=["thing"],
                           metric_names=["total-loss"])
    trainer.train(1, tf.data.Dataset.from_tensor_slices((images, boxes)).batch(4), None, None)
    for layer in model.layers:
        same = all(np.array_equal(a, b) for a, b in zip(layer.get_weights(), before[layer.name]))
        if layer.name in frozen:
            assert same, layer.name
    assert not all(np.array_equal(a, b) for a, b in
                   zip(model.get_layer("stage2_down_conv").get_weights(), before["stage2_down_conv"]))
