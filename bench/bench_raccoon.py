"""Learning real photographs: `kestrix train` on the 200 raccoon photos, and its curve.

The photos (VOC XML, ../shared/data/raccoon) are read where they lie by the VOC reader, through a
descriptor written to a temporary folder (160 training and 40 validation photos by the set's own
split, or all 200 in both with --memorise); then `kestrix train --model SIZE --imgsz 320` runs on
them in this process. Printed: the curve, one line per validation pass (epoch, minutes since the
start of training, mAP@0.5, mAP@0.5:0.95), read back from the run's TensorBoard events, and the
best values.

Run: nice python bench/bench_raccoon.py [--model n] [--epochs 20 | --time 15] [--imgsz 320] [--memorise]
     [--no-mosaic] [--no-ema] [--data ../shared/data/raccoon]
"""
import argparse
import glob
import os
import sys
import tempfile

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("CUDA_VISIBLE_DEVICES", "")

import yaml  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# ../shared beside the checkout (a worktree sits one level deeper than the main checkout).
DEFAULT_DATA = next((p for p in (os.path.normpath(os.path.join(HERE, *[".."] * up, "shared", "data", "raccoon"))
                                 for up in (2, 3)) if os.path.isdir(p)),
                    os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "raccoon")))


def descriptor(data, out, memorise):
    """Writes <out>/dataset.yaml, a VOC descriptor of the photos (the set's own split, or all 200
    photos in both splits), and returns its path and the two split sizes."""
    def stems(name):
        with open(os.path.join(data, name)) as f:
            return [s.strip() for s in f if s.strip()]

    train, val = stems("train.txt"), stems("val.txt")
    lists = {"train": os.path.join(data, "train.txt"), "validation": os.path.join(data, "val.txt")}
    if memorise:
        train = val = train + val
        os.makedirs(out, exist_ok=True)
        lists["train"] = lists["validation"] = os.path.join(out, "all.txt")
        with open(lists["train"], "w") as f:
            f.write("\n".join(train) + "\n")
    split = {"images": os.path.join(data, "images"), "annotations": os.path.join(data, "annotations")}
    described = {"type": "voc", "classes": ["raccoon"],
                 "train": dict(split, list=lists["train"]), "validation": dict(split, list=lists["validation"])}
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, "dataset.yaml")
    with open(path, "w") as f:
        yaml.safe_dump(described, f)
    return path, len(train), len(val)


def curve(log_dir):
    """[(epoch, wall time, mAP@0.5, mAP@0.5:0.95)] of the validation passes in the run's events,
    in the order they were written (the passes are epochs 0, 1, ...; the first two share a
    logger step, so the step does not tell them apart)."""
    import tensorflow as tf

    values = []
    for path in glob.glob(os.path.join(log_dir, "**", "events.out.tfevents.*"), recursive=True):
        for event in tf.compat.v1.train.summary_iterator(path):
            for value in event.summary.value:
                if value.tag in ("mAP@0.5", "mAP@0.5:0.95"):
                    number = value.simple_value if value.HasField("simple_value") else \
                        float(tf.make_ndarray(value.tensor))
                    values.append((event.wall_time, value.tag, number))
    points = []
    for wall, tag, number in sorted(values, key=lambda v: v[0]):
        if not points or tag in points[-1]:
            points.append({"time": wall})
        points[-1][tag] = number
    return [(epoch, p["time"], p.get("mAP@0.5"), p.get("mAP@0.5:0.95")) for epoch, p in enumerate(points)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default=DEFAULT_DATA)
    parser.add_argument("--model", default="n")
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--time", type=float, default=None, help="minutes of training instead of --epochs")
    parser.add_argument("--imgsz", type=int, default=320)
    parser.add_argument("--batch", type=int, default=16)
    parser.add_argument("--lr", type=float, default=None)
    parser.add_argument("--memorise", action="store_true", help="train and validate on all 200 photos")
    parser.add_argument("--no-mosaic", action="store_true")
    parser.add_argument("--no-ema", action="store_true")
    args = parser.parse_args()
    if not os.path.isdir(args.data):
        print("no raccoon photos at %s; nothing to measure" % args.data)
        return 0

    from orvane.kestrix.cli import recipe
    from orvane.kestrix.cli.main import main as kestrix

    r = recipe.RECIPES[args.model]
    if args.no_mosaic:
        r["aug_cfg"].pop("mosaic", None)
    if args.no_ema:
        r["ema_epochs"] = 0
    with tempfile.TemporaryDirectory(prefix="kestrix-raccoon-") as work:
        path, n_train, n_val = descriptor(args.data, os.path.join(work, "data"), args.memorise)
        print("raccoon: %d training, %d validation photos; model %s at %d, %d epochs, mosaic %s, averaging %s"
              % (n_train, n_val, args.model, args.imgsz, args.epochs, r["aug_cfg"].get("mosaic", 0),
                 "off" if args.no_ema else "on"), flush=True)
        argv = ["train", "--data", path, "--model", args.model, "--imgsz", str(args.imgsz),
                "--epochs", str(args.epochs), "--batch", str(args.batch), "--project", os.path.join(work, "runs"),
                "--display", "0"]
        if args.time is not None:
            argv += ["--time", str(args.time)]
        if args.lr is not None:
            argv += ["--lr", str(args.lr)]
        status = kestrix(argv)
        points = curve(os.path.join(work, "runs", "logs"))
        if points:
            start = points[0][1]
            print("\nepoch  minutes  mAP@0.5  mAP@0.5:0.95")
            for epoch, wall, m50, m5095 in points:
                print("%5d  %7.1f  %7.1f  %12.1f" % (epoch, (wall - start) / 60, m50, m5095))
            print("best mAP@0.5 %.1f, best mAP@0.5:0.95 %.1f"
                  % (max(p[2] for p in points), max(p[3] for p in points)))
    return status


if __name__ == "__main__":
    sys.exit(main())
