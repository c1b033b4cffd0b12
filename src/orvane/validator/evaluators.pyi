"""Validation evaluator of detection models: COCO-style mAP and mAR, accuracy and overall precision/recall."""
from typing import Any, Optional, Sequence, Union

# The twelve columns of a validation summary (summary.csv after "epoch"), in order.
SUMMARY_KEYS: tuple[str, ...]

def summary_percentages(metrics: dict[str, Any]) -> dict[str, float]:
    """The twelve percentages of a metrics dictionary, named and ordered as ``SUMMARY_KEYS``."""

def summary_key(metric: Any) -> str:
    """The summary column that picks the best checkpoint: "map" -> mAP@0.5, "acc" -> mACC@0.5, else mAR@0.5."""

class EvaluationState:
    """The accumulated matches of one validation pass (what ``single_evaluation`` returns)."""

    @property
    def images(self) -> int: ...

class DetectionEvaluator:
    """Scores a detector image by image over a validation pass (formulas in ``help()``)."""

    runner: Any
    classes: list
    score_threshold: Union[float, str]  # "f1": each pass's best-F1 score threshold; a number: fixed
    operating_point: Optional[float]  # the score threshold of the last concluded pass
    operating_point_rule: Optional[str]  # "best F1", "fixed" or "default" (0.25: "f1" found no true positive)
    iou_thresholds: tuple[float, ...]
    writer: Any  # orvane.validator.writers.TrainingTensorBoardWriter, None before the first pass
    # Per class name: ground_truth, detections, AP/AR/ACC families, TP/FP/FN at IoU 0.5 and the
    # operating point of the pass, and precision = TP/(TP+FP), recall = TP/(TP+FN) of those counts (0 for 0/0).
    per_class: dict[Any, dict[str, Any]]

    def __init__(
        self,
        runner: Any,
        classes: list,
        score_threshold: Union[float, str] = "f1",
        iou_thresholds: Optional[Sequence[float]] = None,
    ) -> None: ...
    def __call__(self, writer: Any) -> None: ...
    def single_evaluation(self, instances: dict, epoch: Any, add_image: bool) -> EvaluationState: ...
    def conclude(self, truth_values: Optional[EvaluationState], epoch: Any = None) -> dict[str, Any]: ...
