"""`kestrix convert --data DESCRIPTOR --to tfrecord|darknet|coco --out DIR`: any dataset (Darknet,
TFRecord, COCO or VOC) into TFRecord shards, Darknet folders or COCO files.

Every sample is read from its source as an image file (or stored image bytes) and its boxes in
pixels with their class positions and ignore flags (COCO crowd regions, VOC difficult objects):

- tfrecord: DIR/train/*.tfrecord, DIR/validation/*.tfrecord (the package's shard writer);
- darknet:  DIR/<split>/images/<name>, DIR/<split>/labels/<stem>.txt;
- coco:     DIR/<split>/images/<name>, DIR/<split>/instances.json (image ids 1..N in sample
            order, category ids 1..K in class order; ignore regions written as iscrowd 1).

The TFRecord and Darknet layouts have no ignore flag: ignore regions are left out of them (and
counted). Files that fail the dataset check are reported and skipped. Each output file is written
under a temporary name and moved into place whole, and the descriptor DIR/dataset.yaml is written
last, so an interrupted conversion leaves no descriptor behind.
"""

import glob
import json
import os
import shutil

from orvane.kestrix.cli.common import CliError, add_data_arguments, make_folder, open_dataset, \
    read_descriptor, refuse_overlap, resolve_data, usable_folder, write_bytes_atomically

DESCRIPTOR = "dataset.yaml"
TARGETS = ("tfrecord", "darknet", "coco")
SPLITS = ("train", "validation")


def add_parser(sub, formatter):
    p = sub.add_parser("convert", formatter_class=formatter,
                       help="convert a dataset to TFRecord shards, Darknet folders or COCO files",
                       description="Converts a dataset of any type (darknet, tfrecord, coco, voc) into "
                                   "TFRecord shards, Darknet folders or COCO files plus their descriptor "
                                   "DIR/dataset.yaml. Files that fail the dataset check are reported and "
                                   "skipped.")
    add_data_arguments(p, "the dataset to convert")
    p.add_argument("--to", choices=TARGETS, default="tfrecord", help="the format to write")
    p.add_argument("--out", metavar="DIR", required=True, help="output folder")
    p.add_argument("--shard-size", metavar="N", type=int, default=500,
                   help="records per shard file (--to tfrecord)")
    return p


# ---------------------------------------------------------------------------------------------
# Sources: every sample as a dict of name, image (a path, or bytes), width, height, boxes
# (float64 [N, 4] x, y, width, height in pixels), classes (int [N], positions in the dataset's
# own classes) and ignore (bool [N]).


def _image_size(path):
    from PIL import Image

    with Image.open(path) as im:
        return im.size


def _from_normalised(image, name, width, height, labels, xywh):
    """A sample from normalised centre x, centre y, width, height rows."""
    import numpy as np

    xywh = np.asarray(xywh, dtype=np.float64).reshape(-1, 4)
    boxes = np.stack([(xywh[:, 0] - xywh[:, 2] / 2) * width, (xywh[:, 1] - xywh[:, 3] / 2) * height,
                      xywh[:, 2] * width, xywh[:, 3] * height], axis=1)
    labels = np.asarray(labels, dtype=np.int64).reshape(-1)
    return {"image": image, "name": name, "width": width, "height": height, "boxes": boxes,
            "classes": labels, "ignore": np.zeros(len(labels), dtype=bool)}


def _darknet_samples(pairs, skip):
    from orvane.kestrix.datasets.darknet import read_labels

    for image_path, label_path in pairs:
        if image_path in skip or label_path in skip:
            continue
        rows = read_labels(label_path)  # the reader's parser; the dataset check has accepted the file
        width, height = _image_size(image_path)
        yield _from_normalised(image_path, os.path.basename(image_path), width, height, rows[:, 0], rows[:, 1:5])


