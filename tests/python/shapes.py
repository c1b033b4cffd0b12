"""Synthetic detection data (coloured shapes on noisy backgrounds) and a direct AP@0.5.

- ``make_shapes``: uint8 images with filled circles, squares and triangles and their boxes
  (pixel corners, class number last), deterministic for a seed;
- ``detect``: the detector's boxes and scores through per-class non-maximum suppression;
- ``average_precision``: mean over classes of the 101-point interpolated AP at one IoU.
"""
from __future__ import annotations

import cv2
import numpy as np
import tensorflow as tf

SHAPES = ["circle", "square", "triangle"]


def make_shapes(num_images: int, size: int = 64, max_objects: int = 3, seed: int = 0, min_side: int = 10,
                max_side: int = 28, class_offset: int = 0):
    """``(images uint8 [n, size, size, 3], boxes float32 [n, max_objects, 5])``, zero-padded rows."""
    rng = np.random.default_rng(seed)
    images = np.empty((num_images, size, size, 3), np.uint8)
    boxes = np.zeros((num_images, max_objects, 5), np.float32)
    for i in range(num_images):
        base = rng.integers(0, 120, size=3)
        noise = rng.normal(0, 12, size=(size, size, 3))
        image = np.clip(base + noise, 0, 255).astype(np.uint8)
        for j in range(int(rng.integers(1, max_objects + 1))):
            kind = int(rng.integers(0, len(SHAPES)))
            side = int(rng.integers(min_side, max_side + 1))
            x1, y1 = (int(v) for v in rng.integers(0, size - side, size=2))
            colour = tuple(int(c) for c in rng.integers(140, 256, size=3))
            if kind == 0:
                r = side // 2
                cv2.circle(image, (x1 + r, y1 + r), r, colour, -1)
                x2, y2 = x1 + 2 * r + 1, y1 + 2 * r + 1
            elif kind == 1:
                cv2.rectangle(image, (x1, y1), (x1 + side - 1, y1 + side - 1), colour, -1)
                x2, y2 = x1 + side, y1 + side
            else:
                points = np.array([[x1 + side // 2, y1], [x1, y1 + side - 1], [x1 + side - 1, y1 + side - 1]])
                cv2.fillPoly(image, [points.astype(np.int32)], colour)
                x2, y2 = x1 + side, y1 + side
            boxes[i, j] = (x1, y1, x2, y2, kind + class_offset)
        images[i] = image
    return images, boxes


def detect(export_outputs, iou: float = 0.5, score_threshold: float = 0.01, max_detections: int = 100):
    """Per image ``(boxes [k, 4], classes [k], scores [k])`` from the export outputs of a batch."""
    boxes, scores = (np.asarray(o) for o in export_outputs)
    results = []
    for image_boxes, image_scores in zip(boxes, scores):
        kept_boxes, kept_classes, kept_scores = [], [], []
        for c in range(image_scores.shape[1]):
            keep = tf.image.non_max_suppression(image_boxes[:, [1, 0, 3, 2]], image_scores[:, c], max_detections,
                                                iou, score_threshold).numpy()
            kept_boxes.append(image_boxes[keep])
            kept_classes.append(np.full(len(keep), c))
            kept_scores.append(image_scores[keep, c])
        results.append((np.concatenate(kept_boxes), np.concatenate(kept_classes), np.concatenate(kept_scores)))
    return results


def _iou(box, others):
    x1 = np.maximum(box[0], others[:, 0])
    y1 = np.maximum(box[1], others[:, 1])
    x2 = np.minimum(box[2], others[:, 2])
    y2 = np.minimum(box[3], others[:, 3])
    inter = np.clip(x2 - x1, 0, None) * np.clip(y2 - y1, 0, None)
    area = lambda b: (b[..., 2] - b[..., 0]) * (b[..., 3] - b[..., 1])
    return inter / (area(box) + area(others) - inter)


def average_precision(detections, truth_boxes, iou_threshold: float = 0.5) -> float:
    """Mean over the classes with ground truth of the 101-point AP (greedy matching by score)."""
    classes = {int(c) for boxes in truth_boxes for c in boxes[boxes[:, 2] > boxes[:, 0]][:, 4]}
    aps = []
    for c in sorted(classes):
        records, total = [], 0
        for (d_boxes, d_classes, d_scores), t in zip(detections, truth_boxes):
            truth = t[(t[:, 2] > t[:, 0]) & (t[:, 4] == c), :4]
            total += len(truth)
            matched = np.zeros(len(truth), bool)
            mine = np.where(d_classes == c)[0]
            for k in mine[np.argsort(-d_scores[mine], kind="stable")]:
                hit = False
                if len(truth):
                    overlaps = np.where(matched, -1.0, _iou(d_boxes[k], truth))
                    best = int(np.argmax(overlaps))
                    if overlaps[best] >= iou_threshold:
                        matched[best] = hit = True
                records.append((d_scores[k], hit))
        records.sort(key=lambda r: -r[0])
        hits = np.array([r[1] for r in records], bool)
        tp, fp = np.cumsum(hits), np.cumsum(~hits)
        recall = tp / max(total, 1)
        precision = tp / np.maximum(tp + fp, 1e-9)
        precision = np.maximum.accumulate(precision[::-1])[::-1] if len(precision) else precision
        points = np.linspace(0, 1, 101)
        index = np.searchsorted(recall, points, side="left")
        aps.append(float(np.mean([precision[i] if i < len(precision) else 0.0 for i in index])))
    return float(np.mean(aps)) if aps else 0.0
