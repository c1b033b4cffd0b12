"""Training pipelines of the COCO and VOC readers against the Darknet reader on the same photos
(the raccoon set of ../shared/data/raccoon, VOC as shipped, converted to COCO and Darknet with
`kestrix convert`), in one process; then one epoch of `kestrix train` on the VOC set.

Prints images per second of each reader (best of --rounds interleaved measurements) and the ratios
to Darknet (target: at least 0.95).

    PYTHONPATH=src python bench/bench_annotated_pipeline.py [--imgsz 320] [--batch 16] [--rounds 3] [--raccoon DIR]
"""

import argparse
import contextlib
import io
import os
import subprocess
import sys
import tempfile
import time

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
RACCOON = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "raccoon"))


def voc_descriptor(folder, raccoon):
    split = lambda name: {"images": os.path.join(raccoon, "images"), "annotations": os.path.join(raccoon, "annotations"),
                          "list": os.path.join(raccoon, name)}
    path = os.path.join(folder, "voc.yaml")
    with open(path, "w") as f:
        yaml.safe_dump({"type": "voc", "classes": ["raccoon"], "train": split("train.txt"),
                        "validation": split("val.txt")}, f)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--imgsz", type=int, default=320)
    parser.add_argument("--batch", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--epochs", type=int, default=3, help="epochs of the pipeline per measurement")
    parser.add_argument("--train-imgsz", type=int, default=128)
    parser.add_argument("--raccoon", default=RACCOON, help="the raccoon photos (default: ../shared/data/raccoon)")
    args = parser.parse_args()
    if not os.path.isdir(args.raccoon):
        sys.exit("the raccoon photos are not at %s" % args.raccoon)

    from orvane.kestrix.cli.common import open_dataset
    from orvane.kestrix.cli.main import main as kestrix

    with tempfile.TemporaryDirectory() as tmp:
        voc = voc_descriptor(tmp, args.raccoon)
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            for target in ("coco", "darknet"):
                assert kestrix(["convert", "--data", voc, "--to", target, "--out", os.path.join(tmp, target)]) == 0
        paths = {"darknet": os.path.join(tmp, "darknet", "dataset.yaml"),
                 "coco": os.path.join(tmp, "coco", "dataset.yaml"), "voc": voc}
        datasets = {kind: open_dataset(path, kind, args.imgsz) for kind, path in paths.items()}
        best = {}
        kinds = list(datasets)
        for round_ in range(args.rounds):
            # Interleaved, in a turning order, best of each: the machine's other load hits all.
            for kind in kinds[round_ % 3:] + kinds[:round_ % 3]:
                pipeline = datasets[kind].build_train_iterator(args.batch).repeat(args.epochs)
                start = time.perf_counter()
                images = sum(int(x.shape[0]) for x, _ in pipeline)
                best[kind] = max(best.get(kind, 0.0), images / (time.perf_counter() - start))
        for kind, rate in best.items():
            print("%-8s %7.1f images/s  ratio to Darknet %.3f" % (kind, rate, rate / best["darknet"]))

        env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2")
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "orvane.kestrix", "train", "--data", voc, "--epochs", "1",
                               "--imgsz", str(args.train_imgsz), "--batch", str(args.batch),
                               "--project", os.path.join(tmp, "runs")], env=env, capture_output=True, text=True)
        print("kestrix train, one epoch on the raccoon VOC set at imgsz %d: status %d in %.0f s"
              % (args.train_imgsz, done.returncode, time.perf_counter() - start))
        if done.returncode != 0:
            print(done.stdout[-2000:] + done.stderr[-2000:])
        else:
            print("\n".join(line for line in done.stdout.splitlines() if "mAP" in line)[:1000])


if __name__ == "__main__":
    main()
