"""The COCO and VOC readers: the same samples as the Darknet reader, ignore regions, bad data,
conversion between formats, and `kestrix val --save-json` against pycocotools."""
import contextlib
import io
import json
import os
import types

import numpy as np
import pytest
import yaml
from PIL import Image

from orvane.kestrix.datasets.coco import CocoDataset, CocoDatasetYaml
from orvane.kestrix.datasets.coco import check_dataset as check_coco
from orvane.kestrix.datasets.darknet import DarknetDataset
from orvane.kestrix.datasets.voc import VocDataset, VocDatasetYaml
from orvane.kestrix.datasets.voc import check_dataset as check_voc

keras_free = pytest.mark.keras_free

CLASSES = ["cat", "dog"]
RACCOON = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data", "raccoon")

# name: (width, height, [(class, x, y, w, h, ignore), ...]) in pixels; every value normalises to
# the same double whichever way a reader computes it.
SPLITS = {
    "train": {"t0.jpg": (64, 48, [(0, 8, 4, 24, 16, False), (1, 40, 24, 16, 24, False)]),
              "t1.jpg": (48, 64, [(1, 0, 0, 48, 32, False)]),
              "t2.jpg": (64, 48, [])},
    "validation": {"v0.jpg": (64, 48, [(0, 16, 8, 32, 32, False), (1, 0, 24, 16, 24, True)]),
                   "v1.jpg": (48, 64, [(1, 8, 8, 16, 16, False)])},
}


def write_image(path, width, height, seed):
    rng = np.random.default_rng(seed)
    Image.fromarray(rng.integers(0, 255, (height, width, 3), dtype=np.uint8)).save(path, quality=95)


def coco_file(path, images):
    out = {"images": [], "annotations": [], "categories": [{"id": 3 + 4 * k, "name": n} for k, n in enumerate(CLASSES)]}
    for i, (name, (w, h, objects)) in enumerate(images.items()):
        out["images"].append({"id": 100 + i, "file_name": name, "width": w, "height": h})
        for c, x, y, bw, bh, ignore in objects:
            out["annotations"].append({"id": len(out["annotations"]) + 1, "image_id": 100 + i, "category_id": 3 + 4 * c,
                                       "bbox": [x, y, bw, bh], "area": bw * bh, "iscrowd": int(ignore)})
    with open(path, "w") as f:
        json.dump(out, f)


def voc_file(path, width, height, objects):
    parts = ["<annotation><size><width>%d</width><height>%d</height><depth>3</depth></size>" % (width, height)]
    for c, x, y, w, h, ignore in objects:
        parts.append("<object><name>%s</name><difficult>%d</difficult><bndbox><xmin>%d</xmin><ymin>%d</ymin>"
                     "<xmax>%d</xmax><ymax>%d</ymax></bndbox></object>" % (CLASSES[c], ignore, x, y, x + w, y + h))
    with open(path, "w") as f:
        f.write("".join(parts) + "</annotation>")


@pytest.fixture(scope="module")
def formats(tmp_path_factory):
    """Descriptors of one set of images in the three layouts (Darknet without its ignore regions)."""
    root = tmp_path_factory.mktemp("formats")
    darknet, coco, voc = {"type": "darknet", "classes": CLASSES}, {"type": "coco"}, {"type": "voc", "classes": CLASSES}
    for s, (split, images) in enumerate(SPLITS.items()):
        folder = root / split
        (folder / "labels").mkdir(parents=True)
        (folder / "xml").mkdir()
        for i, (name, (w, h, objects)) in enumerate(images.items()):
            write_image(folder / name, w, h, seed=10 * s + i)
            stem = os.path.splitext(name)[0]
            (folder / "labels" / (stem + ".txt")).write_text("".join(
                "%d %r %r %r %r\n" % (c, (x + bw / 2) / w, (y + bh / 2) / h, bw / w, bh / h)
                for c, x, y, bw, bh, ignore in objects if not ignore))
            voc_file(folder / "xml" / (stem + ".xml"), w, h, objects)
        coco_file(folder / "instances.json", images)
        darknet[split] = {"images": str(folder), "annotations": str(folder / "labels")}
        coco[split] = {"images": str(folder), "annotations": str(folder / "instances.json")}
        voc[split] = {"images": str(folder), "annotations": str(folder / "xml")}
    return types.SimpleNamespace(root=root, darknet=darknet, coco=coco, voc=voc)


READERS = {"darknet": DarknetDataset, "coco": CocoDataset, "voc": VocDataset}


def open_reader(kind, descriptor, letter_box=True, shape=(40, 56)):
    return READERS[kind](json.loads(json.dumps(descriptor)), [*shape, 3], letter_box)


