// The docstrings of orvane.kestrix.datasets.tfrecord (included by tfrecord.cpp
// only).
#pragma once

namespace {

constexpr const char* kYamlClassDoc = R"doc(TFRecord detection dataset described by a YAML file.

The descriptor names the class list and, per split, the folder that holds the
split's ``*.tfrecord`` shards (``path``, or ``images`` in the older layout
without ``type``) and optionally its number of samples (``samples``). The
pipeline accessors check the shards of a split and count its samples when the
descriptor gave none (see ``build_train_iterator``).
)doc";

constexpr const char* kDictClassDoc = R"doc(TFRecord detection dataset described by a dictionary.

The caller's dictionary is kept as ``info_dataset`` and tagged in place with
``type`` = "tfrecord". The pipeline accessors check the shards of a split
and count its samples when the descriptor gave none (see
``build_train_iterator``).
)doc";

constexpr const char* kYamlInitDoc = R"doc(Builds the dataset from a descriptor file.

Args:
    info_file: path of the dataset descriptor YAML file.
    shape: output shape ``[height, width, ...]`` of training images.
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: reserve label 0 for a "background" class (the model then
        has one class more than the dataset).
    aug_cfg: frequency of each augmentation technique; passed to the base class.

Raises:
    TypeError: ``info_file`` not a str, ``shape`` not a list or ``aug_cfg`` not
        a dict (None is accepted for each).
    ValueError: "[ERROR]: ..." for an invalid descriptor or storage folder.
)doc";

constexpr const char* kDictInitDoc = R"doc(Builds the dataset from a descriptor dictionary.

Args:
    info_dataset: the descriptor; updated in place with ``type`` = "tfrecord".
    shape: output shape ``[height, width, ...]`` of training images.
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: reserve label 0 for a "background" class.
    aug_cfg: frequency of each augmentation technique; passed to the base class.

Raises:
    TypeError: ``info_dataset`` or ``aug_cfg`` not a dict, ``shape`` not a list.
    TypeError: ``info_dataset`` is None (the message names it).
    ValueError: "[ERROR]: ..." for an invalid descriptor or storage folder.
)doc";

constexpr const char* kValidateContentDoc = R"doc(Checks the descriptor and sets the dataset's attributes from it.

Sets, in this order, ``classes`` (with "background" first when
``class_offset`` > 0), ``num_train_samples``, ``num_val_samples``,
``train_storage`` and ``val_storage`` (the split folders). Attributes set
before a failing check keep their new values.

Args:
    info_dataset: the descriptor dictionary.

Raises:
    TypeError: ``info_dataset`` is not a dict.
    ValueError: "[ERROR]: ..." for a zero sample count, a sample count that
        is not a positive whole number, no classes, a ``type`` other than
        "tfrecord" or a split without its folder key.
)doc";

constexpr const char* kLoadStorageDoc = R"doc(Replaces each split folder by the list of its ``*.tfrecord`` files.

The match is non-recursive and case-sensitive, skips names that begin with a
dot, and keeps the order of ``glob.glob``.

Raises:
    ValueError: "[ERROR]: ..." naming a split folder that does not exist, or
        when either split holds no record file.
)doc";

constexpr const char* kBaseIteratorDoc = R"doc(Opens the serialized records of the listed files.

Args:
    storage: list of record file paths.
    shuffle: shuffle within a buffer of 200 records.

Returns:
    A ``tf.data.Dataset`` of scalar string tensors.

Raises:
    TypeError: ``storage`` is not a list.
)doc";

constexpr const char* kLoadInstanceDoc = R"doc(Turns one serialized record into one sample.

Training: the image letter-boxed (``letter_box`` true) or resized to
``shape[:2]``, with float32 boxes ``[N, 5]`` (x1, y1, x2, y2 in pixels of the
output image, clipped to it, then the label). Validation: the image at its
stored size, the corners divided by the stored width and height and clipped to
0..1, and the record's image name (bytes) as third item. Labels are the class
index plus ``class_offset``. A record without objects gives one all-zero row.
Images are decoded with three channels (grayscale JPEGs included) and the
stored pixel orientation (EXIF orientation is not applied, as the boxes refer
to the stored pixels). A training JPEG is decoded at a reduced scale (1/2,
1/4 or 1/8, read from its own header) when the output needs no more; it is
letter-boxed with the placement its stored size gets, so the padding and the
boxes are those of full decoding.

Args:
    data: one serialized record (bytes or a scalar string tensor).
    training: training sample when true, validation sample when false.

Returns:
    ``(image, boxes)`` or ``(image, boxes, image_name)``.

Raises:
    ValueError: "[ERROR]: ..." naming the record when its image does not
        decode or its ``objects`` and ``bboxes`` counts disagree.
)doc";

constexpr const char* kTrainIteratorDoc = R"doc(Training pipeline of the base class, with the training shards checked.

Before the pipeline is handed out, the records of ``train_storage`` are
counted from their framing with every CRC checked (no image is decoded; the
count is kept, so later calls on unchanged shards do not read them again).
A ``num_train_samples`` of None or 0 becomes that count; a given count that
differs from it is kept and reported with a warning.

Args:
    batch_size: images per batch.
    prefetch: number of batches kept ready.

Returns:
    The pipeline built by ``BaseDetectionDataset.build_train_iterator``.

Raises:
    ValueError: "[ERROR]: ..." naming the file, the record and its byte
        offset when a shard is truncated or corrupt, or when the shards hold
        no record while the descriptor gave no count.
)doc";

constexpr const char* kValIteratorDoc = R"doc(Validation pipeline of the base class, with the validation shards checked.

As ``build_train_iterator``, for ``val_storage`` and ``num_val_samples``.

Args:
    batch_size: images per batch.

Returns:
    The pipeline built by ``BaseDetectionDataset.build_val_iterator``.

Raises:
    ValueError: "[ERROR]: ..." for a damaged or empty validation split.
)doc";

}  // namespace
