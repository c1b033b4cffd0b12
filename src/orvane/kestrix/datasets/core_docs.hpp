// The docstrings of orvane.kestrix.datasets.core (included by core.cpp only).
#pragma once

namespace {

constexpr const char* kClassDoc = R"doc(Base class of the detection datasets.

A subclass provides the hooks ``validate_info_file_content``, ``load_storage``,
``build_and_load_base_iterator`` and ``load_instance``; the base reads the
dataset descriptor, drives the hooks in order on construction and builds the
batched training and validation pipelines on them.

Training elements are ``(images, boxes)``: uint8 ``[B, H, W, 3]`` with
``(H, W) = shape[:2]`` and float32 ``[B, N, 5]`` rows ``x1, y1, x2, y2, class``
in pixels, padded with zero rows to the largest box count of the batch.
Validation elements are ``(images, boxes, names)``: images at their stored
size, boxes normalised to 0..1 and the image names as strings.

Augmentation (``aug_cfg``) applies to training samples only, after
``load_instance``, on the batch in C++ (the GIL released). ``aug_cfg`` is None
or a dict; None or ``{}`` means no augmentation. Its keys:

- ``"mosaic"``: frequency (0..1) of a mosaic, applied first: the sample and
  three images drawn from its batch, each at half size, meet at a random point
  of the middle half of the image; the dataset attribute ``mosaic_enabled``
  (true when absent) switches it off from the next batch loaded (as for the
  last epochs of a run);
- ``"flip"``: frequency of a horizontal flip;
- ``"hsv"``: frequency of a colour jitter: hue shifted by up to 1.5% of the
  circle, saturation times 0.5..1.5, value (brightness) times 0.7..1.3;
- ``"scale"``: frequency of a random scale and translation: zoom 0.7..1.3
  about the image centre and a shift of up to 15% of the image size on each
  axis, the uncovered pixels grey (114);
- ``"seed"``: an integer for repeatable augmentation (each epoch still
  differs), or None.

A frequency is the probability that a sample gets the technique; 0 leaves
every sample as ``load_instance`` made it. The boxes move with the pixels: they
are mirrored, scaled and shifted, clipped to the image, and dropped when they
leave it (less than a fifth of the box, or a side under 2 pixels, remains
inside). A sample left without boxes carries one all-zero row; rows without
area (padding) are not augmented.

Example: ``aug_cfg={"flip": 0.5, "hsv": 0.5, "scale": 0.5, "seed": 0}``.
)doc";

constexpr const char* kInitDoc = R"doc(Sets the dataset up.

Stores ``shape``, ``letter_box``, ``class_offset`` (1 when ``add_bkg_class`` is
true, else 0) and ``aug_cfg``, creates empty ``train_storage`` and
``val_storage`` lists, then calls ``validate_info_file(info_file)``,
``validate_info_file_content(descriptor)`` and ``load_storage()`` in that order.

Args:
    info_file: path of the dataset descriptor YAML file (None when a subclass
        supplies the descriptor through ``validate_info_file``).
    shape: output shape ``[height, width]`` or ``[height, width, 3]`` of
        training images (the samples are RGB; other channel counts are a
        ValueError).
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: reserve class number 0 for a background class.
    aug_cfg: augmentation of the training samples (see the class docstring),
        a dict or None; checked here.

Raises:
    ValueError: "[ERROR]: ..." naming the key of ``aug_cfg`` that is unknown or
        whose frequency is not a number in 0..1 (or whose seed is not an
        integer), before any hook runs.
    TypeError: ``aug_cfg`` is neither a dict nor None.
)doc";

constexpr const char* kValidateInfoFileDoc = R"doc(Reads the dataset descriptor YAML file.

Args:
    info_file: path of the descriptor file.

Returns:
    The descriptor as a dictionary.

Raises:
    ValueError: "[ERROR]: ..." naming the file when it is not given, does not
        exist, is not a regular file (a named pipe is never read), cannot be
        read or parsed, or does not hold a mapping.
)doc";

constexpr const char* kValidateContentDoc = R"doc(Checks the descriptor and sets the class list, counts and storage paths.

Must be overridden by a subclass.

Args:
    info_dataset: the descriptor dictionary returned by ``validate_info_file``.
)doc";

constexpr const char* kLoadStorageDoc = R"doc(Expands the storage paths into the lists ``train_storage`` and ``val_storage``.

Must be overridden by a subclass.
)doc";

constexpr const char* kBaseIteratorDoc = R"doc(Opens a dataset of raw elements over a storage list.

Must be overridden by a subclass.

Args:
    storage: ``train_storage`` or ``val_storage``.
    shuffle: shuffle the elements.

Returns:
    A ``tf.data.Dataset`` whose elements ``load_instance`` accepts.
)doc";

constexpr const char* kLoadInstanceDoc = R"doc(Turns one raw element into one sample, on concrete values.

Must be overridden by a subclass.

Args:
    data: one element of ``build_and_load_base_iterator``.
    training: training sample (image, boxes) when true, validation sample
        (image, boxes, name) when false.

Returns:
    The sample tuple.
)doc";

constexpr const char* kTrainIteratorDoc = R"doc(Builds the shuffled, batched and prefetched training pipeline.

Each element of ``build_and_load_base_iterator(train_storage, shuffle=True)``
goes through ``load_instance(element, training=True)`` on concrete values
(through ``tf.numpy_function``, one call per batch, batches loaded in
parallel); images are stacked and boxes padded with zero rows to the largest
box count of the batch, and augmented as ``aug_cfg`` says (the settings are
read now). While ``load_instance`` is the reader's own, the reader may load
the whole batch itself, straight into the batch, with the same samples as a
result. The last batch may be smaller. A sample whose image is
not uint8 ``shape[:2] + [3]`` or whose boxes are not ``[N, 5]`` stops the
pipeline with an error naming its position in the batch.

Args:
    batch_size: images per batch (a positive integer).
    prefetch: number of batches kept ready; None lets TensorFlow tune it.

Returns:
    A ``tf.data.Dataset`` of ``(images uint8 [B, H, W, 3], boxes float32 [B, N, 5])``.

Raises:
    ValueError: for a batch size below 1, a ``shape`` without height and width,
        or an invalid ``aug_cfg``.
)doc";

constexpr const char* kValIteratorDoc = R"doc(Builds the validation pipeline (in storage order, not shuffled).

Each element goes through ``load_instance(element, training=False)``. Images
keep their stored size, so all images of one batch must share a size: with a
batch size above 1, images of different sizes in one batch stop the pipeline
with an error that says so (``tf.errors.InvalidArgumentError`` when iterated).
Boxes are padded with zero rows to the largest box count of the batch.

Args:
    batch_size: images per batch (a positive integer; 1 by default).

Returns:
    A ``tf.data.Dataset`` of ``(images uint8 [B, h, w, 3], boxes float32 [B, N, 5], names string [B])``.

Raises:
    ValueError: for a batch size below 1.
)doc";

}  // namespace