def samples_by_name(dataset, training):
    out = {}
    for split in (dataset.train_storage, dataset.val_storage):
        for pair in split:
            sample = dataset.load_instance(pair, training)
            out[os.path.basename(pair[0])] = sample
    return out


@keras_free
@pytest.mark.parametrize("kind", ["coco", "voc"])
@pytest.mark.parametrize("letter_box", [True, False])
def test_same_samples_as_darknet(formats, kind, letter_box):
    reference = open_reader("darknet", formats.darknet, letter_box)
    dataset = open_reader(kind, getattr(formats, kind), letter_box)
    assert dataset.classes == reference.classes == ["background"] + CLASSES
    assert (dataset.num_train_samples, dataset.num_val_samples) == (3, 2)
    for training in (True, False):
        expected, got = samples_by_name(reference, training), samples_by_name(dataset, training)
        assert sorted(got) == sorted(expected)
        for name in expected:
            np.testing.assert_array_equal(got[name][0], expected[name][0])
            np.testing.assert_array_equal(got[name][1], expected[name][1])
            if not training:
                assert got[name][2] == expected[name][2] == name
    # The training pipeline (the batch loader writing straight into the batch) agrees too.
    def pipeline(ds):
        return {im.tobytes(): b[b[:, 4] > 0].tolist() for im, b in
                ((x.numpy()[0], y.numpy()[0]) for x, y in ds.build_train_iterator(1))}
    assert pipeline(dataset) == pipeline(reference)


@keras_free
def test_ignore_regions(formats, tmp_path):
    """Crowd (COCO) and difficult (VOC) objects: out of training, the fourth item of validation."""
    for kind in ("coco", "voc"):
        dataset = open_reader(kind, getattr(formats, kind))
        pair = [p for p in dataset.val_storage if p[0].endswith("v0.jpg")][0]
        image, boxes, name, ignored = dataset.load_instance(pair, False)
        np.testing.assert_allclose(boxes, [[0.25, 1 / 6, 0.75, 5 / 6, 1]], rtol=1e-6)
        np.testing.assert_allclose(ignored, [[0, 0.5, 0.25, 1, 2]], rtol=1e-6)
        assert dataset.objects(pair)["ignore"].tolist() == [False, True]
        _, trained = dataset.load_instance(pair, True)
        assert trained.shape == (1, 5)
        batch = next(iter(dataset.build_val_iterator()))
        assert len(batch) == 4 and batch[3].shape[-1] == 5
    descriptor = dict(formats.voc, keep_difficult=True)
    kept = open_reader("voc", descriptor)
    pair = [p for p in kept.val_storage if p[0].endswith("v0.jpg")][0]
    assert kept.load_instance(pair, True)[1].shape == (2, 5)
    assert check_coco(formats.coco)["validation"]["crowd"] == 1
    assert check_voc(formats.voc)["validation"]["difficult"] == 1


@keras_free
def test_coco_class_choice_ids_and_clipping(formats, tmp_path):
    images = {"a.jpg": (64, 48, [(0, -8, 4, 24, 16, False), (1, 60, 40, 0, 5, False), (1, 8, 8, 8, 8, False)])}
    write_image(tmp_path / "a.jpg", 64, 48, 0)
    coco_file(tmp_path / "a.json", images)
    split = {"images": str(tmp_path), "annotations": str(tmp_path / "a.json")}
    dataset = CocoDataset({"classes": ["dog"], "train": split, "validation": split}, [32, 32, 3])
    assert dataset.classes == ["background", "dog"] and dataset.category_ids == [7]
    assert dataset.image_ids == {"a.jpg": 100}
    np.testing.assert_array_equal(dataset.objects(dataset.val_storage[0])["boxes"], [[8, 8, 8, 8]])
    report = check_coco({"train": split, "validation": split})["train"]
    assert (report["boxes"], report["clipped"], report["dropped"], report["left_out"]) == (2, 1, 1, 0)
    assert check_coco({"classes": ["dog"], "train": split, "validation": split})["train"]["left_out"] == 1


def bad_coco(tmp_path, change):
    images = {"a.jpg": (64, 48, [(0, 8, 4, 24, 16, False)]), "b.jpg": (64, 48, [])}
    for name in images:
        write_image(tmp_path / name, 64, 48, 0)
    coco_file(tmp_path / "a.json", images)
    content = json.loads((tmp_path / "a.json").read_text())
    change(content)
    (tmp_path / "a.json").write_text(json.dumps(content))
    split = {"images": str(tmp_path), "annotations": str(tmp_path / "a.json")}
    return lambda: CocoDataset({"train": split, "validation": split}, [32, 32, 3])


