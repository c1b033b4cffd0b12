"""Darknet dataset throughput, as ratios taken in one process.

1. Training pipeline (DarknetDataset.build_train_iterator, 640x480 JPEG files with label files,
   letter-boxed to 320x320, batch 16) against the raw limit: a pool of as many threads as cores
   opening the same files with Pillow, converting to RGB and letter-boxing (target >= 0.9).
   The pipeline decodes training JPEGs at a reduced scale when the output is at most half their
   size (Pillow's draft mode), so it may pass the full-decode limit; the same pool with draft
   decoding at the same scale is the limit for the work the pipeline really does (the stricter
   of the two). Both ratios are printed.
2. The folder scan (load_storage) of 100,000 image names with 100,000 annotation files against
   glob.glob over the three patterns plus os.path.exists per image in Python, building the same
   list of pairs (target >= 5x).
3. check_dataset files per second against opening every image with Pillow and reading every
   label file with np.genfromtxt (target >= 3x).

The machine may be shared: measurements alternate and each keeps its best of --repeat runs.

Run: PYTHONPATH=src .venv/bin/python bench/bench_darknet_pipeline.py [--images N] [--names N] [--repeat R]
"""
import argparse
import glob
import io
import os
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from contextlib import redirect_stderr

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402,F401
from PIL import Image  # noqa: E402

from orvane.kestrix.datasets import utils  # noqa: E402
from orvane.kestrix.datasets.darknet import DarknetDataset, check_dataset  # noqa: E402

from bench_tfrecord_pipeline import HEIGHT, WIDTH, photo_like  # noqa: E402  (same synthetic photos)

OUT = [320, 320, 3]
BATCH = 16


def write_split(root, count, rng):
    images, labels = os.path.join(root, "images"), os.path.join(root, "labels")
    os.makedirs(images)
    os.makedirs(labels)
    for i in range(count):
        Image.fromarray(photo_like(rng)).save(os.path.join(images, f"{i:05d}.jpg"), quality=90)
        n = int(rng.integers(1, 6))
        rows = np.column_stack([rng.integers(0, 3, n), rng.uniform(0.2, 0.8, (n, 2)), rng.uniform(0.05, 0.3, (n, 2))])
        np.savetxt(os.path.join(labels, f"{i:05d}.txt"), rows, fmt=["%d"] + ["%.6f"] * 4)
    return {"images": images, "annotations": labels}


