// The docstrings of orvane.kestrix.datasets.darknet (included by darknet.cpp
// only).
#pragma once

namespace {

constexpr const char* kYamlClassDoc = R"doc(Darknet detection dataset described by a YAML file.

Descriptor layout (absolute folder paths as values)::

    type: darknet
    classes: ['class 1', 'class 2', ..., 'class n']
    train:
      images: folder with the training images
      annotations: folder with the training annotation files
    validation:
      images: folder with the validation images
      annotations: folder with the validation annotation files

Each image ``<stem>.png``, ``.jpg`` or ``.jpeg`` (any letter case) pairs with
the annotation file ``<stem>.txt``: one box per line, ``class x_centre
y_centre width height`` with the coordinates as fractions of the image size,
``#`` comments and blank lines allowed; an empty file marks an image without
objects.
)doc";

constexpr const char* kDictClassDoc = R"doc(Darknet detection dataset described by a dictionary.

The caller's dictionary is kept as ``info_dataset`` and tagged in place with
``type`` = "darknet", so it needs no ``type`` of its own.
)doc";

constexpr const char* kYamlInitDoc = R"doc(Builds the dataset from a descriptor file.

Args:
    info_file: path of the dataset descriptor YAML file.
    shape: output shape ``[height, width, ...]`` for the dataset.
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: add a "background" label as class 0, so that the model has
        one class more than the dataset (reduces background false positives).
    aug_cfg: frequency of occurrence of each augmentation technique.

Raises:
    TypeError: ``info_file`` not a str, ``shape`` not a list or ``aug_cfg`` not
        a dict (None is accepted for each).
    ValueError: "[ERROR]: ..." for an invalid descriptor or a split without samples.
)doc";

constexpr const char* kDictInitDoc = R"doc(Builds the dataset from a descriptor dictionary.

Args:
    info_dataset: the descriptor; updated in place with ``type`` = "darknet".
    shape: output shape ``[height, width, ...]`` for the dataset.
    letter_box: letter-box training images (True) or resize them (False).
    add_bkg_class: add a "background" label as class 0.
    aug_cfg: frequency of occurrence of each augmentation technique.

Raises:
    TypeError: ``info_dataset`` or ``aug_cfg`` not a dict, ``shape`` not a list.
    TypeError: ``info_dataset`` is None (the message names it).
    ValueError: "[ERROR]: ..." for an invalid descriptor or a split without samples.
)doc";

constexpr const char* kValidateContentDoc = R"doc(Checks the descriptor and stores the class list and the four folders.

Sets ``classes`` (with "background" first when ``class_offset`` > 0),
``path_train_images``, ``path_train_annotations``, ``path_val_images`` and
``path_val_annotations``. Each split's paths are stored before they are
checked. The folders are not looked at here.

Args:
    info_dataset: the descriptor dictionary.

Raises:
    TypeError: ``info_dataset`` is not a dict; ``classes`` is missing.
    AttributeError: ``info_dataset`` is None, ``type`` is missing or not a
        string, or the ``train`` or ``validation`` section is missing.
    ValueError: "[ERROR]: ..." for a ``type`` other than darknet (in any
        letter case), no classes, or a split without ``images`` or
        ``annotations``.
)doc";

constexpr const char* kLoadStorageDoc = R"doc(Pairs the images of each split with their annotation files.

Lists each image folder once (its name taken literally) and keeps the
``*.png``, ``*.jpg`` and ``*.jpeg`` files (extension in any letter case; all
PNG, then JPG, then JPEG, each in directory order; hidden files left out)
whose annotation file ``<stem>.txt`` exists in the annotation folder. Appends
``[image path, annotation path]`` to ``train_storage`` and ``val_storage`` and
sets ``num_train_samples`` and ``num_val_samples`` to their lengths. Images
without an annotation file are skipped silently (``check_dataset`` lists
them). No file is opened.

Raises:
    TypeError: a folder path is None (the descriptor was not validated).
    ValueError: "[ERROR]: Dataset with empty training samples is not allowed"
        (the validation split is then not scanned), or the same for the
        validation split.
)doc";