def bad_voc(tmp_path, text=None, remove_image=False):
    write_image(tmp_path / "a.jpg", 64, 48, 0)
    voc_file(tmp_path / "a.xml", 64, 48, [(0, 8, 4, 24, 16, False)])
    if text is not None:
        (tmp_path / "a.xml").write_text(text)
    if remove_image:
        os.remove(tmp_path / "a.jpg")
    split = {"images": str(tmp_path), "annotations": str(tmp_path)}
    return lambda: VocDataset({"classes": CLASSES, "train": split, "validation": split}, [32, 32, 3])


BAD = [
    ("coco", lambda c: c.pop("images"), "a.json': not a COCO file: it has no 'images' list"),
    ("coco", lambda c: c["annotations"][0].update(image_id=9), "annotation id 1: image_id 9 is not an image of the file"),
    ("coco", lambda c: c["annotations"][0].update(category_id=4), "annotation id 1: category_id 4 is not a category"),
    ("coco", lambda c: c["images"][1].update(id=100), "image id 100 appears twice"),
    ("coco", lambda c: c["annotations"][0]["bbox"].__setitem__(2, -1), "annotation id 1: bbox has a negative width"),
    ("coco", lambda c: c["images"][1].update(file_name="gone.jpg"), "image id 101: the image file '"),
    ("voc", "<annotation><object><name>horse</name></object></annotation>", "a.xml': object 1: name 'horse' is not one of the classes"),
    ("voc", "<annotation><object><name>cat</name><bndbox><xmin>1</xmin></bndbox></object></annotation>",
     "a.xml': object 1 ('cat'): bndbox is missing or malformed"),
    ("voc", "<annotation><object>", "a.xml': the XML does not parse"),
    ("voc", None, "a.xml': no image 'a.jpg'"),
]


@keras_free
@pytest.mark.parametrize("kind, change, message", BAD)
def test_bad_data_is_named(tmp_path, kind, change, message):
    build = bad_coco(tmp_path, change) if kind == "coco" else bad_voc(tmp_path, change, remove_image=change is None)
    with pytest.raises(ValueError, match="^\\[ERROR\\]: ") as raised:
        build()
    assert message in str(raised.value)


@keras_free
def test_check_lists_every_broken_file(tmp_path):
    bad_voc(tmp_path)
    for stem in ("b", "c", "d"):
        write_image(tmp_path / (stem + ".jpg"), 64, 48, 0)
    (tmp_path / "b.xml").write_text("<annotation><object>")
    (tmp_path / "c.xml").write_text("<annotation><object><name>cow</name></object></annotation>")
    (tmp_path / "d.jpg").write_bytes((tmp_path / "d.jpg").read_bytes()[:200])  # cut off
    voc_file(tmp_path / "d.xml", 64, 48, [])
    split = {"images": str(tmp_path), "annotations": str(tmp_path)}
    report = check_voc({"classes": CLASSES, "train": split, "validation": split})["train"]
    assert (report["images"], report["paired"], report["boxes"], report["background"]) == (2, 1, 1, 0)
    assert sorted(os.path.basename(b["file"]) for b in report["broken"]) == ["b.xml", "c.xml", "d.jpg"]


@keras_free
@pytest.mark.skipif(not os.path.isdir(RACCOON), reason="../shared/data/raccoon is absent")
def test_raccoon_as_voc(tmp_path):
    split = lambda name: {"images": os.path.join(RACCOON, "images"), "annotations": os.path.join(RACCOON, "annotations"),
                          "list": os.path.join(RACCOON, name)}
    descriptor = {"type": "voc", "classes": ["raccoon"], "train": split("train.txt"), "validation": split("val.txt")}
    report = check_voc(descriptor)
    assert (report["train"]["images"], report["validation"]["images"]) == (160, 40)
    assert report["train"]["broken"] == report["validation"]["broken"] == []
    assert report["train"]["boxes"] + report["validation"]["boxes"] >= 200


# ------------------------------------------------------------------------------ command line


def kestrix(*args):
    """Runs a kestrix command in this process; returns what it printed."""
    from orvane.kestrix.cli.main import main

    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
        assert main([str(a) for a in args]) == 0
    return out.getvalue()


def write_descriptor(path, content):
    path.write_text(yaml.safe_dump(content))
    return path


