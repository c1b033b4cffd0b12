"""Starting a detector from earlier weights, and keeping its first backbone stages fixed.

``load_matching_weights`` reads a Keras HDF5 file (a run's ``best.h5``/``last.h5``, any model
saved to ``.h5`` by either Keras, or a Keras 3 ``.weights.h5`` file) and copies into the model
every layer whose name and weight shapes match; the rest (for example a class head whose class
count differs) keep their initial values. The layers of a nested Keras Applications backbone
match one by one, as ``backbone_<name>/<layer>``. ``freeze_stages`` makes the first stages of the
detector's backbone (its own, or the application's; see ``models.backbones``) non-trainable.
"""
from __future__ import annotations

import os

from .backbones import find_backbone, stage_layers
from .detection import backbone_stage_prefixes

__all__ = ["load_matching_weights", "freeze_stages"]


def _stored_layers(f):
    """{layer name: [arrays in the layer's weight order]} of an open HDF5 weights file."""
    stored = {}
    if "layers" in f and "model_weights" not in f:  # Keras 3 .weights.h5: layers/<name>/vars/<i>
        for name, group in f["layers"].items():
            if "vars" in group and len(group["vars"]):
                stored[name] = [group["vars"][str(i)][()] for i in range(len(group["vars"]))]
        return stored
    root = f["model_weights"] if "model_weights" in f else f
    for name in root:
        group = root[name]
        for n in group.attrs.get("weight_names", []):
            n = n.decode() if isinstance(n, bytes) else n
            # A nested model's weights are named after its own layers: "<layer>/<weight>".
            owner = n.split("/")[0]
            key = name if owner == name else "%s/%s" % (name, owner)
            stored.setdefault(key, []).append(group[n][()])
    return stored


def _weighted_layers(model):
    """``(key, layer)`` of every layer holding weights, a nested model's layers one by one."""
    import tensorflow as tf

    for layer in model.layers:
        if isinstance(layer, tf.keras.Model):
            for inner in layer.layers:
                if inner.weights:
                    yield "%s/%s" % (layer.name, inner.name), inner
        elif layer.weights:
            yield layer.name, layer


def load_matching_weights(model, path: str) -> dict:
    """Copies the weights of ``path`` into ``model``, layer by layer, where names and shapes match.

    Args:
        model: a Keras model.
        path: an ``.h5`` file written by ``Model.save`` or ``save_weights`` (either Keras).

    Returns:
        dict: "loaded" (tensors copied), "total" (tensors of the model's layers with weights),
        "skipped" (names of the model's layers left as they were, with the reason).

    Raises:
        ValueError: the file does not exist, is not HDF5, or no layer matched.
    """
    import h5py

    if not os.path.isfile(path):
        raise ValueError("weights file not found: %s" % path)
    try:
        with h5py.File(path, "r") as f:
            stored = _stored_layers(f)
    except OSError as e:
        raise ValueError("cannot read weights file %s: %s" % (path, e)) from e
    import tensorflow as tf

    loaded, total, skipped = 0, 0, []
    for key, layer in _weighted_layers(model):
        current = layer.get_weights()
        if isinstance(layer, tf.keras.layers.Dense) and not layer.trainable:
            continue  # the decoding's fixed maps are the model's own, built for its shape
        total += len(current)
        found = stored.get(key)
        if found is None:
            skipped.append("%s (not in the file)" % key)
        elif len(found) != len(current) or any(a.shape != b.shape for a, b in zip(found, current)):
            skipped.append("%s (shapes %s in the file, %s here)"
                           % (key, [tuple(a.shape) for a in found], [tuple(b.shape) for b in current]))
        else:
            layer.set_weights(found)
            loaded += len(found)
    if loaded == 0:
        raise ValueError("no layer of the model matches a layer of %s by name and shape" % path)
    return {"loaded": loaded, "total": total, "skipped": skipped}


def freeze_stages(model, count: int) -> list:
    """Makes the layers of the first ``count`` backbone stages (stem, stage1 .. stage4) non-trainable:
    of the family's own backbone, or of a Keras Applications backbone (its stages are defined in
    ``models.backbones``); a frozen batch normalisation also keeps its statistics. Returns the names
    of the layers frozen (``backbone_<name>/<layer>`` for an application's).

    Raises:
        ValueError: ``count`` outside 0..5, or a model without those stages.
    """
    prefixes = backbone_stage_prefixes()
    if not 0 <= int(count) <= len(prefixes):
        raise ValueError("the backbone has %d stages; cannot freeze %s" % (len(prefixes), count))
    name, backbone = find_backbone(model)
    if backbone is not None:
        layers = stage_layers(backbone, name, count)
        for layer in layers:
            layer.trainable = False
        return ["%s/%s" % (backbone.name, layer.name) for layer in layers]
    chosen = tuple(p + "_" for p in prefixes[:int(count)])
    frozen = [layer.name for layer in model.layers if layer.name.startswith(chosen)]
    if count and not frozen:
        raise ValueError("the model has no layers of the stages %s" % ", ".join(prefixes[:int(count)]))
    for layer in model.layers:
        if layer.name in frozen:
            layer.trainable = False
    return frozen