constexpr const char* kBaseIteratorDoc = R"doc(Opens a dataset over a list of sample pairs.

Args:
    storage: list of ``[image path, annotation path]`` pairs.
    shuffle: shuffle with a buffer as long as ``storage`` (a full shuffle).

Returns:
    A ``tf.data.Dataset`` of string tensors of two items.

Raises:
    TypeError: ``storage`` is not a list.
)doc";

constexpr const char* kLoadInstanceDoc = R"doc(Turns one sample pair into one sample.

The image is read with Pillow and converted to RGB (grayscale, palette, RGBA
and CMYK images included; EXIF orientation is not applied, as the boxes refer
to the stored pixels); for validation, a complete grayscale or YCbCr JPEG is
decoded by OpenCV instead, to the same pixels, without the GIL. Training:
the image letter-boxed (``letter_box`` true) or resized to ``shape[:2]``,
with float32 boxes ``[N, 5]`` (x1, y1, x2, y2 in pixels of the output image,
clipped to it, then the class id plus ``class_offset``). A training JPEG is decoded at a reduced scale when the
output is at most half its size; it is letter-boxed with the placement its
stored size gets, so the padding and the boxes are those of full decoding.
Validation: the image as stored, the corners as fractions of its width and
height clipped to 0..1, and the image's file name as third item. An annotation file without boxes gives one all-zero row (no
class offset).

Args:
    data: ``(image path, annotation path)`` as bytes or str, or a string
        tensor of two items.
    training: training sample when true, validation sample when false.

Returns:
    ``(image, boxes)`` or ``(image, boxes, name)``.

Raises:
    ValueError: "[ERROR]: ..." when ``data`` is not a pair, the image cannot
        be read (naming the file), the annotation file cannot be read, or a
        line of it is malformed (naming the file and the line): a value that
        is not a finite number, a line without exactly five values, a class
        id that is not a whole number or not one of the dataset's classes.
)doc";

constexpr const char* kCheckDoc = R"doc(Reads every file of a Darknet dataset, without training, and reports.

Both splits are scanned as the dataset scans them; then every listed image's
header is read (and the file checked for being cut off) and every paired
annotation file parsed, on all cores, behind a progress bar.

Args:
    descriptor: the descriptor dictionary (``type`` may be left out; the
        dictionary is not changed) or the path of its YAML file.

Returns:
    dict: ``{"classes": [...], "train": split, "validation": split}`` where
    each split is a dict with
        ``images``: number of image files listed,
        ``paired``: images with an annotation file (the samples a dataset gets),
        ``boxes``: boxes in the sound annotation files,
        ``without_annotation``: image paths without an annotation file,
        ``without_image``: annotation paths (``*.txt``) no image pairs with,
        ``background``: annotation paths without boxes (background images),
        ``broken``: one ``{"file": path, "reason": text}`` per broken file
        (a folder missing or that cannot be listed; unreadable or truncated
        image, or one larger than Pillow decodes; annotation file unreadable
        or not a regular file, with a malformed line, a class id outside the
        classes, or coordinates that are not finite or outside 0..1, with the
        line number),
        ``skipped``: image paths that are not regular files (named pipes,
        sockets, devices), left out of the dataset.

Raises:
    TypeError: ``descriptor`` is neither a dict nor a str.
    ValueError, AttributeError: for an invalid descriptor, as the dataset
        classes raise them; a class list the readers cannot use (see the
        dataset classes), a class named "background" included.
)doc";

constexpr const char* kReadImageDoc = R"doc(Reads an image file as the validation pipeline does.

JPEG and PNG images and whatever else Pillow opens, converted to RGB; 16-bit
grayscale images are scaled to 8 bits (their high byte), not clipped.

Args:
    path: the image file (str or path-like).

Returns:
    uint8 array ``[H, W, 3]``.

Raises:
    ValueError: the file cannot be read or decoded (the message names it).
)doc";

}  // namespace