@keras_free
def test_conversions_round_trip(formats, tmp_path):
    from pycocotools.coco import COCO

    darknet = write_descriptor(tmp_path / "darknet.yaml", formats.darknet)
    voc = write_descriptor(tmp_path / "voc.yaml", formats.voc)
    assert "validation 2 images, 2 paired (2 boxes), 0 background, 1 difficult" in kestrix("check", "--data", voc)
    kestrix("convert", "--data", darknet, "--to", "coco", "--out", tmp_path / "d2c")
    kestrix("convert", "--data", tmp_path / "d2c" / "dataset.yaml", "--to", "darknet", "--out", tmp_path / "d2c2d")
    kestrix("convert", "--data", voc, "--to", "coco", "--out", tmp_path / "v2c")
    kestrix("convert", "--data", voc, "--to", "tfrecord", "--out", tmp_path / "v2t")
    for folder in ("d2c", "v2c"):
        for split in ("train", "validation"):
            with contextlib.redirect_stdout(io.StringIO()):
                COCO(str(tmp_path / folder / split / "instances.json"))

    def samples(kind, path):
        content = yaml.safe_load(open(path))
        content.pop("type")
        return samples_by_name(open_reader(kind, content), training=False)

    reference = samples_by_name(open_reader("darknet", formats.darknet), training=False)
    for kind, path in (("coco", tmp_path / "d2c" / "dataset.yaml"), ("darknet", tmp_path / "d2c2d" / "dataset.yaml")):
        got = samples(kind, path)
        for name in reference:
            np.testing.assert_array_equal(got[name][1], reference[name][1])
    source = samples_by_name(open_reader("voc", formats.voc), training=False)
    converted = samples("coco", tmp_path / "v2c" / "dataset.yaml")
    for name in source:
        for k in (0, 1, 3):
            np.testing.assert_array_equal(converted[name][k], source[name][k])
    records = yaml.safe_load(open(tmp_path / "v2t" / "dataset.yaml"))
    assert records["type"] == "tfrecord" and records["validation"]["samples"] == 2


# Fixed detections in the 64 x 64 model input: near the letter-boxed validation objects (scored
# and ignore regions alike), and elsewhere.
DETECTIONS = [(16, 16, 48, 48), (17, 15, 47, 50), (16, 16, 40, 48), (16, 20, 36, 44), (0, 32, 16, 56), (2, 34, 14, 54),
              (16, 8, 32, 24), (14, 10, 33, 22), (40, 0, 60, 20), (5, 5, 20, 20), (30, 40, 62, 62)]


def constant_detector(path, classes, imgsz=64, seed=0):
    """A saved detector of built-in layers: fixed boxes, scores that vary with the image."""
    import tensorflow as tf

    rng = np.random.default_rng(seed)
    boxes = np.array(DETECTIONS, np.float32)
    count = len(boxes)
    image = tf.keras.Input((imgsz, imgsz, 3))
    pooled = tf.keras.layers.GlobalAveragePooling2D()(image)
    box_layer = tf.keras.layers.Dense(count * 4)
    score_layer = tf.keras.layers.Dense(count * classes, activation="sigmoid")
    out_boxes = tf.keras.layers.Reshape((count, 4))(box_layer(pooled))
    out_scores = tf.keras.layers.Reshape((count, classes))(score_layer(pooled))
    model = tf.keras.Model(image, [out_boxes, out_scores])
    box_layer.set_weights([np.zeros((3, count * 4), np.float32), boxes.reshape(-1)])
    score_layer.set_weights([rng.normal(0, 0.05, (3, count * classes)).astype(np.float32),
                             rng.normal(0, 1, count * classes).astype(np.float32)])
    model.save(str(path))
    return path


def pycocotools_figures(ground_truth, results):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(str(ground_truth))
        evaluation = COCOeval(gt, gt.loadRes(str(results)), "bbox")
        evaluation.evaluate()
        evaluation.accumulate()
        evaluation.summarize()
    return evaluation.stats[0], evaluation.stats[1]


@pytest.mark.parametrize("kind", ["coco", "voc"])
def test_val_save_json_matches_pycocotools(formats, tmp_path, kind):
    from orvane.kestrix.cli.common import quiet_keras
    from orvane.kestrix.cli.main import build_parser
    from orvane.kestrix.cli.val import validate

    quiet_keras()
    descriptor = write_descriptor(tmp_path / "d.yaml", getattr(formats, kind))
    weights = constant_detector(tmp_path / "w.h5", len(CLASSES) + 1)
    results = tmp_path / "results.json"
    args = build_parser().parse_args(["val", "--weights", str(weights), "--data", str(descriptor),
                                      "--save-json", str(results)])
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        metrics, _, recorder, _ = validate(args)
    recorder.save(str(results))
    if kind == "coco":
        ground_truth = formats.coco["validation"]["annotations"]
    else:
        kestrix("convert", "--data", descriptor, "--to", "coco", "--out", tmp_path / "gt")
        ground_truth = tmp_path / "gt" / "validation" / "instances.json"
    assert len(json.load(open(results))) > 0
    ap, ap50 = pycocotools_figures(ground_truth, results)
    assert 0 < ap <= ap50
    assert metrics["mAP"]["0.5:0.95"] == pytest.approx(ap, abs=1e-6)
    assert metrics["mAP"]["0.5"] == pytest.approx(ap50, abs=1e-6)
