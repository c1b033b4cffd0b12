"""Random detection passes and their reference figures from pycocotools, for tests and benchmarks.

``random_pass`` builds ground truth and detections of a validation pass (boxes normalised,
labels as names, scores free of ties); ``coco_figures`` evaluates the same pass with
pycocotools' ``COCOeval`` and returns the figures in the layout of the evaluator's metrics.
"""
from __future__ import annotations

import contextlib
import io

import numpy as np


def random_pass(num_images=60, num_classes=5, gt_per_image=(0, 6), dt_per_image=(0, 12), undetected=(),
                per_image_class0=0, seed=0):
    """A list of per-image dicts {"name", "gt_boxes", "gt_labels", "dt_boxes", "dt_labels", "dt_scores"}.

    Detections are jittered copies of ground truth (so IoUs spread over 0.3..1), sometimes with
    the wrong class, plus random boxes: a (low, high) range of them per image, or an int for
    that many detections per image in all. Classes in ``undetected`` get no detection;
    ``per_image_class0`` gives every image that many class-0 objects and no other (a class with
    exactly ``num_images * per_image_class0`` objects exercises the recall points that are one
    ulp off k/100).
    Scores are distinct float32 values. Corners satisfy x2 = x1 + w exactly in double, as
    pycocotools recomputes them.
    """
    rng = np.random.default_rng(seed)
    classes = [f"class{k}" for k in range(num_classes)]
    images = []
    total_dt = 0
    for i in range(num_images):
        n_gt = int(rng.integers(gt_per_image[0], gt_per_image[1] + 1))
        gt_cls = list(rng.integers(1 if per_image_class0 else 0, num_classes, n_gt)) + [0] * per_image_class0
        gt = [_random_box(rng) for _ in gt_cls]
        dt, dt_cls = [], []
        for box, cls in zip(gt, gt_cls):
            if rng.random() < 0.8:
                dt.append(_jitter(rng, box))
                dt_cls.append(cls if rng.random() < 0.85 else int(rng.integers(0, num_classes)))
        extra = dt_per_image - len(dt) if isinstance(dt_per_image, int) else rng.integers(*dt_per_image, endpoint=True)
        for _ in range(max(int(extra), 0)):
            dt.append(_random_box(rng))
            dt_cls.append(int(rng.integers(0, num_classes)))
        keep = [j for j, c in enumerate(dt_cls) if c not in undetected]
        images.append({
            "name": f"image_{i:05d}.jpg",
            "gt_boxes": np.array(gt, np.float64).reshape(-1, 4),
            "gt_labels": np.array([classes[c] for c in gt_cls], dtype=str),
            "dt_boxes": np.array([dt[j] for j in keep], np.float64).reshape(-1, 4),
            "dt_labels": np.array([classes[dt_cls[j]] for j in keep], dtype=str),
        })
        total_dt += len(keep)
    scores = ((rng.permutation(total_dt) + 0.5) / total_dt).astype(np.float32)
    start = 0
    for image in images:
        count = len(image["dt_boxes"])
        image["dt_scores"] = scores[start:start + count]
        start += count
    return classes, images


def _random_box(rng):
    x1, y1 = rng.uniform(0, 0.8, 2)
    w, h = rng.uniform(0.02, 0.3, 2)
    return [x1, y1, x1 + w, y1 + h]


def _jitter(rng, box):
    x1, y1, x2, y2 = box
    w, h = x2 - x1, y2 - y1
    nx, ny = x1 + rng.normal(0, 0.12) * w, y1 + rng.normal(0, 0.12) * h
    nw, nh = w * np.exp(rng.normal(0, 0.15)), h * np.exp(rng.normal(0, 0.15))
    return [nx, ny, nx + nw, ny + nh]


def instances_of(image):
    """The trainer's instance dictionaries for one image of ``random_pass``."""
    return {
        "gt_instance": {"image": None, "height": 1, "width": 1, "boxes": image["gt_boxes"],
                        "labels": image["gt_labels"], "image_path": image["name"]},
        "dt_instance": {"boxes": image["dt_boxes"], "labels": image["dt_labels"], "scores": image["dt_scores"]},
    }


def coco_evaluation(classes, images):
    """A pycocotools ``COCOeval`` on the pass, evaluated and accumulated (its printing silenced)."""
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    ids = {name: k + 1 for k, name in enumerate(classes)}
    annotations, results = [], []
    for i, image in enumerate(images, start=1):
        for box, label in zip(image["gt_boxes"], image["gt_labels"]):
            x1, y1, x2, y2 = (float(v) for v in box)
            annotations.append({"id": len(annotations) + 1, "image_id": i, "category_id": ids[str(label)],
                                "bbox": [x1, y1, x2 - x1, y2 - y1], "area": (x2 - x1) * (y2 - y1), "iscrowd": 0})
        for box, label, score in zip(image["dt_boxes"], image["dt_labels"], image["dt_scores"]):
            x1, y1, x2, y2 = (float(v) for v in box)
            results.append({"image_id": i, "category_id": ids[str(label)], "bbox": [x1, y1, x2 - x1, y2 - y1],
                            "score": float(score)})
    with contextlib.redirect_stdout(io.StringIO()):
        truth = COCO()
        truth.dataset = {"images": [{"id": i} for i in range(1, len(images) + 1)], "annotations": annotations,
                         "categories": [{"id": k, "name": name} for name, k in ids.items()]}
        truth.createIndex()
        evaluation = COCOeval(truth, truth.loadRes(results), "bbox")
        evaluation.evaluate()
        evaluation.accumulate()
    return evaluation


def coco_figures(evaluation):
    """{"mAP": {...}, "mAR": {...}} of an accumulated ``COCOeval`` (all areas, 100 detections)."""
    precision = evaluation.eval["precision"][:, :, :, 0, -1]  # [T, R, K]
    recall = evaluation.eval["recall"][:, :, 0, -1]  # [T, K]

    def mean(values):
        values = values[values > -1]
        return float(np.mean(values)) if values.size else 0.0

    return {
        "mAP": {"0.5": mean(precision[0]), "0.75": mean(precision[5]), "0.5:0.95": mean(precision)},
        "mAR": {"0.5": mean(recall[0]), "0.75": mean(recall[5]), "0.5:0.95": mean(recall)},
    }
