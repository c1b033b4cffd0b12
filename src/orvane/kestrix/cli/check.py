"""`kestrix check --data DESCRIPTOR`: the dataset report, without training.

Darknet datasets go through the Darknet reader's own check (every image header and annotation
file of both splits); TFRecord datasets through the record counter (framing and CRCs of every
shard) and a decode of every stored image. Broken files make the command exit with status 2.
"""

import io

from orvane.kestrix.cli.common import CliError, add_data_arguments, open_dataset, read_descriptor, \
    resolve_data


def add_parser(sub, formatter):
    p = sub.add_parser("check", formatter_class=formatter,
                       help="report on a dataset's files without training",
                       description="Reads every image and annotation of both splits and reports "
                                   "paired, unpaired, empty and broken files. Exits with status 2 "
                                   "when it finds broken files.")
    add_data_arguments(p, "the dataset to check")
    return p


class Report:
    """What a check found: the lines to print and the broken files as (file, reason)."""

    def __init__(self, lines, broken):
        self.lines = lines
        self.broken = broken


def check_darknet(path):
    from orvane.kestrix.datasets.darknet import check_dataset

    try:
        report = check_dataset(path)
    except (ValueError, TypeError, AttributeError, OSError) as e:
        raise CliError("%s: %s" % (path, str(e).replace("[ERROR]: ", "")))
    lines, broken = [], []
    for split in ("train", "validation"):
        r = report[split]
        lines.append("%-10s %d images, %d paired (%d boxes), %d background, %d images without "
                     "annotation, %d annotations without image, %d broken"
                     % (split, r["images"], r["paired"], r["boxes"], len(r["background"]),
                        len(r["without_annotation"]), len(r["without_image"]), len(r["broken"])))
        broken += [(b["file"], b["reason"]) for b in r["broken"]]
    return Report(lines, broken)


def _check_shard(shard, num_classes):
    """(records, broken) of one record file: its framing and CRCs, then every stored image."""
    from PIL import Image

    from orvane.kestrix.datasets.records import count_records, parse_example, read_records

    try:
        count = count_records(shard)
        records = read_records(shard)
    except (ValueError, OSError) as e:
        return 0, [(shard, str(e))]
    broken = []
    for index, record in enumerate(records):
        where = "%s (record %d)" % (shard, index)
        try:
            example = parse_example(record)
        except ValueError as e:
            broken.append((where, str(e)))
            continue
        where = "%s (record %d, %s)" % (shard, index, example["image_name"].decode("utf-8", "replace"))
        try:
            with Image.open(io.BytesIO(example["image"])) as image:
                image.load()
        except Exception as e:  # Pillow raises several kinds for damaged data
            broken.append((where, "image does not decode: %s" % e))
            continue
        objects = example["objects"]
        if len(objects) and (objects.min() < 0 or objects.max() >= num_classes):
            broken.append((where, "class id %d outside 0..%d" % (
                objects.max() if objects.max() >= num_classes else objects.min(), num_classes - 1)))
        elif len(example["bboxes"]) != 4 * len(objects):
            broken.append((where, "%d boxes for %d objects" % (len(example["bboxes"]) // 4, len(objects))))
    return count, broken


def check_tfrecord(path):
    from tqdm import tqdm

    dataset = open_dataset(path, "tfrecord", 32)
    num_classes = len(dataset.classes) - dataset.class_offset
    lines, broken = [], []
    for split, shards in (("train", dataset.train_storage), ("validation", dataset.val_storage)):
        total = 0
        for shard in tqdm(shards, desc="checking %s records" % split, leave=False):
            count, bad = _check_shard(shard, num_classes)
            total += count
            broken += bad
        lines.append("%-10s %d shard files, %d records" % (split, len(shards), total))
    return Report(lines, broken)


def inspect(path):
    """The report of the dataset whose descriptor is `path`."""
    _, kind = read_descriptor(path)
    return check_darknet(path) if kind == "darknet" else check_tfrecord(path)


def broken_error(path, report):
    first, reason = report.broken[0]
    more = "" if len(report.broken) == 1 else " (and %d more broken files)" % (len(report.broken) - 1)
    return CliError("%s fails its check: %s: %s%s" % (path, first, reason, more))


def run(args):
    path = resolve_data(args)
    report = inspect(path)
    print("Dataset %s" % path)
    for line in report.lines:
        print("  " + line)
    if report.broken:
        print("Broken files:")
        for where, reason in report.broken:
            print("  %s: %s" % (where, reason))
        raise broken_error(path, report)
    print("No broken files.")
    return 0
