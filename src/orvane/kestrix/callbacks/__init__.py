"""Training callbacks: the TensorBoard metrics logger."""
