"""Keras Applications backbones in the detector: weights files of the bare application, the inputs
each application expects, saving without custom objects, and the weights that cannot be had."""
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.models import REG_MAX, build_detector
from orvane.kestrix.models.backbones import BACKBONES, find_backbone

SHAPE = (64, 64, 3)


def export(model):
    return tf.keras.Model(model.input, model.outputs[2:])


def perturb(model):
    """Moves every float weight off its initial value, so that equality means something."""
    rng = np.random.default_rng(0)
    model.set_weights([w + rng.normal(0, 0.02, w.shape).astype(w.dtype) if w.dtype.kind == "f" else w
                       for w in model.get_weights()])


def bare_application(name, **kwargs):
    """The application of backbone ``name`` as a user makes it to save a weights file."""
    if name == "mobilenetv2":
        kwargs.setdefault("alpha", 0.35)  # the width of size t
    return getattr(tf.keras.applications, BACKBONES[name]["application"])(
        include_top=False, weights=None, input_shape=(96, 96, 3), **kwargs)


def weights_file(folder, name, changed=True, **kwargs):
    app = bare_application(name, **kwargs)
    if changed:
        perturb(app)
    path = str(folder / ("%s.weights.h5" % name))
    app.save_weights(path)
    return app, path


@pytest.mark.parametrize("name, module, save", [
    ("mobilenetv2", "mobilenet_v2", True),
    pytest.param("efficientnetb0", "efficientnet", True, marks=pytest.mark.keras3),
    # built-in layers only, as the family's; saving its 95 MB would double the row's time
    pytest.param("resnet50", "resnet50", False, marks=pytest.mark.keras3),
])
def test_each_backbone_loads_its_file_feeds_the_heads_and_saves_without_custom_objects(name, module, save, tmp_path):
    app, weights = weights_file(tmp_path, name)
    model = build_detector(3, SHAPE, "t", backbone=name, backbone_weights=weights)
    _, backbone = find_backbone(model)
    assert all(np.array_equal(a, b) for a, b in zip(app.get_weights(), backbone.get_weights()))
    assert model.backbone_source.endswith("weights of %s" % weights)
    k = SHAPE[0] * SHAPE[1] * 21 // 1024
    assert [tuple(o.shape[1:]) for o in model.outputs] == [(k, 4 * REG_MAX + 3), (k, 3), (k, 4), (k, 3)]
    images = np.random.default_rng(1).uniform(0, 1, (2,) + SHAPE).astype(np.float32)

    # The application sees its inputs scaled as its own preprocess_input scales 0..255 images.
    seen = tf.keras.Model(model.input, model.get_layer("backbone_preprocess").output)(images)
    wanted = getattr(tf.keras.applications, module).preprocess_input(images * 255.0)
    np.testing.assert_allclose(np.asarray(seen), np.asarray(wanted), atol=1e-4)

    if not save:
        return
    path = str(tmp_path / (name + ".h5"))
    export(model).save(path)
    loaded = tf.keras.models.load_model(path, compile=False)
    for ours, theirs in zip(export(model)(images), loaded(images)):
        np.testing.assert_allclose(np.asarray(theirs), np.asarray(ours), rtol=1e-4, atol=1e-4)


def no_download(monkeypatch):
    """The application's ImageNet download fails as it does offline."""
    real = tf.keras.applications.MobileNetV2

    def offline(*args, weights=None, **kwargs):
        if weights == "imagenet":
            raise Exception("URL fetch failure on https://example.invalid/weights.h5: None -- no network")
        return real(*args, weights=weights, **kwargs)

    monkeypatch.setattr(tf.keras.applications, "MobileNetV2", offline)
    return "imagenet"


@pytest.mark.parametrize("make, message", [
    (lambda d, mp: weights_file(d, "mobilenetv2", changed=False, alpha=0.5)[1], r"does not fit backbone mobilenetv2 \(alpha 0.35\): it holds 260 "
                                            r"arrays, the backbone 260 of other shapes; make one with "
                                            r"tf.keras.applications.MobileNetV2\(alpha=0.35"),
    (lambda d, mp: str(d / "missing.h5"), "backbone weights file not found: .*missing.h5"),
    (lambda d, mp: (d / "text.h5").write_text("not hdf5") and str(d / "text.h5"), "cannot read backbone weights"),
    (lambda d, mp: no_download(mp), r"cannot get the ImageNet weights of backbone mobilenetv2 \(alpha 0.35\) "
                                    r"\(URL fetch failure.*give a weights FILE .* or 'none'"),
], ids=["other-alpha", "missing", "not-hdf5", "offline-imagenet"])
def test_backbone_weights_that_cannot_be_had_are_named(tmp_path, monkeypatch, make, message):
    with pytest.raises(ValueError, match=message):
        build_detector(1, SHAPE, "t", backbone="mobilenetv2", backbone_weights=make(tmp_path, monkeypatch))


@pytest.mark.parametrize("kwargs, message", [
    ({"backbone": "vgg"}, "unknown backbone 'vgg' .*mobilenetv2"),
    ({"backbone_weights": "imagenet"}, "without a backbone"),
])
def test_bad_backbone_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        build_detector(1, SHAPE, "t", **kwargs)


def test_frozen_backbone_stages_keep_weights_and_statistics_through_a_step():
    """--freeze 2 on mobilenetv2: its stem and blocks 1-2 stay as they were (batch-normalisation
    statistics included) while block 3 on learns; the step takes ``trainable_variables`` as the
    trainer's does."""
    from orvane.kestrix.models.transfer import freeze_stages

    model = build_detector(1, SHAPE, "t", backbone="mobilenetv2")
    frozen = freeze_stages(model, 2)
    _, backbone = find_backbone(model)
    first = ("Conv1", "bn_Conv1", "expanded_conv_", "block_1_", "block_2_")
    assert sorted(frozen) == sorted("backbone_mobilenetv2/" + layer.name for layer in backbone.layers
                                    if layer.name.startswith(first))
    before = {layer.name: [w.copy() for w in layer.get_weights()] for layer in backbone.layers}
    optimizer = tf.keras.optimizers.SGD(0.1)
    images = np.random.default_rng(0).uniform(0, 1, (4,) + SHAPE).astype(np.float32)
    with tf.GradientTape() as tape:
        loss = tf.reduce_mean(tf.square(model(images, training=True)[0]))
    optimizer.apply_gradients(zip(tape.gradient(loss, model.trainable_variables), model.trainable_variables))
    changed = {layer.name for layer in backbone.layers
               if not all(np.array_equal(a, b) for a, b in zip(layer.get_weights(), before[layer.name]))}
    assert changed and not {name for name in changed if name.startswith(first)}
    assert "block_3_expand" in changed and "block_3_expand_BN" in changed
