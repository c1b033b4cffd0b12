"""Losses: the loss base class, the segmentation loss and the detection loss."""
