"""DetectionEvaluator: COCO figures against pycocotools, hand-worked counts, input errors, pass order."""
import csv
import math
import os

import numpy as np
import pytest
import tensorflow as tf

from cocoref import coco_evaluation, coco_figures, instances_of, random_pass
from orvane.validator.evaluators import DetectionEvaluator

CLASSES = ["cat", "dog"]
A = [0.1, 0.1, 0.4, 0.4]
B = [0.6, 0.6, 0.9, 0.9]
C = [0.5, 0.0, 0.7, 0.2]


def evaluate(images, classes=CLASSES, score_threshold=0.25):
    """Metrics of a pass over images given as (gt [(box, label)], dt [(box, label, score)])."""
    evaluator = DetectionEvaluator(None, classes, score_threshold=score_threshold)
    evaluator(None)
    state = None
    for i, (gt, dt) in enumerate(images):
        state = evaluator.single_evaluation(instances(gt, dt, f"img{i}.jpg"), 1, False)
    return evaluator, evaluator.conclude(state, epoch=1)


def instances(gt, dt, name="img.jpg"):
    return {
        "gt_instance": {"image": None, "height": 1, "width": 1, "boxes": np.array([b for b, _ in gt]).reshape(-1, 4),
                        "labels": np.array([l for _, l in gt]), "image_path": name},
        "dt_instance": {"boxes": np.array([b for b, _, _ in dt], np.float32).reshape(-1, 4),
                        "labels": np.array([l for _, l, _ in dt]),
                        "scores": np.array([s for _, _, s in dt], np.float32)},
    }


class TestAgainstPycocotools:
    @pytest.mark.parametrize("options", [
        dict(seed=0),
        dict(seed=1, num_images=80, undetected=(3,)),
        dict(seed=2, num_images=50, per_image_class0=2, undetected=(4,)),  # class 0: exactly 100 objects
        dict(seed=3, gt_per_image=(0, 2), dt_per_image=(0, 30)),  # many false positives, empty images
    ])
    def test_map_and_mar_equal_cocos(self, options):
        classes, images = random_pass(**options)
        assert options.get("per_image_class0") or sum(len(i["gt_boxes"]) == 0 for i in images) > 0
        evaluator = DetectionEvaluator(None, classes)
        evaluator(None)
        for image in images:
            state = evaluator.single_evaluation(instances_of(image), 1, False)
        metrics = evaluator.conclude(state, epoch=1)
        reference = coco_figures(coco_evaluation(classes, images))
        for family in ("mAP", "mAR"):
            for key in ("0.5", "0.75", "0.5:0.95"):
                assert metrics[family][key] == pytest.approx(reference[family][key], abs=1e-6), (family, key)
        assert 0 < metrics["mAP"]["0.5"] < 1

    def test_more_than_100_detections_of_a_class_are_cut_like_coco(self):
        classes, images = random_pass(num_images=50, num_classes=2, dt_per_image=(90, 140), seed=4)
        evaluator = DetectionEvaluator(None, classes)
        for image in images:
            evaluator.single_evaluation(instances_of(image), 1, False)
        metrics = evaluator.conclude(None)
        reference = coco_figures(coco_evaluation(classes, images))
        assert metrics["mAP"]["0.5:0.95"] == pytest.approx(reference["mAP"]["0.5:0.95"], abs=1e-6)
        assert metrics["mAR"]["0.5"] == pytest.approx(reference["mAR"]["0.5"], abs=1e-6)


# Each case: images as (ground truth, detections), then mACC@0.5, mACC@0.75, mACC@0.5:0.95, OP, OR, OA.
HAND_CASES = {
    "perfect image": ([([(A, "cat")], [(A, "cat", 0.9)])], 1, 1, 1, 1, 1, 1),
    "missed object": ([([(A, "cat"), (B, "dog")], [(A, "cat", 0.9)])], 0.5, 0.5, 0.5, 1, 0.5, 0.5),
    "false positive": ([([(A, "cat")], [(A, "cat", 0.9), (C, "cat", 0.8)])], 0.5, 0.5, 0.5, 0.5, 1, 0.5),
    "right box, wrong class": ([([(A, "cat")], [(A, "dog", 0.9)])], 0, 0, 0, 0, 0, 0),
    "below the operating point": ([([(A, "cat")], [(A, "cat", 0.2)])], 0, 0, 0, 0, 0, 0),
    # IoU 0.62: a hit at 0.5, 0.55 and 0.6 only.
    "loose box": ([([(A, "cat")], [([0.1, 0.1, 0.4, 0.286], "cat", 0.9)])], 1, 0, 0.3, 1, 1, 1),
    "two images": ([([(A, "cat")], [(A, "cat", 0.9)]), ([(B, "dog")], [(C, "dog", 0.3)])],
                   0.5, 0.5, 0.5, 0.5, 0.5, 1 / 3),
    "nothing at all": ([([], []), ([], [])], 0, 0, 0, 0, 0, 0),
}


