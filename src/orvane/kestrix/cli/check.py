"""`kestrix check --data DESCRIPTOR`: the dataset report, without training.

Each reader checks its own datasets: the Darknet reader every image header and annotation file
of both splits, the TFRecord reader the framing and CRCs of every shard and every stored record
and image, the COCO and VOC readers every fault of their annotation files and every image header.
Broken files make the command exit with status 2.
"""

from orvane.kestrix.cli.common import CliError, _one_line, add_data_arguments, read_descriptor, resolve_data


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
        if r["skipped"]:
            lines.append("%-10s %d entries skipped (not regular files), first %s"
                         % ("", len(r["skipped"]), r["skipped"][0]))
    return Report(lines, broken)


def _where(broken):
    """Where a broken TFRecord entry lies: the shard, with the record and its image name."""
    if broken["record"] is None:
        return broken["file"]
    if broken["image_name"] is None:
        return "%s (record %d)" % (broken["file"], broken["record"])
    return "%s (record %d, %s)" % (broken["file"], broken["record"], broken["image_name"])


def check_tfrecord(path):
    from orvane.kestrix.datasets.tfrecord import check_dataset

    try:
        report = check_dataset(path)
    except (ValueError, TypeError, AttributeError, KeyError, OSError) as e:
        raise CliError("%s: %s" % (path, _one_line(e)))
    lines, broken = [], []
    for split in ("train", "validation"):
        r = report[split]
        lines.append("%-10s %d shard files, %d records" % (split, len(r["shards"]), r["records"]))
        broken += [(_where(b), b["reason"]) for b in r["broken"]]
    return Report(lines, broken)


def check_annotated(path, kind):
    """The report of a COCO or VOC dataset: crowd (COCO) or difficult (VOC) objects are the
    ignore regions of validation."""
    from orvane.kestrix.cli.common import reader_module

    try:
        report = reader_module(kind).check_dataset(path)
    except (ValueError, TypeError, AttributeError, OSError) as e:
        raise CliError("%s: %s" % (path, _one_line(e)))
    ignored = "crowd" if kind == "coco" else "difficult"
    lines, broken = [], []
    for split in ("train", "validation"):
        r = report[split]
        line = ("%-10s %d images, %d paired (%d boxes), %d background, %d %s, %d clipped, "
                "%d dropped" % (split, r["images"], r["paired"], r["boxes"], r["background"],
                                r[ignored], ignored, r["clipped"], r["dropped"]))
        if kind == "coco":
            line += ", %d left out" % r["left_out"]
        lines.append(line + ", %d broken" % len(r["broken"]))
        broken += [(b["file"], b["reason"]) for b in r["broken"]]
    return Report(lines, broken)


def inspect(path):
    """The report of the dataset whose descriptor is `path`."""
    _, kind = read_descriptor(path)
    if kind == "darknet":
        return check_darknet(path)
    if kind == "tfrecord":
        return check_tfrecord(path)
    return check_annotated(path, kind)


def broken_error(path, report):
    first, reason = report.broken[0]
    more = "" if len(report.broken) == 1 else " (and %d more broken files)" % (len(report.broken) - 1)
    return CliError("%s fails its check: %s: %s%s" % (path, first, reason, more))


def refuse_broken(path):
    """Checks the dataset of `path` as `check` does and refuses it (one line) when a file is
    broken; the commands that read a dataset run this before their first batch."""
    report = inspect(path)
    if report.broken:
        raise broken_error(path, report)
    return report


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
