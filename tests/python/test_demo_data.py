"""The embedded demo dataset: deterministic files, labels that match the drawn shapes, and a
cache that never hands out an interrupted build."""
import filecmp
import json
import os

import cv2
import numpy as np
import pytest
import yaml

from orvane.kestrix.cli import demo_data

pytestmark = pytest.mark.keras_free

TINY = dict(num_train=6, num_val=3, size=96)


def _tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)


def test_two_builds_give_identical_files(tmp_path):
    a = demo_data.ensure_demo_dataset(str(tmp_path / "a"), **TINY)
    b = demo_data.ensure_demo_dataset(str(tmp_path / "b"), **TINY)
    root_a, root_b = os.path.dirname(a), os.path.dirname(b)
    files = _tree(root_a)
    assert files == _tree(root_b)
    assert len([f for f in files if f.endswith(".jpg")]) == 9
    differing = [f for f in files if f != demo_data.DESCRIPTOR and not filecmp.cmp(
        os.path.join(root_a, f), os.path.join(root_b, f), shallow=False)]
    assert differing == []
    # Another seed draws other images.
    other = demo_data.ensure_demo_dataset(str(tmp_path / "c"), seed=1, **TINY)
    assert not filecmp.cmp(os.path.join(root_a, "train/images/00000.jpg"),
                           os.path.join(os.path.dirname(other), "train/images/00000.jpg"), shallow=False)


def test_descriptor_points_at_paired_darknet_folders(tmp_path):
    path = demo_data.ensure_demo_dataset(str(tmp_path), **TINY)
    with open(path) as f:
        info = yaml.safe_load(f)
    assert info["type"] == "darknet" and info["classes"] == ["circle", "square", "triangle"]
    for split, count in (("train", 6), ("validation", 3)):
        images = sorted(os.listdir(info[split]["images"]))
        labels = sorted(os.listdir(info[split]["annotations"]))
        assert len(images) == count and [os.path.splitext(n)[0] for n in images] == \
            [os.path.splitext(n)[0] for n in labels]


def test_labels_match_the_drawn_shapes(tmp_path):
    """Decoded from the written files: every label box is tight around pixels that differ from the
    image's background, and no pixel away from every box differs from it."""
    root = os.path.dirname(demo_data.ensure_demo_dataset(str(tmp_path), num_train=20, num_val=4, size=128))
    classes_seen = set()
    for split, first in (("train", 0), ("val", 20)):
        for k in range(4):
            image = cv2.imread(os.path.join(root, split, "images", "%05d.jpg" % k)).astype(np.float32)
            background, _ = demo_data._scene(demo_data.DEFAULT_SEED, first + k, 128)
            # Averaged over 3 x 3 pixels, so that the background noise JPEG leaves over stays small.
            changed = np.abs(cv2.blur(image, (3, 3)) - cv2.blur(background, (3, 3))).sum(axis=2) > 60
            rows = np.loadtxt(os.path.join(root, split, "labels", "%05d.txt" % k), ndmin=2)
            assert len(rows) >= 1
            inside = np.zeros_like(changed)
            for cls, xc, yc, w, h in rows:
                classes_seen.add(int(cls))
                x1, y1 = round((xc - w / 2) * 128), round((yc - h / 2) * 128)
                x2, y2 = round((xc + w / 2) * 128), round((yc + h / 2) * 128)
                inside[y1:y2, x1:x2] = True
                ys, xs = np.nonzero(changed[y1:y2, x1:x2])
                assert len(xs) > 0.3 * (x2 - x1) * (y2 - y1)  # the shape fills much of its box
                # Tight: the changed pixels reach every edge of the box (within JPEG blur).
                assert xs.min() <= 2 and ys.min() <= 2
                assert xs.max() >= x2 - x1 - 3 and ys.max() >= y2 - y1 - 3
            near = cv2.dilate(inside.astype(np.uint8), np.ones((3, 3), np.uint8)) > 0
            assert not (changed & ~near).any()
    assert classes_seen <= {0, 1, 2}


def _interrupt_after_first_split(monkeypatch, cache):
    real = demo_data.write_split
    calls = []

    def write_split(*args, **kwargs):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    monkeypatch.setattr(demo_data, "write_split", write_split)
    with pytest.raises(KeyboardInterrupt):
        demo_data.ensure_demo_dataset(cache, **TINY)
    monkeypatch.setattr(demo_data, "write_split", real)


def _damage(how, entry):
    if how == "marker missing":
        os.remove(os.path.join(entry, demo_data.MARKER))
    elif how == "image missing":
        os.remove(os.path.join(entry, "val", "images", "00001.jpg"))
    elif how == "other parameters":
        with open(os.path.join(entry, demo_data.MARKER), "w") as f:
            json.dump({"version": 0}, f)


@pytest.mark.parametrize("how", ["interrupted", "killed", "marker missing", "image missing",
                                 "other parameters"])
def test_incomplete_cache_is_rebuilt_never_used(tmp_path, monkeypatch, how):
    cache = str(tmp_path)
    if how == "interrupted":
        _interrupt_after_first_split(monkeypatch, cache)
        assert os.listdir(cache) == []  # nothing half-written is left behind
    elif how == "killed":
        # What a killed build leaves: a temporary folder of a process that no longer runs.
        stale = tmp_path / (demo_data._TMP_PREFIX + demo_data._entry_name(6, 3, 96, demo_data.DEFAULT_SEED)
                            + "-999999999-x")
        (stale / "train" / "images").mkdir(parents=True)
    else:
        path = demo_data.ensure_demo_dataset(cache, **TINY)
        _damage(how, os.path.dirname(path))
    path = demo_data.ensure_demo_dataset(cache, **TINY)
    entry = os.path.dirname(path)
    assert os.listdir(cache) == [os.path.basename(entry)]
    assert len(os.listdir(os.path.join(entry, "val", "images"))) == 3
    # A complete entry is reused as it is.
    stamp = os.stat(os.path.join(entry, demo_data.MARKER)).st_mtime_ns
    assert demo_data.ensure_demo_dataset(cache, **TINY) == path
    assert os.stat(os.path.join(entry, demo_data.MARKER)).st_mtime_ns == stamp