class TestCountsAtTheOperatingPoint:
    @pytest.mark.parametrize("case", HAND_CASES.values(), ids=HAND_CASES.keys())
    def test_hand_worked(self, case):
        images, *expected = case
        _, metrics = evaluate(images)
        got = [metrics["mACC"]["0.5"], metrics["mACC"]["0.75"], metrics["mACC"]["0.5:0.95"],
               metrics["OP"], metrics["OR"], metrics["OA"]]
        assert got == pytest.approx(expected, abs=1e-12)
        assert all(isinstance(v, float) and not math.isnan(v) for f in ("mAP", "mAR", "mACC") for v in metrics[f].values())

    def test_map_uses_detections_below_the_operating_point(self):
        _, metrics = evaluate([([(A, "cat")], [(A, "cat", 0.2)])])
        assert metrics["mAP"]["0.5"] == pytest.approx(1.0) and metrics["mAR"]["0.5:0.95"] == pytest.approx(1.0)
        assert metrics["mACC"]["0.5"] == 0

    @pytest.mark.parametrize("classes, gt", [
        (["background", "cat"], [([0, 0, 0, 0], "background")]),  # the datasets' row of an empty image
        (["cat", "dog"], [([0, 0, 0, 0], "cat")]),
        (["cat", "dog"], [([0.5, 0.5, 0.5, 0.9], "cat")]),
    ])
    def test_background_and_empty_rows_are_not_objects(self, classes, gt):
        evaluator, metrics = evaluate([(gt, [(A, "cat", 0.9)])], classes=classes)
        assert metrics["OR"] == 0 and metrics["OP"] == 0 and metrics["mAP"]["0.5"] == 0
        assert evaluator.per_class["cat"]["ground_truth"] == 0 and evaluator.per_class["cat"]["FP"] == 1
        assert "background" not in evaluator.per_class

    def test_per_class_values_of_the_last_pass(self):
        evaluator, _ = evaluate([([(A, "cat"), (B, "cat")], [(A, "cat", 0.9), (C, "dog", 0.8)])])
        cat, dog = evaluator.per_class["cat"], evaluator.per_class["dog"]
        assert (cat["ground_truth"], cat["detections"], cat["TP"], cat["FP"], cat["FN"]) == (2, 1, 1, 0, 1)
        assert cat["AR"]["0.5"] == 0.5 and cat["ACC"]["0.75"] == 0.5
        # precision and recall of the operating-point counts; 0/0 (dog's recall) is 0
        assert (cat["precision"], cat["recall"], dog["precision"], dog["recall"]) == (1.0, 0.5, 0.0, 0.0)
        assert dog["AP"] == {"0.5": None, "0.75": None, "0.5:0.95": None} and dog["ACC"]["0.5"] == 0.0
        evaluator(None)
        evaluator.single_evaluation(instances([], []), 2, False)
        evaluator.conclude(None)
        assert evaluator.per_class["cat"]["ground_truth"] == 0


GOOD_GT = {"boxes": np.array([A, B]), "labels": np.array(["cat", "dog"])}
GOOD_DT = {"boxes": np.array([A, C], np.float32), "labels": np.array(["cat", "cat"]),
           "scores": np.array([0.9, 0.5], np.float32)}


D = [0.0, 0.6, 0.2, 0.9]
# Each case: images, score_threshold (None: the default), then the operating point, how it was
# chosen, OP, OR.
OPERATING_POINTS = {
    # All scores below 0.25. Pooled by score: hit, miss, hit, miss; F1 2/3, 1/2, 4/5, 2/3.
    "low-confidence model": ([([(A, "cat"), (B, "dog")],
                               [(A, "cat", 0.2), (C, "cat", 0.15), (B, "dog", 0.1), (D, "dog", 0.05)])],
                             None, 0.1, "best F1", 2 / 3, 1),
    "the same at a fixed 0.25": ([([(A, "cat"), (B, "dog")],
                                   [(A, "cat", 0.2), (C, "cat", 0.15), (B, "dog", 0.1), (D, "dog", 0.05)])],
                                 0.25, 0.25, "fixed", 0, 0),
    # Hit, miss, miss, hit over two images: F1 2/3 at 0.9 and again at 0.6; the higher wins.
    "tie": ([([(A, "cat")], [(A, "cat", 0.9), (C, "cat", 0.8)]), ([(B, "cat")], [(D, "cat", 0.7), (B, "cat", 0.6)])],
            "f1", 0.9, "best F1", 1, 0.5),
    "no detection": ([([(A, "cat")], [])], None, 0.25, "default", 0, 0),
    "no true positive": ([([(A, "cat")], [(C, "cat", 0.9)])], None, 0.25, "default", 0, 0),
}


