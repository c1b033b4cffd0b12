"""Keras Applications backbones in the detector: the inputs each application expects, saving without
custom objects, weights files of the bare application, and stages that cover the whole network."""
import numpy as np
import pytest
import tensorflow as tf

from orvane.kestrix.models import REG_MAX, build_detector
from orvane.kestrix.models.backbones import BACKBONES, find_backbone, stage_layers

SHAPE = (64, 64, 3)


def export(model):
    return tf.keras.Model(model.input, model.outputs[2:])


def perturb(model):
    """Moves every float weight off its initial value, so that equality means something."""
    rng = np.random.default_rng(0)
    model.set_weights([w + rng.normal(0, 0.02, w.shape).astype(w.dtype) if w.dtype.kind == "f" else w
                       for w in model.get_weights()])


@pytest.mark.parametrize("name, module", [
    ("mobilenetv2", "mobilenet_v2"),
    pytest.param("efficientnetb0", "efficientnet", marks=pytest.mark.keras3),
    pytest.param("resnet50", "resnet50", marks=pytest.mark.keras3),  # about 2 s to build, 95 MB to save
])
def test_each_backbone_feeds_the_heads_and_saves_without_custom_objects(name, module, tmp_path):
    model = build_detector(3, SHAPE, "t", backbone=name)
    k = SHAPE[0] * SHAPE[1] * 21 // 1024
    assert [tuple(o.shape[1:]) for o in model.outputs] == [(k, 4 * REG_MAX + 3), (k, 3), (k, 4), (k, 3)]
    images = np.random.default_rng(1).uniform(0, 1, (2,) + SHAPE).astype(np.float32)

    # The application sees its inputs scaled as its own preprocess_input scales 0..255 images.
    seen = tf.keras.Model(model.input, model.get_layer("backbone_preprocess").output)(images)
    wanted = getattr(tf.keras.applications, module).preprocess_input(images * 255.0)
    np.testing.assert_allclose(np.asarray(seen), np.asarray(wanted), atol=1e-4)

    # Every layer with weights belongs to a stage, so --freeze 5 fixes the whole application.
    _, backbone = find_backbone(model)
    staged = {layer.name for layer in stage_layers(backbone, name, 5)}
    assert [layer.name for layer in backbone.layers if layer.weights and layer.name not in staged] == []

    perturb(model)
    path = str(tmp_path / (name + ".h5"))
    export(model).save(path)
    loaded = tf.keras.models.load_model(path, compile=False)
    for ours, theirs in zip(export(model)(images), loaded(images)):
        np.testing.assert_allclose(np.asarray(theirs), np.asarray(ours), rtol=1e-4, atol=1e-4)


def bare_mobilenet(alpha):
    return tf.keras.applications.MobileNetV2(alpha=alpha, include_top=False, weights=None, input_shape=(96, 96, 3))


def weights_file(folder, alpha, changed=True):
    app = bare_mobilenet(alpha)
    if changed:
        perturb(app)
    path = str(folder / ("mobilenetv2-%g.weights.h5" % alpha))
    app.save_weights(path)
    return app, path


def test_a_weights_file_of_the_bare_application_loads_into_the_backbone(tmp_path):
    app, path = weights_file(tmp_path, 0.35)
    model = build_detector(1, SHAPE, "t", backbone="mobilenetv2", backbone_weights=path)
    _, backbone = find_backbone(model)
    assert all(np.array_equal(a, b) for a, b in zip(app.get_weights(), backbone.get_weights()))
    assert model.backbone_source == "mobilenetv2 (alpha 0.35): weights of %s" % path


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
    (lambda d, mp: weights_file(d, 0.5, changed=False)[1], r"does not fit backbone mobilenetv2 \(alpha 0.35\): it holds 260 "
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
