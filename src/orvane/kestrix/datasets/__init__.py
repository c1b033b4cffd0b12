"""Detection datasets: the dataset core, image helpers and the TFRecord and Darknet readers."""