def _tfrecord_samples(shards, skip):
    from orvane.kestrix.datasets.records import parse_example, read_records

    for shard in shards:
        if shard in skip:
            continue
        for record in read_records(shard):
            ex = parse_example(record)
            yield _from_normalised(bytes(ex["image"]), ex["image_name"].decode("utf-8", "replace"),
                                   int(ex["width"]), int(ex["height"]), ex["objects"], ex["bboxes"])


def _table_samples(dataset, pairs, skip):
    """Samples of a COCO or VOC dataset object, from its parsed objects."""
    for pair in pairs:
        if pair[0] in skip:
            continue
        objects = dataset.objects(pair)
        width, height = objects["width"], objects["height"]
        if not (width > 0 and height > 0):
            width, height = _image_size(pair[0])
        yield {"image": pair[0], "name": objects["name"], "width": width, "height": height,
               "boxes": objects["boxes"], "classes": objects["classes"], "ignore": objects["ignore"]}


def _coco_samples(images, annotations, classes, skip):
    """Samples of a COCO split straight from its file (a dataset object would refuse a split with
    a missing image; the conversion skips it)."""
    from orvane.kestrix.datasets.coco import read_annotations

    content = read_annotations(annotations, classes)
    first = content["first"]
    for i, name in enumerate(content["file_names"]):
        path = os.path.join(images, name)
        if path in skip:
            continue
        width, height = content["sizes"][i]
        if not (width > 0 and height > 0):
            width, height = _image_size(path)
        rows = slice(first[i], first[i + 1])
        yield {"image": path, "name": name, "width": width, "height": height,
               "boxes": content["boxes"][rows], "classes": content["labels"][rows],
               "ignore": content["crowd"][rows]}


def _voc_without(info, path, broken):
    """The VOC descriptor `info` with the stems of broken annotation files taken out of each
    split's list (a temporary list file per split), and the folder of those lists."""
    import tempfile

    folder = tempfile.mkdtemp(prefix="kestrix-convert-")
    info = json.loads(json.dumps(info))
    for split in SPLITS:
        section = info[split]
        if section.get("list"):
            with open(section["list"], encoding="utf-8") as f:
                stems = [line.split()[0] for line in f if line.strip()]
        else:
            stems = sorted(os.path.splitext(n)[0] for n in os.listdir(section["annotations"])
                           if n.lower().endswith(".xml") and not n.startswith("."))
        bad = {os.path.splitext(os.path.basename(f))[0] for f in broken
               if os.path.normpath(os.path.dirname(f)) == os.path.normpath(section["annotations"])}
        listed = os.path.join(folder, split + ".txt")
        with open(listed, "w", encoding="utf-8") as f:
            f.writelines(s + "\n" for s in stems if s not in bad)
        section["list"] = listed
    return info, folder


def _inputs(info):
    """The files and folders a descriptor names for its splits (those it names as text)."""
    found = []
    for split in SPLITS:
        section = info.get(split)
        if isinstance(section, dict):
            found += [section[k] for k in ("images", "annotations", "path", "list") if isinstance(section.get(k), str)]
    return found


def source_samples(path, info, kind, skip):
    """(classes, {split: iterable of samples}) of the dataset at `path`."""
    if kind == "coco":
        dataset_classes = None
        splits = {}
        for split in SPLITS:
            section = info[split]
            samples = _coco_samples(section["images"], section["annotations"], dataset_classes, skip)
            if dataset_classes is None:
                from orvane.kestrix.datasets.coco import read_annotations

                dataset_classes = info.get("classes") or read_annotations(section["annotations"])["classes"]
            splits[split] = samples
        return list(dataset_classes), splits
    if kind == "voc":
        from orvane.kestrix.datasets.voc import VocDataset

        trimmed, folder = _voc_without(info, path, skip)
        try:
            dataset = VocDataset(trimmed, [32, 32, 3], add_bkg_class=False)
        except ValueError as e:
            raise CliError("%s: %s" % (path, str(e).replace("[ERROR]: ", "")))
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        return list(dataset.classes), {"train": _table_samples(dataset, dataset.train_storage, skip),
                                       "validation": _table_samples(dataset, dataset.val_storage, skip)}
    dataset = open_dataset(path, kind, 32)
    classes = list(dataset.classes)[1:]  # without the background entry
    if kind == "darknet":
        return classes, {"train": _darknet_samples(dataset.train_storage, skip),
                         "validation": _darknet_samples(dataset.val_storage, skip)}
    return classes, {"train": _tfrecord_samples(dataset.train_storage, skip),
                     "validation": _tfrecord_samples(dataset.val_storage, skip)}


