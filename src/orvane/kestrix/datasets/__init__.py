"""Detection datasets: the dataset core, image helpers and the TFRecord, Darknet, COCO and VOC readers."""