class TestOperatingPoint:
    @pytest.mark.parametrize("case", OPERATING_POINTS.values(), ids=OPERATING_POINTS.keys())
    def test_chosen_per_pass(self, case):
        images, threshold, point, rule, precision, recall = case
        evaluator = DetectionEvaluator(None, CLASSES, **({} if threshold is None else {"score_threshold": threshold}))
        evaluator(None)
        for i, (gt, dt) in enumerate(images):
            evaluator.single_evaluation(instances(gt, dt, f"img{i}.jpg"), 1, False)
        metrics = evaluator.conclude(None)
        assert (evaluator.operating_point, evaluator.operating_point_rule) == (pytest.approx(point), rule)
        assert (metrics["OP"], metrics["OR"]) == pytest.approx((precision, recall))
        # The per-class counts are taken at the same point.
        assert sum(v["TP"] for v in evaluator.per_class.values()) == round(recall * len(sum((g for g, _ in images), [])))

    def test_images_are_drawn_at_the_previous_passs_point_which_also_goes_to_tensorboard(self):
        class Writer:
            def __init__(self):
                self.calls = []

            def publish_detections(self, *args, normalized, min_score):
                self.calls.append(("image", min_score))

            def publish_scalar(self, tag, value, step):
                self.calls.append((tag, value, step))

            def flush(self):
                pass

        evaluator = DetectionEvaluator(None, CLASSES)
        assert evaluator.score_threshold == "f1" and evaluator.operating_point is None
        writer = Writer()
        gt, dt = [(A, "cat")], [(A, "cat", 0.125), (C, "cat", 0.5)]
        for epoch in (1, 2):
            evaluator(writer)
            evaluator.conclude(evaluator.single_evaluation(instances(gt, dt), epoch, True), epoch=epoch)
        assert writer.calls == [("image", 0.25), ("operating-point score", 0.125, 1),
                                ("image", 0.125), ("operating-point score", 0.125, 2)]


