"""`kestrix convert --data DARKNET_DESCRIPTOR --out DIR`: Darknet folders to TFRecord shards.

Writes DIR/train/*.tfrecord, DIR/validation/*.tfrecord with the package's shard writer and the
matching TFRecord descriptor DIR/dataset.yaml. Files that fail the dataset check are reported
and left out. The shard writer moves its files into place only after the last sample, and the
descriptor is written last, so an interrupted conversion leaves no descriptor behind.
"""

import glob
import os

from orvane.kestrix.cli.common import CliError, add_data_arguments, make_folder, open_dataset, \
    read_descriptor, refuse_overlap, resolve_data, usable_folder, write_bytes_atomically

DESCRIPTOR = "dataset.yaml"


def add_parser(sub, formatter):
    p = sub.add_parser("convert", formatter_class=formatter,
                       help="convert a Darknet dataset to TFRecord shards",
                       description="Converts a Darknet dataset (image and annotation folders) "
                                   "into TFRecord shards plus their descriptor DIR/dataset.yaml. "
                                   "Files that fail the dataset check are reported and skipped.")
    add_data_arguments(p, "the Darknet dataset to convert")
    p.add_argument("--out", metavar="DIR", required=True, help="output folder")
    p.add_argument("--shard-size", metavar="N", type=int, default=500, help="records per shard file")
    return p


def _samples(pairs, skip):
    """Shard-writer samples of Darknet (image, annotation) pairs. JPEG files are stored as they
    are; other images are handed over decoded, for the writer to encode."""
    import numpy as np
    from PIL import Image

    from orvane.kestrix.datasets.darknet import read_image, read_labels

    for image_path, label_path in pairs:
        if image_path in skip or label_path in skip:
            continue
        with Image.open(image_path) as im:
            if im.format == "JPEG" and im.mode in ("RGB", "L"):
                with open(image_path, "rb") as f:
                    image = f.read()
            else:
                image = read_image(image_path)  # as the reader decodes it (16-bit scaled)
        rows = read_labels(label_path)  # the reader's parser; the dataset check has accepted the file
        yield {"image": image, "image_name": os.path.basename(image_path),
               "labels": rows[:, 0].astype(np.int64), "boxes": rows[:, 1:5].astype(np.float32)}


def _folders(info):
    """The image and annotation folders a Darknet descriptor names (those it names as text)."""
    found = []
    for split in ("train", "validation"):
        section = info.get(split)
        if isinstance(section, dict):
            found += [section[k] for k in ("images", "annotations") if isinstance(section.get(k), str)]
    return found


def run(args):
    if args.shard_size < 1:
        raise CliError("--shard-size must be at least 1, got %d" % args.shard_size)

    path = resolve_data(args)
    splits = {"train": os.path.join(args.out, "train"), "validation": os.path.join(args.out, "validation")}
    out = os.path.join(args.out, DESCRIPTOR)
    # The dataset's own folder as --out would replace its descriptor (and mix shards into it):
    # refused before anything is read (the readers' imports take seconds).
    refuse_overlap(args.out, [out], [path])
    usable_folder(args.out, "--out")

    import yaml
    from tqdm import tqdm

    from orvane.kestrix.cli.check import inspect
    from orvane.kestrix.datasets.records import write_detection_shards

    info, kind = read_descriptor(path)
    if kind != "darknet":
        raise CliError("%s is a %s dataset; convert reads Darknet datasets" % (path, kind))
    refuse_overlap(args.out, [out] + list(splits.values()), [path] + _folders(info))
    make_folder(args.out, "--out")
    for folder in splits.values():
        if glob.glob(os.path.join(glob.escape(folder), "*.tfrecord")):
            raise CliError("%s already holds shard files; convert into an empty folder" % folder)

    report = inspect(path)
    skip = set()
    for where, reason in report.broken:
        print("Skipping %s: %s" % (where, reason))
        skip.add(where)
    dataset = open_dataset(path, kind, 32)
    counts = {}
    for split, pairs in (("train", dataset.train_storage), ("validation", dataset.val_storage)):
        kept = [p for p in pairs if p[0] not in skip and p[1] not in skip]
        if not kept:
            raise CliError("no %s sample of %s passes the dataset check" % (split, path))
        samples = _samples(tqdm(kept, desc="converting %s" % split), skip)
        shards = write_detection_shards(splits[split], samples, shard_size=args.shard_size)
        counts[split] = len(kept)
        print("%-10s %d samples in %d shard files under %s" % (split, len(kept), len(shards), splits[split]))

    descriptor = {
        "type": "tfrecord",
        "classes": list(info["classes"]),
        "train": {"path": os.path.abspath(splits["train"]), "samples": counts["train"]},
        "validation": {"path": os.path.abspath(splits["validation"]), "samples": counts["validation"]},
    }
    write_bytes_atomically(out, yaml.safe_dump(descriptor, sort_keys=False).encode("utf-8"))
    print("Wrote %s (train with: kestrix train --data %s)" % (out, out))
    return 0
