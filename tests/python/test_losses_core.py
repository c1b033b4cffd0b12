"""The loss base: the protocol it documents and the hook it leaves open."""
import pytest

from orvane.kestrix.losses.core import KestrixLoss, keras_loss, keras_metrics


class TestKestrixLoss:
    def test_subclass_without_compute_loss_names_itself(self):
        class Half(KestrixLoss):
            pass

        with pytest.raises(NotImplementedError, match="Half does not implement compute_loss"):
            Half().compute_loss(None, None)

    def test_takes_no_arguments_and_documents_the_protocol(self):
        with pytest.raises(TypeError):
            KestrixLoss(1)
        assert "total-loss" in KestrixLoss.__doc__ and KestrixLoss.__module__ == "orvane.kestrix.losses.core"


class Constant(KestrixLoss):
    def compute_loss(self, y_true, y_pred):
        return {"total-loss": y_pred * 2.0, "part-loss": y_pred}


class TestKerasAdapters:
    def test_entries_become_named_functions_and_metrics(self):
        loss = keras_loss(Constant())
        assert loss.__name__ == "total_loss" and loss(None, 1.5) == 3.0
        assert keras_loss(Constant(), entry="part-loss")(y_true=None, y_pred=1.5) == 1.5
        (metric,) = keras_metrics(Constant(), ["part-loss"])
        metric.update_state(0.0, 2.0)
        metric.update_state(0.0, 4.0)
        assert metric.name == "part-loss" and float(metric.result()) == 3.0

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda: keras_loss(object()), TypeError, "Argument 'loss' has no compute_loss"),
            (lambda: keras_loss(Constant(), None), TypeError, r"Argument 'entry' .* \(expected str, got NoneType\)"),
            (lambda: keras_metrics(Constant(), "part-loss"), TypeError, "Argument 'entries' has incorrect type"),
            (lambda: keras_loss(Constant(), "iou-loss")(None, 1.0), KeyError,
             r'Constant.compute_loss returned no "iou-loss" entry \(it has "total-loss", "part-loss"\)'),
        ],
    )
    def test_misuse_names_the_argument(self, call, error, message):
        with pytest.raises(error, match=message):
            call()
