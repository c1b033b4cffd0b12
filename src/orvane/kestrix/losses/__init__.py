"""Losses: the loss base class and the segmentation loss."""
