"""orvane.validator: the validation package (TensorBoard writer, evaluator)."""
