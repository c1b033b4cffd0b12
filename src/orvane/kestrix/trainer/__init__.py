"""The detection training driver (``DetectionTrainer``)."""
