"""Loading a large COCO instances file: orvane.kestrix.datasets.coco.read_annotations (the parse and
index the COCO reader does when a dataset is built) against pycocotools.coco.COCO(path), in one
process, on the same generated file.

Prints wall time, CPU time of the process (the fairer figure on a machine shared with other
work) and peak memory growth (resident set sampled every 10 ms by a thread) of each, and their
ratios. The file (100,000 images, 1,000,000 annotations with polygon segmentations, as
exported files carry them) is generated in a temporary folder.

    PYTHONPATH=src python bench/bench_coco_load.py [--images N] [--annotations M] [--repeat R]
"""

import argparse
import contextlib
import gc
import io
import json
import os
import random
import tempfile
import threading
import time


def generate(path, images, annotations, seed=0):
    rng = random.Random(seed)
    categories = [{"id": 2 * k + 1, "name": "class%d" % k, "supercategory": "thing"} for k in range(80)]
    with open(path, "w", encoding="utf-8") as f:
        f.write('{"info": {"description": "generated"}, "licenses": [], "categories": ')
        json.dump(categories, f)
        f.write(', "images": ')
        json.dump([{"id": i + 1, "file_name": "%012d.jpg" % (i + 1), "width": 640, "height": 480}
                   for i in range(images)], f)
        f.write(', "annotations": [')
        for k in range(annotations):
            x, y = rng.uniform(0, 600), rng.uniform(0, 440)
            w, h = rng.uniform(1, 640 - x), rng.uniform(1, 480 - y)
            polygon = [round(v, 2) for v in (x, y, x + w, y, x + w, y + h, x, y + h)]
            f.write("%s{\"id\": %d, \"image_id\": %d, \"category_id\": %d, \"bbox\": [%.2f, %.2f, %.2f, %.2f], "
                    "\"area\": %.2f, \"iscrowd\": %d, \"segmentation\": [%s]}"
                    % ("," if k else "", k + 1, rng.randrange(images) + 1, categories[rng.randrange(80)]["id"],
                       x, y, w, h, w * h, int(rng.random() < 0.01), json.dumps(polygon)))
        f.write("]}")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(load):
    """(wall seconds, CPU seconds, peak resident growth in bytes) of load(), the result dropped
    afterwards."""
    gc.collect()
    base = rss()
    peak = [base]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss())
            time.sleep(0.01)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    start, cpu = time.perf_counter(), time.process_time()
    result = load()
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    peak[0] = max(peak[0], rss())
    done.set()
    sampler.join()
    del result
    gc.collect()
    return seconds, cpu, peak[0] - base


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=100_000)
    parser.add_argument("--annotations", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    from pycocotools.coco import COCO

    from orvane.kestrix.datasets.coco import read_annotations

    def theirs(path):
        with contextlib.redirect_stdout(io.StringIO()):
            return COCO(path)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "instances.json")
        start = time.perf_counter()
        generate(path, args.images, args.annotations)
        print("generated %s: %d images, %d annotations, %.0f MB in %.0f s"
              % (path, args.images, args.annotations, os.path.getsize(path) / 1e6, time.perf_counter() - start))
        ours = read_annotations(path)
        assert len(ours["image_ids"]) == args.images and len(ours["boxes"]) + ours["dropped"] == args.annotations
        del ours
        best = {}
        for _ in range(args.repeat):  # interleaved, best of each
            for name, load in (("orvane read_annotations", lambda: read_annotations(path)),
                               ("pycocotools COCO", lambda: theirs(path))):
                figures = measure(load)
                old = best.get(name, (float("inf"),) * 3)
                best[name] = tuple(min(a, b) for a, b in zip(old, figures))
        for name, (seconds, cpu, grown) in best.items():
            print("%-24s %7.2f s wall  %7.2f s CPU  peak +%6.0f MB" % (name, seconds, cpu, grown / 1e6))
        ours, theirs = best["orvane read_annotations"], best["pycocotools COCO"]
        print("speed-up %.1fx wall, %.1fx CPU (target at least 3x); memory %.2f of pycocotools' (target at most 1)"
              % (theirs[0] / ours[0], theirs[1] / ours[1], ours[2] / theirs[2]))


if __name__ == "__main__":
    main()