# ---------------------------------------------------------------------------------------------
# Writers


def _put_image(sample, folder, used):
    """Copies (or writes) the sample's image into `folder` under a name of its own; returns the
    name. Subfolders of a name are flattened; a name already taken gets a suffix."""
    name = sample["name"].replace("\\", "/").replace("/", "__")
    if name.strip(".") == "":
        name = "image"  # "." or "..": never a path out of `folder`
    stem, ext = os.path.splitext(name)
    k = 1
    while stem.lower() in used:
        stem = "%s_%d" % (os.path.splitext(name)[0], k)
        k += 1
    used.add(stem.lower())
    name = stem + ext
    target = os.path.join(folder, name)
    if isinstance(sample["image"], (bytes, bytearray)):
        write_bytes_atomically(target, bytes(sample["image"]))
    else:
        with open(sample["image"], "rb") as src:
            write_bytes_atomically(target, src.read())
    return name


class _Counts:
    def __init__(self):
        self.samples = self.boxes = self.ignored = 0


def write_darknet(samples, folder, counts):
    import numpy as np

    images, labels = os.path.join(folder, "images"), os.path.join(folder, "labels")
    os.makedirs(images, exist_ok=True)
    os.makedirs(labels, exist_ok=True)
    used = set()
    for s in samples:
        name = _put_image(s, images, used)
        keep = ~np.asarray(s["ignore"], dtype=bool)
        boxes, classes = np.asarray(s["boxes"], dtype=np.float64)[keep], np.asarray(s["classes"])[keep]
        w, h = float(s["width"]), float(s["height"])
        lines = "".join("%d %r %r %r %r\n" % (c, (b[0] + b[2] / 2) / w, (b[1] + b[3] / 2) / h, b[2] / w, b[3] / h)
                        for c, b in zip(classes.tolist(), boxes.tolist()))
        write_bytes_atomically(os.path.join(labels, os.path.splitext(name)[0] + ".txt"), lines.encode("utf-8"))
        counts.samples += 1
        counts.boxes += len(classes)
        counts.ignored += int((~keep).sum())
    return {"images": os.path.abspath(images), "annotations": os.path.abspath(labels)}


def write_coco(samples, folder, classes, counts):
    images_folder = os.path.join(folder, "images")
    os.makedirs(images_folder, exist_ok=True)
    used, images, annotations = set(), [], []
    for image_id, s in enumerate(samples, start=1):
        name = _put_image(s, images_folder, used)
        images.append({"id": image_id, "file_name": name, "width": int(round(s["width"])),
                       "height": int(round(s["height"]))})
        for box, cls, crowd in zip(s["boxes"].tolist(), s["classes"].tolist(), s["ignore"].tolist()):
            annotations.append({"id": len(annotations) + 1, "image_id": image_id, "category_id": int(cls) + 1,
                                "bbox": [float(v) for v in box], "area": float(box[2] * box[3]),
                                "iscrowd": int(bool(crowd))})
            counts.boxes += not crowd
            counts.ignored += bool(crowd)
        counts.samples += 1
    content = {"images": images, "annotations": annotations,
               "categories": [{"id": k + 1, "name": str(n)} for k, n in enumerate(classes)]}
    path = os.path.join(folder, "instances.json")
    write_bytes_atomically(path, json.dumps(content).encode("utf-8"))
    return {"images": os.path.abspath(images_folder), "annotations": os.path.abspath(path)}


