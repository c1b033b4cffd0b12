// The docstrings of orvane.kestrix.datasets.coco (included by coco.cpp only).
#pragma once

namespace {

constexpr const char* kYamlClassDoc = R"doc(COCO detection dataset described by a YAML file.

Descriptor layout::

    type: coco
    classes: [name, ...]        # optional: every category, in id order
    train:
      images: folder the file names of the COCO file are relative to
      annotations: the training COCO instances file (.json)
    validation:
      images: folder of the validation images
      annotations: the validation COCO instances file

Class numbers are positions in ``classes`` (plus the class offset), whatever
the category ids; ``category_ids`` keeps the ids of the classes in order and
``image_ids`` maps each validation image name (its ``file_name``) to its id,
for results files. With ``classes`` given, only those categories are kept
(by name) and the others left out. Images without annotations are background
samples; crowd annotations (``iscrowd: 1``) are never training targets and
are the ignore regions of validation samples. Boxes reaching out of the
image are clipped and boxes without area dropped.
)doc";

constexpr const char* kDictClassDoc = R"doc(COCO detection dataset described by a dictionary.

The caller's dictionary is kept as ``info_dataset`` and tagged in place with
``type`` = "coco", so it needs no ``type`` of its own.
)doc";

constexpr const char* kYamlInitDoc = R"doc(Builds the dataset from a descriptor file.

Both COCO files are parsed here; every image they list must exist.

Args:
    info_file: path of the dataset descriptor YAML file.
    shape: output shape ``[height, width, ...]`` for the dataset.
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: add a "background" label as class 0.
    aug_cfg: frequency of occurrence of each augmentation technique.

Raises:
    TypeError: ``info_file`` not a str, ``shape`` not a list or ``aug_cfg`` not
        a dict (None is accepted for each).
    ValueError: "[ERROR]: ..." for an invalid descriptor, a COCO file with a
        fault (naming the file and the image, annotation or category), a
        missing image file or a split without images.
)doc";

constexpr const char* kDictInitDoc = R"doc(Builds the dataset from a descriptor dictionary.

Args:
    info_dataset: the descriptor; updated in place with ``type`` = "coco".
    shape, letter_box, add_bkg_class, aug_cfg: as for CocoDatasetYaml.
)doc";

constexpr const char* kValidateContentDoc = R"doc(Checks the descriptor and stores the split paths.

Raises:
    ValueError: "[ERROR]: ..." for a ``type`` other than coco, a ``classes``
        that is not a non-empty list of names, or a split section without
        ``images`` and ``annotations``.
)doc";

constexpr const char* kLoadStorageDoc = R"doc(Parses both COCO files into the storage lists.

Sets ``classes`` (from the training file's categories unless the descriptor
names them), ``category_ids``, ``image_ids``, ``train_storage`` and
``val_storage`` (``[image path, image number]`` per image, in file order)
and the sample counts.
)doc";

constexpr const char* kCheckDoc = R"doc(Reads a COCO dataset without building it and reports.

Returns:
    dict: ``{"classes": [...], "train": split, "validation": split}``, each
    split with ``images``, ``paired`` (images whose file is sound),
    ``boxes`` (scored boxes), ``background``, ``crowd``, ``clipped``,
    ``dropped``, ``left_out`` (of categories outside ``classes``) and
    ``broken``: one ``{"file", "reason"}`` per fault of the COCO file
    (naming the image, annotation or category) or broken image file.
)doc";

constexpr const char* kReadAnnotationsDoc = R"doc(The parsed content of one COCO instances file, as arrays.

Args:
    path: the COCO file.
    classes: category names to keep, in class order (default: all, in id
        order).

Returns:
    dict: ``classes``, ``category_ids``, ``image_ids`` (int64 [I]),
    ``file_names``, ``sizes`` (float64 [I, 2], width and height, 0 when not
    given), ``first`` (int64 [I + 1]: the boxes of image i are rows
    first[i]..first[i+1]), ``boxes`` (float64 [B, 4], x, y, width, height,
    clipped), ``labels`` (int64 [B], class positions), ``crowd`` (bool [B])
    and the counts ``clipped``, ``dropped`` and ``left_out``.

Raises:
    ValueError: "[ERROR]: COCO file '...': ..." naming the first fault.
)doc";

}  // namespace