class TestInputErrors:
    @pytest.mark.parametrize("part, key, value, message", [
        ("gt_instance", "boxes", np.zeros((2, 5)), r"gt_instance\['boxes'\] must have shape \(N, 4\).*\(2, 5\)"),
        ("dt_instance", "boxes", np.zeros(8), r"dt_instance\['boxes'\] must have shape \(N, 4\).*\(8,\)"),
        ("dt_instance", "boxes", np.array([A, [0, np.nan, 1, 1]]), r"dt_instance\['boxes'\] holds a non-finite"),
        ("gt_instance", "labels", np.array(["cat", "zebra"]), r"gt_instance\['labels'\] holds 'zebra'.*not in classes"),
        ("dt_instance", "labels", np.array(["cat", 3]), r"dt_instance\['labels'\] holds '3'.*not in classes"),
        ("gt_instance", "labels", np.array(["cat"]), r"gt_instance\['labels'\] holds 1 entries but .*2 boxes"),
        ("dt_instance", "scores", np.array([0.9]), r"dt_instance\['scores'\] holds 1 entries but .*2 boxes"),
        ("dt_instance", "scores", np.array([0.9, np.inf]), r"dt_instance\['scores'\] holds a non-finite"),
    ])
    def test_bad_arrays_name_the_image_and_the_array(self, part, key, value, message):
        evaluator = DetectionEvaluator(None, CLASSES)
        evaluator(None)
        data = {"gt_instance": dict(GOOD_GT, image_path="street_07.jpg"), "dt_instance": dict(GOOD_DT)}
        data[part][key] = value
        with pytest.raises(ValueError, match=r"^image 'street_07.jpg': " + message):
            evaluator.single_evaluation(data, 1, False)

    def test_conclude_needs_an_evaluation_of_the_current_pass(self):
        evaluator = DetectionEvaluator(None, CLASSES)
        with pytest.raises(RuntimeError, match="without any single_evaluation"):
            evaluator.conclude(None, epoch=1)
        evaluator(None)
        old = evaluator.single_evaluation(instances([(A, "cat")], []), 1, False)
        evaluator.conclude(old, epoch=1)
        evaluator(None)
        with pytest.raises(RuntimeError, match="without any single_evaluation"):
            evaluator.conclude(old, epoch=2)
        evaluator.single_evaluation(instances([], []), 2, False)
        with pytest.raises(ValueError, match="not the state of the current validation pass"):
            evaluator.conclude(old, epoch=2)

    def test_publishing_needs_a_writer(self):
        evaluator = DetectionEvaluator(None, CLASSES)
        with pytest.raises(RuntimeError, match="'img.jpg' but there is no writer"):
            evaluator.single_evaluation(instances([(A, "cat")], []), 1, True)

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(classes=("cat",)), TypeError, "Argument 'classes' has incorrect type"),
        (dict(classes=[]), ValueError, "classes is empty"),
        (dict(classes=["cat", "cat"]), ValueError, "'cat' twice"),
        (dict(classes=CLASSES, iou_thresholds=[0.5, 0.6]), ValueError, "must hold 0.75"),
        (dict(classes=CLASSES, iou_thresholds=[0.5, 0.75, 1.5]), ValueError, r"\(0, 1\]"),
        (dict(classes=CLASSES, score_threshold="high"), ValueError, "'score_threshold' must be \"f1\" or .*'high'"),
        (dict(classes=CLASSES, score_threshold=[0.5]), TypeError, "'score_threshold'"),
    ])
    def test_bad_construction(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            DetectionEvaluator(None, **kwargs)


class TestThroughTheTrainer:
    """A tiny real detector following the runner's contract, trained and validated by the trainer."""

    SIZE = 32  # model input; anchors are the 8 x 8 cells of a 4 x 4 grid

    def make_model(self, num_classes):
        cells = [[x, y, x + 8, y + 8] for y in range(0, self.SIZE, 8) for x in range(0, self.SIZE, 8)]
        inputs = tf.keras.Input((None, None, 3))
        peak = tf.keras.layers.GlobalMaxPooling2D()(inputs)
        features = tf.keras.layers.GlobalAveragePooling2D()(
            tf.keras.layers.Conv2D(4, 3, padding="same", activation="relu")(inputs))
        anchors = tf.keras.layers.Dense(len(cells) * 4, kernel_initializer="zeros", trainable=False,
                                        bias_initializer=tf.keras.initializers.Constant(np.ravel(cells)))(features)
        logits = tf.keras.layers.Dense(len(cells) * num_classes)(features)
        boxes = tf.keras.layers.Reshape((len(cells), 4))(anchors)
        scores = tf.keras.layers.Activation("sigmoid")(tf.keras.layers.Reshape((len(cells), num_classes))(logits))
        return tf.keras.Model(inputs, [peak, features, boxes, scores])

    class ScoreLoss:
        def compute_loss(self, targets, outputs):
            loss = tf.reduce_mean(tf.square(outputs[3] - 0.6))
            return {"total-loss": loss}

    def test_summary_improvement_line_and_published_images(self, tmp_path, capsys):
        from events import image_summaries, scalar_points
        from models import CLASSES, STEP_KEYS, SUMMARY_KEYS, make_train_dataset, make_trainer
        from orvane.validator.runners import DetectionRunner

        model = self.make_model(len(CLASSES))
        trainer = make_trainer(tmp_path, model=model, loss=self.ScoreLoss(), metric="map", display=2,
                               metric_names=SUMMARY_KEYS + STEP_KEYS[:1])
        # Grey 40 x 40 images (letter-boxed to 32 x 32 without padding); each object is a grid cell
        # widened by one model pixel on every side (IoU 0.64 with its anchor).
        n = 3
        images = np.full((n, 40, 40, 3), 128, np.uint8)
        cells = [(1, 1, 0), (2, 0, 1), (3, 3, 2)]
        boxes = np.array([[[(8 * cx - 1) / 32, (8 * cy - 1) / 32, (8 * cx + 9) / 32, (8 * cy + 9) / 32, cls]]
                          for cx, cy, cls in cells], np.float32)
        names = np.array([f"val_{i}.jpg".encode() for i in range(n)])
        val_ds = tf.data.Dataset.from_tensor_slices((images, boxes, names)).batch(1)
        evaluator = DetectionEvaluator(DetectionRunner(model, (self.SIZE, self.SIZE), list(CLASSES)), list(CLASSES))

        trainer.train(1, make_train_dataset(4, size=(32, 32)), val_ds, evaluator)

        out = capsys.readouterr().out
        assert "\t - [INFO] Saving model with improvement in map from 0.0 to " in out
        with open(os.path.join(trainer.checkpoint, "summary.csv"), newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        assert [row["epoch"] for row in rows] == ["0", "1"]
        values = [float(row[key]) for row in rows for key in SUMMARY_KEYS]
        assert all(0 <= v <= 100 for v in values) and float(rows[0]["mAP@0.5"]) > 0

        published = image_summaries(trainer.logger.storage)
        assert [(step, tag) for step, tag, _ in published] == [(1, "val_0.jpg"), (1, "val_1.jpg")] * 2
        for _, _, image in published:
            pixels = {tuple(p) for p in image.reshape(-1, image.shape[-1])[:, :3]}
            assert image.shape[:2] == (40, 40) and {(0, 255, 0), (255, 0, 0)} <= pixels  # truth, detections
        points = [(step, tag) for step, tag, _ in scalar_points(trainer.logger.storage)
                  if tag == "operating-point score"]
        assert points == [(1, "operating-point score")] * 2 and evaluator.operating_point_rule == "best F1"