def write_tfrecord(samples, folder, shard_size, counts):
    import numpy as np

    from orvane.kestrix.datasets.records import write_detection_shards

    def records():
        from PIL import Image

        from orvane.kestrix.datasets.darknet import read_image

        for s in samples:
            image = s["image"]
            if not isinstance(image, (bytes, bytearray)):
                with Image.open(image) as im:
                    if im.format == "JPEG" and im.mode in ("RGB", "L"):
                        with open(image, "rb") as f:
                            image = f.read()
                    else:
                        image = read_image(image)  # as the readers decode it (16-bit scaled)
            keep = ~np.asarray(s["ignore"], dtype=bool)
            b = np.asarray(s["boxes"], dtype=np.float64)[keep]
            w, h = float(s["width"]), float(s["height"])
            xywh = np.stack([(b[:, 0] + b[:, 2] / 2) / w, (b[:, 1] + b[:, 3] / 2) / h, b[:, 2] / w, b[:, 3] / h],
                            axis=1) if len(b) else np.zeros((0, 4))
            counts.samples += 1
            counts.boxes += len(b)
            counts.ignored += int((~keep).sum())
            yield {"image": image, "image_name": os.path.basename(s["name"]),
                   "labels": np.asarray(s["classes"])[keep].astype(np.int64), "boxes": xywh.astype(np.float32)}

    write_detection_shards(folder, records(), shard_size=shard_size)
    return {"path": os.path.abspath(folder), "samples": counts.samples}


def run(args):
    if args.shard_size < 1:
        raise CliError("--shard-size must be at least 1, got %d" % args.shard_size)

    import yaml
    from tqdm import tqdm

    from orvane.kestrix.cli.check import inspect

    path = resolve_data(args)
    splits = {split: os.path.join(args.out, split) for split in SPLITS}
    out = os.path.join(args.out, DESCRIPTOR)
    # The dataset's own folder as --out would replace its descriptor (and mix files into it):
    # refused before anything is read (the readers' imports take seconds).
    refuse_overlap(args.out, [out], [path])
    usable_folder(args.out, "--out")
    info, kind = read_descriptor(path)
    refuse_overlap(args.out, [out] + list(splits.values()), [path] + _inputs(info))
    for folder in splits.values():
        if glob.glob(os.path.join(glob.escape(folder), "*.tfrecord")):
            raise CliError("%s already holds shard files; convert into an empty folder" % folder)
        if os.path.isdir(os.path.join(folder, "images")):
            raise CliError("%s already holds a converted dataset; convert into an empty folder" % folder)
    make_folder(args.out, "--out")

    report = inspect(path)
    skip = set()
    for where, reason in report.broken:
        print("Skipping %s: %s" % (where, reason))
        skip.add(where)
    if kind == "coco" and any(where == info[s]["annotations"] for s in SPLITS for where in skip):
        raise CliError("%s: a COCO annotation file has faults (listed above); fix it before converting" % path)

    classes, sources = source_samples(path, info, kind, skip)
    sections = {}
    for split in SPLITS:
        counts = _Counts()
        samples = tqdm(sources[split], desc="converting %s" % split)
        if args.to == "darknet":
            sections[split] = write_darknet(samples, splits[split], counts)
        elif args.to == "coco":
            sections[split] = write_coco(samples, splits[split], classes, counts)
        else:
            sections[split] = write_tfrecord(samples, splits[split], args.shard_size, counts)
        if counts.samples == 0:
            raise CliError("no %s sample of %s passes the dataset check" % (split, path))
        left = " (%d ignore regions left out)" % counts.ignored if counts.ignored and args.to != "coco" else ""
        print("%-10s %d samples, %d boxes under %s%s" % (split, counts.samples, counts.boxes, splits[split], left))

    descriptor = {"type": args.to, "classes": [str(c) for c in classes]}
    descriptor.update(sections)
    write_bytes_atomically(out, yaml.safe_dump(descriptor, sort_keys=False).encode("utf-8"))
    print("Wrote %s (train with: kestrix train --data %s)" % (out, out))
    return 0