def best_of(runs, repeat):
    best = {name: float("inf") for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def raw_pool(paths, threads, draft):
    def work(path):
        with Image.open(path) as image:
            if draft:
                image.draft("RGB", (OUT[1], OUT[1] * image.size[1] // image.size[0]))
            return utils.letterbox(np.asarray(image.convert("RGB")), OUT[:2], auto=False)[0]

    with ThreadPoolExecutor(threads) as pool:
        for _ in pool.map(work, paths, chunksize=8):
            pass


def iterate(pipeline):
    return sum(int(images.shape[0]) for images, _ in pipeline)


def pipeline_benchmark(split, val, paths, cores, repeat):
    dataset = DarknetDataset({"classes": ["a", "b", "c"], "train": split, "validation": val}, OUT, True, True)
    pipeline = dataset.build_train_iterator(BATCH)
    n = len(paths)
    assert iterate(pipeline) == n  # warm-up: traces, file cache
    raw_pool(paths, cores, False)
    best = best_of({"raw": lambda: raw_pool(paths, cores, False), "raw-draft": lambda: raw_pool(paths, cores, True),
                    "pipeline": lambda: iterate(pipeline)}, repeat)
    print(f"1. {n} JPEG {WIDTH}x{HEIGHT} -> letter-boxed {OUT[1]}x{OUT[0]}, batch {BATCH}, {cores} cores")
    print(f"  raw Pillow full-size decode+letterbox ({cores} threads):    {n / best['raw']:8.1f} images/s")
    print(f"  raw Pillow draft (reduced) decode+letterbox ({cores} threads): {n / best['raw-draft']:8.1f} images/s")
    print(f"  DarknetDataset training pipeline (draft decode):          {n / best['pipeline']:8.1f} images/s")
    for label, limit in (("raw with the same reduced decode", "raw-draft"), ("raw with full decode", "raw")):
        ratio = best[limit] / best["pipeline"]
        print(f"  pipeline / {label} = {ratio:.2f} (target >= 0.9) {'OK' if ratio >= 0.9 else 'BELOW TARGET'}")


def scan_benchmark(root, names, repeat):
    images, labels = os.path.join(root, "scan-images"), os.path.join(root, "scan-labels")
    os.makedirs(images)
    os.makedirs(labels)
    for i in range(names):
        ext = ("png", "jpg", "JPEG")[i % 3]
        open(os.path.join(images, f"img-{i:06d}.{ext}"), "wb").close()
        open(os.path.join(labels, f"img-{i:06d}.txt"), "wb").close()
    split = {"images": images, "annotations": labels}
    dataset = DarknetDataset({"classes": ["a"], "train": split, "validation": split}, OUT)

    def scan():
        dataset.train_storage, dataset.val_storage = [], []
        dataset.path_train_images = dataset.path_val_images = images
        dataset.path_train_annotations = dataset.path_val_annotations = labels
        with redirect_stderr(io.StringIO()):  # the progress bars
            dataset.load_storage()
        return dataset.train_storage

    def python_scan():
        found = []
        for pattern in ("*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]"):
            found += glob.glob(os.path.join(images, pattern))
        pairs = []
        for path in found:
            annotation = os.path.join(labels, os.path.splitext(os.path.basename(path))[0] + ".txt")
            if os.path.exists(annotation):
                pairs.append([path, annotation])
        return pairs

    assert scan() == python_scan() and len(dataset.train_storage) == names
    best = best_of({"scan": scan, "python": python_scan}, repeat)
    per_split = best["scan"] / 2  # load_storage scans both splits (here the same folders)
    speedup = best["python"] / per_split
    print(f"2. scan of {names} image names with {names} annotation files, into the list of pairs")
    print(f"  load_storage {per_split * 1e3:.1f} ms per split, glob + exists {best['python'] * 1e3:.1f} ms")
    print(f"  speed-up = {speedup:.1f}x (target >= 5x) {'OK' if speedup >= 5 else 'BELOW TARGET'}")


def check_benchmark(split, val, repeat):
    descriptor = {"classes": ["a", "b", "c"], "train": split, "validation": val}
    pairs = [(os.path.join(split["images"], name), os.path.join(split["annotations"], name[:-4] + ".txt"))
             for name in sorted(os.listdir(split["images"]))]
    pairs += [(os.path.join(val["images"], name), os.path.join(val["annotations"], name[:-4] + ".txt"))
              for name in sorted(os.listdir(val["images"]))]
    files = 2 * len(pairs)

    def check():
        with redirect_stderr(io.StringIO()):
            report = check_dataset(descriptor)
        assert not report["train"]["broken"]

    def python_check():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for image, label in pairs:
                with Image.open(image) as opened:
                    opened.size
                np.genfromtxt(label)

    best = best_of({"check": check, "python": python_check}, repeat)
    speedup = best["python"] / best["check"]
    print(f"3. dataset check of {len(pairs)} images and {len(pairs)} label files")
    print(f"  check_dataset {files / best['check']:9.0f} files/s, Pillow open + genfromtxt "
          f"{files / best['python']:9.0f} files/s")
    print(f"  speed-up = {speedup:.1f}x (target >= 3x) {'OK' if speedup >= 3 else 'BELOW TARGET'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=1200)
    parser.add_argument("--names", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as root:
        split = write_split(os.path.join(root, "train"), args.images, rng)
        val = write_split(os.path.join(root, "val"), 8, rng)
        paths = sorted(glob.glob(os.path.join(split["images"], "*.jpg")))
        pipeline_benchmark(split, val, paths, cores, args.repeat)
        check_benchmark(split, val, args.repeat)
        scan_benchmark(root, args.names, args.repeat)


if __name__ == "__main__":
    main()
