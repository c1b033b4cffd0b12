"""The loss base: the protocol it documents and the hook it leaves open."""
import pytest

from orvane.kestrix.losses.core import KestrixLoss


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
