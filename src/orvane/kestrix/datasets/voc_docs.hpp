// The docstrings of orvane.kestrix.datasets.voc (included by voc.cpp only).
#pragma once

namespace {

constexpr const char* kYamlClassDoc = R"doc(Pascal VOC detection dataset described by a YAML file.

Descriptor layout::

    type: voc
    classes: [name, ...]          # required: object names, in class order
    keep_difficult: false         # optional: train on difficult objects too
    train:
      images: folder of the training images
      annotations: folder of the "<stem>.xml" files
      list: optional file of image stems, one a line (ImageSets/Main/train.txt)
    validation:
      images: ...
      annotations: ...
      list: ...

Without ``list`` every ``*.xml`` of the annotation folder is a sample, in
name order; each pairs with the image ``<stem>.jpg`` (or ``.jpeg``, ``.png``,
any letter case). ``bndbox`` corners are taken as pixel coordinates as
written. Difficult objects are the ignore regions of validation samples and
are left out of training unless ``keep_difficult`` is true. Boxes reaching
out of the image (its ``size``) are clipped, boxes without area dropped.
)doc";

constexpr const char* kDictClassDoc = R"doc(Pascal VOC detection dataset described by a dictionary.

The caller's dictionary is kept as ``info_dataset`` and tagged in place with
``type`` = "voc", so it needs no ``type`` of its own.
)doc";

constexpr const char* kYamlInitDoc = R"doc(Builds the dataset from a descriptor file.

Every annotation file of both splits is parsed here.

Args:
    info_file: path of the dataset descriptor YAML file.
    shape: output shape ``[height, width, ...]`` for the dataset.
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: add a "background" label as class 0.
    aug_cfg: frequency of occurrence of each augmentation technique.

Raises:
    TypeError: ``info_file`` not a str, ``shape`` not a list or ``aug_cfg`` not
        a dict (None is accepted for each).
    ValueError: "[ERROR]: ..." for an invalid descriptor, an annotation file
        that does not parse, names an object outside ``classes`` or has a
        missing or malformed ``bndbox`` (naming the file and the object), a
        stem without image or annotation file, or a split without samples.
)doc";

constexpr const char* kDictInitDoc = R"doc(Builds the dataset from a descriptor dictionary.

Args:
    info_dataset: the descriptor; updated in place with ``type`` = "voc".
    shape, letter_box, add_bkg_class, aug_cfg: as for VocDatasetYaml.
)doc";

constexpr const char* kValidateContentDoc = R"doc(Checks the descriptor and stores the split paths.

Raises:
    ValueError: "[ERROR]: ..." for a ``type`` other than voc, no ``classes``,
        or a split section without ``images`` and ``annotations``.
)doc";

constexpr const char* kLoadStorageDoc = R"doc(Parses every annotation file into the storage lists.

Sets ``train_storage`` and ``val_storage`` (``[image path, image number]``
per sample, in list or name order) and the sample counts.
)doc";

constexpr const char* kCheckDoc = R"doc(Reads a VOC dataset without building it and reports.

Returns:
    dict: ``{"classes": [...], "train": split, "validation": split}``, each
    split with ``images``, ``paired`` (samples whose image file is sound),
    ``boxes`` (scored boxes), ``background``, ``difficult``, ``clipped``,
    ``dropped``, ``left_out`` (0) and ``broken``: one ``{"file", "reason"}``
    per annotation file that fails (every one, not only the first) or broken
    image file.
)doc";

}  // namespace
