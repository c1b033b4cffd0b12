// orvane.kestrix.datasets.darknet: detection datasets kept as a folder of
// images and a folder of text annotation files, one "<stem>.txt" per image
// with lines "class x_centre y_centre width height" (normalised).
//
// DarknetDatasetYaml reads its descriptor from a YAML file (through the base
// class), DarknetDataset takes the descriptor dictionary itself. Both check the
// descriptor, pair the images of each split with their annotation files, open
// the pipeline over the pairs and turn one pair into one training or
// validation sample. check_dataset() reads every file of a dataset without
// training and reports what it found.
//
// Thread-safety: load_instance and load_training_batch (its batch form)
// run on TensorFlow's worker threads (through the base class's
// tf.numpy_function bridge, which holds the GIL); they only
// read `shape`, `letter_box`, `class_offset` and `classes`. OpenCV and
// Pillow release the GIL while they decode, letterbox and OpenCV while they
// resize, and image and annotation files are read (and annotations parsed)
// here with the GIL released, so several samples load at once. Everything else runs on the caller's thread. Nothing
// in this module changes NumPy's floating-point error settings: the box
// arithmetic is done in C++.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "darknet/check.hpp"
#include "darknet/files.hpp"
#include "darknet/labels.hpp"
#include "darknet/scan.hpp"
#include "geometry/boxes.hpp"
#include "pyglue/glue.hpp"
#include "reader_glue.hpp"
#include "records/jpeg_info.hpp"

namespace py = pybind11;
namespace dn = kx::darknet;

namespace {

constexpr const char* kModuleName = "orvane.kestrix.datasets.darknet";

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
    AttributeError: ``info_dataset`` is None.
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
        (unreadable or truncated image; annotation file unreadable, with a
        malformed line, a class id outside the classes, or coordinates that
        are not finite or outside 0..1, with the line number).

Raises:
    TypeError: ``descriptor`` is neither a dict nor a str.
    ValueError, AttributeError: for an invalid descriptor, as the dataset
        classes raise them.
)doc";

// ---------------------------------------------------------------- paths

// A path argument as the bytes the file system sees (os.fspath + os.fsencode).
std::string native_path(py::handle value, const std::string& what) {
    static kx::Lazy fspath{"os", "fspath"};
    static kx::Lazy fsencode{"os", "fsencode"};
    if (value.is_none()) kx::raise(PyExc_TypeError, what + " must be a folder path, got None");
    std::string path = py::bytes(fsencode()(fspath()(value))).cast<std::string>();
    if (path.find('\0') != std::string::npos) kx::raise(PyExc_ValueError, what + " holds a null byte");
    return path;
}

py::str python_path(const std::string& path) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// A sample path given as bytes (from a tensor) or str.
py::str sample_path(py::handle value) {
    if (PyBytes_Check(value.ptr())) return python_path(py::bytes(py::reinterpret_borrow<py::object>(value)));
    if (PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    kx::raise(PyExc_TypeError, std::string("[ERROR]: A sample path must be bytes or str, got ") + Py_TYPE(value.ptr())->tp_name);
}

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// ---------------------------------------------------------------- descriptor

py::object validate_info_file_content(py::object self, py::object info_dataset) {
    kx::check_dict(info_dataset, "info_dataset");
    py::object get = info_dataset.attr("get");
    py::object kind = get("type");
    if (!py::str(kind.attr("lower")()).equal(py::str("darknet"))) {
        std::string message =
            py::str("[ERROR]: Incompatible dataset type was found: {} is different than ``darknet``").format(kind);
        kx::raise(PyExc_ValueError, message);
    }
    self.attr("classes") = get("classes");
    kx::datasets::prepend_background(self);
    if (py::len(self.attr("classes")) == 0)
        kx::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");

    py::object train = get("train");
    py::object validation = get("validation");
    struct Section {
        py::object value;
        const char* images;
        const char* annotations;
        const char* name;
    };
    for (const Section& section : {Section{train, "path_train_images", "path_train_annotations", "train"},
                                   Section{validation, "path_val_images", "path_val_annotations", "validate"}}) {
        py::object section_get = section.value.attr("get");
        self.attr(section.images) = section_get("images");
        self.attr(section.annotations) = section_get("annotations");
        if (self.attr(section.images).is_none() || self.attr(section.annotations).is_none())
            kx::raise(PyExc_ValueError, std::string("[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``") +
                                            section.name + "`` section");
    }
    return py::none();
}

// ---------------------------------------------------------------- storage

struct SplitNames {
    const char* images;
    const char* annotations;
    const char* storage;
    const char* count;
    const char* description;
    const char* empty_message;
};

constexpr SplitNames kTrainSplit{"path_train_images", "path_train_annotations", "train_storage", "num_train_samples",
                                 "loading training dataset",
                                 "[ERROR]: Dataset with empty training samples is not allowed"};
constexpr SplitNames kValSplit{"path_val_images", "path_val_annotations", "val_storage", "num_val_samples",
                               "loading validation dataset",
                               "[ERROR]: Dataset with empty validation samples is not allowed"};

py::object progress_bar(std::size_t total, const char* description) {
    static kx::Lazy tqdm{"tqdm", "tqdm"};
    return tqdm()(py::arg("total") = total, py::arg("desc") = description);
}

// Python's cyclic garbage collector switched off for a scope, as it was.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// prefix + name as a str; plain ASCII (the usual case) is copied straight
// into the new string, anything else decoded as the file system does.
py::str joined_path(const std::string& prefix, const std::string& name) {
    const std::size_t size = prefix.size() + name.size();
    bool ascii = true;
    for (const std::string* part : {&prefix, &name})
        for (unsigned char c : *part) ascii &= c < 0x80;
    if (!ascii) return python_path(prefix + name);
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (text == nullptr) throw py::error_already_set();
    char* out = static_cast<char*>(PyUnicode_DATA(text));
    std::memcpy(out, prefix.data(), prefix.size());
    std::memcpy(out + prefix.size(), name.data(), name.size());
    return py::reinterpret_steal<py::str>(text);
}

void scan_into_storage(py::object self, const SplitNames& split) {
    const std::string image_folder = native_path(self.attr(split.images), split.images);
    const std::string annotation_folder = native_path(self.attr(split.annotations), split.annotations);
    dn::SplitScan scan;
    {
        py::gil_scoped_release release;
        scan = dn::scan_split(image_folder, annotation_folder);
    }
    py::object storage = self.attr(split.storage);
    const bool plain_list = PyList_CheckExact(storage.ptr());
    py::object append = storage.attr("append");
    py::object bar = progress_bar(scan.images.size(), split.description);
    const std::string image_prefix = dn::join_path(image_folder, "");
    const std::string annotation_prefix = dn::join_path(annotation_folder, "");
    kx::with_context(bar, [&] {
        // The pairs are acyclic: collecting garbage while 100,000 of them are
        // made would only walk them again and again.
        const GcPause pause;
        for (std::size_t i = 0; i < scan.images.size(); ++i) {
            if (!scan.paired[i]) continue;
            py::list pair(2);
            PyList_SET_ITEM(pair.ptr(), 0, joined_path(image_prefix, scan.images[i]).release().ptr());
            PyList_SET_ITEM(pair.ptr(), 1, joined_path(annotation_prefix, scan.annotations[i]).release().ptr());
            if (!plain_list) {
                append(pair);
            } else if (PyList_Append(storage.ptr(), pair.ptr()) < 0) {
                throw py::error_already_set();
            }
        }
        bar.attr("update")(scan.images.size());
    });
    self.attr(split.count) = py::len(storage);
    if (py::len(storage) == 0) kx::raise(PyExc_ValueError, split.empty_message);
}

py::object load_storage(py::object self) {
    scan_into_storage(self, kTrainSplit);
    scan_into_storage(self, kValSplit);
    return py::none();
}

py::object build_and_load_base_iterator(py::object, py::object storage, py::object shuffle) {
    static kx::Lazy from_tensor_slices{"tensorflow", "data.Dataset.from_tensor_slices"};
    static kx::Lazy constant{"tensorflow", "constant"};
    static kx::Lazy tf_string{"tensorflow", "string"};
    kx::check_list(storage, "storage");
    py::object slices = storage;
    if (!storage.is_none() && py::len(storage) == 0)
        slices = constant()(py::list(), py::arg("dtype") = tf_string(), py::arg("shape") = py::make_tuple(0, 2));
    py::object dataset = from_tensor_slices()(slices);
    // A full shuffle: the elements are two short strings, so a buffer as long
    // as the list being shuffled costs next to nothing.
    if (truth(shuffle)) dataset = dataset.attr("shuffle")(std::max<std::size_t>(1, py::len(storage)));
    return dataset;
}

// ---------------------------------------------------------------- samples

// (image path, annotation path) from a pipeline element, a tensor, or a
// sequence of two paths.
std::pair<py::str, py::str> unpack_pair(py::object data) {
    static kx::Lazy ndarray{"numpy", "ndarray"};
    if (!py::isinstance(data, ndarray()) && py::hasattr(data, "numpy")) data = data.attr("numpy")();
    if (!PySequence_Check(data.ptr()) || PyBytes_Check(data.ptr()) || PyUnicode_Check(data.ptr()))
        kx::raise(PyExc_ValueError, std::string("[ERROR]: A sample must be a pair (image path, annotation path), got ") +
                                        Py_TYPE(data.ptr())->tp_name);
    py::sequence items = py::reinterpret_borrow<py::sequence>(data);
    if (items.size() != 2)
        kx::raise(PyExc_ValueError, "[ERROR]: A sample must be a pair (image path, annotation path), got " +
                                        std::to_string(items.size()) + " items");
    return {sample_path(items[0]), sample_path(items[1])};
}

// An image as read for a sample: RGB uint8 [H, W, 3], and the size it is
// stored at when it was decoded smaller (0 x 0 when decoded at full size).
struct ReadImage {
    py::array pixels;
    long stored_w = 0, stored_h = 0;
};

// A plain JPEG file decoded at full size by OpenCV, as RGB uint8 [H, W, 3],
// or nothing when the file is left to Pillow. Both the file read and the
// decode run without the GIL and the pixels are not copied afterwards (Pillow's
// conversion to an array holds the GIL and copies them twice), which about
// doubles the images per second of a validation pass's decoding. Plain means
// what both decoders turn into the same pixels: a complete stream (ending in
// its EOI marker, so a truncated file reaches Pillow, which refuses it) of one
// (grayscale) or three (YCbCr) components, within Pillow's pixel limit (so
// its decompression-bomb warning and error stay). A file that cannot be read,
// or that OpenCV refuses or decodes to another size, is left to Pillow too,
// which reports it. Training reads keep Pillow, whose draft mode decodes
// them at a reduced scale.
std::optional<py::array> read_plain_jpeg(const py::str& path) {
    static kx::Lazy image_module{"PIL", "Image"};
    static kx::Lazy imdecode{"cv2", "imdecode"};
    std::string file;
    try {
        file = native_path(path, "image path");
    } catch (py::error_already_set&) {
        return std::nullopt;
    }
    std::string bytes, error;
    bool readable = false;
    {
        py::gil_scoped_release release;
        readable = dn::read_file(file, &bytes, &error);
    }
    if (!readable || bytes.size() < 4) return std::nullopt;
    if (static_cast<unsigned char>(bytes[bytes.size() - 2]) != 0xFF ||
        static_cast<unsigned char>(bytes[bytes.size() - 1]) != 0xD9)
        return std::nullopt;
    const auto header = kx::records::read_jpeg_info(bytes);
    if (!header || (header->channels != 1 && header->channels != 3) || header->width < 1 || header->height < 1)
        return std::nullopt;
    py::object limit = image_module().attr("MAX_IMAGE_PIXELS");
    if (!limit.is_none() && static_cast<double>(header->width) * header->height > py::float_(limit).cast<double>())
        return std::nullopt;
    // A read-only view of the bytes, which the capsule owns from here on.
    auto* owned = new std::string(std::move(bytes));
    py::capsule held(owned, [](void* p) { delete static_cast<std::string*>(p); });
    py::array encoded(py::dtype::of<std::uint8_t>(), {static_cast<py::ssize_t>(owned->size())}, {1}, owned->data(),
                      held);
    py::object decoded = imdecode()(encoded, kx::datasets::decode_flags().full);
    if (decoded.is_none()) return std::nullopt;
    py::array pixels(decoded);
    if (pixels.ndim() != 3 || pixels.shape(0) != header->height || pixels.shape(1) != header->width ||
        pixels.shape(2) != 3 || !pixels.dtype().is(py::dtype::of<std::uint8_t>()))
        return std::nullopt;
    return pixels;
}

// Opens an image and returns it as RGB uint8 [H, W, 3]: a plain JPEG read at
// full size (no output size) through OpenCV (read_plain_jpeg), everything
// else with Pillow. With a positive output size, a JPEG is decoded at the
// largest reduced scale (1/2, 1/4 or 1/8) that still covers the size the
// image is about to be scaled to, which saves most of the decoding work for
// small training shapes.
ReadImage read_image(const py::str& path, bool letter_box, long out_h, long out_w) {
    static kx::Lazy image_open{"PIL.Image", "open"};
    static kx::Lazy asarray{"numpy", "asarray"};
    if (out_h <= 0 || out_w <= 0) {
        if (std::optional<py::array> plain = read_plain_jpeg(path)) return ReadImage{*plain};
    }
    try {
        py::object image = image_open()(path);
        return kx::with_context(image, [&]() -> ReadImage {
            ReadImage read;
            if (out_h > 0 && out_w > 0 && py::str(image.attr("format")).equal(py::str("JPEG"))) {
                py::tuple size(image.attr("size"));
                const long width = size[0].cast<long>(), height = size[1].cast<long>();
                const kx::datasets::DecodePlan plan =
                    kx::datasets::plan_training_decode(letter_box, out_h, out_w, width, height);
                if (plan.factor > 1) {
                    // Pillow picks the same factor from the size it must cover.
                    image.attr("draft")("RGB", py::make_tuple(plan.fit_w, plan.fit_h));
                    read.stored_w = width;
                    read.stored_h = height;
                }
            }
            py::object rgb = py::str(image.attr("mode")).equal(py::str("RGB")) ? image : image.attr("convert")("RGB");
            read.pixels = py::array(asarray()(rgb));
            return read;
        });
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception)) throw;
        std::string message = "[ERROR]: Image file '" + path.cast<std::string>() + "' could not be read: " +
                              std::string(py::str(err.value()));
        py::raise_from(err, PyExc_ValueError, message.c_str());
        throw py::error_already_set();
    }
}

// The dataset's own classes (without the background entry).
long dataset_classes(py::handle self, double class_offset) {
    long count = static_cast<long>(py::len(self.attr("classes")));
    return class_offset > 0 ? std::max(0L, count - 1) : count;
}

dn::Labels read_annotations(const py::str& path, long classes) {
    const std::string file = native_path(path, "annotation path");
    dn::Labels labels;
    std::string error;
    bool readable = false;
    {
        py::gil_scoped_release release;
        readable = dn::read_labels(file, dn::LabelRules{classes, false}, &labels, &error);
    }
    const std::string shown = path.cast<std::string>();
    if (!readable) kx::raise(PyExc_ValueError, "[ERROR]: Annotation file '" + shown + "' could not be read: " + error);
    if (labels.fault)
        kx::raise(PyExc_ValueError, "[ERROR]: Annotation file '" + shown + "', line " +
                                        std::to_string(labels.fault->line) + ": " + labels.fault->reason);
    return labels;
}

// Pixel corners from xywhn2xyxy ([N, >= 5], class in column 4) to the
// sample's float32 rows: each corner divided by its axis' scale and clipped
// to [0, limit] of that axis, the class shifted by the offset.
py::array_t<float> finish_corners(const py::array_t<double, py::array::c_style | py::array::forcecast>& corners,
                                  double scale_x, double scale_y, double limit_x, double limit_y, double offset) {
    const py::ssize_t rows = corners.shape(0), stride = corners.shape(1);
    py::array_t<float> out({rows, py::ssize_t{5}});
    const double scale[4] = {scale_x, scale_y, scale_x, scale_y};
    const double limit[4] = {limit_x, limit_y, limit_x, limit_y};
    const double* in = corners.data();
    float* row = out.mutable_data();
    for (py::ssize_t r = 0; r < rows; ++r, in += stride, row += 5) {
        for (int c = 0; c < 4; ++c) row[c] = static_cast<float>(std::min(std::max(in[c] / scale[c], 0.0), limit[c]));
        row[4] = static_cast<float>(in[4] + offset);
    }
    return out;
}

py::object load_instance(py::object self, py::object data, py::object training_flag) {
    static kx::Lazy xywhn2xyxy{"orvane.kestrix.datasets.utils", "xywhn2xyxy"};
    static kx::Lazy basename{"os.path", "basename"};

    const bool training = truth(training_flag);
    auto [image_path, annotation_path] = unpack_pair(data);
    py::object shape = py::none();
    if (training) shape = self.attr("shape");
    const bool letter_box = training && truth(self.attr("letter_box"));
    const auto [out_h, out_w] = training ? kx::datasets::integral_size(shape) : std::pair<long, long>{0, 0};
    const ReadImage read = read_image(image_path, letter_box, out_h, out_w);
    const py::array& image = read.pixels;
    const double stored_h = static_cast<double>(image.shape(0));
    const double stored_w = static_cast<double>(image.shape(1));

    // Validation samples keep the image as read; the boxes then scale with it.
    kx::datasets::FittedImage fitted{image, stored_w, stored_h, 0.0, 0.0};
    if (training) fitted = kx::datasets::fit_training_image(self, image, read.stored_w, read.stored_h);

    const double class_offset = kx::to_double(self.attr("class_offset"), "class_offset");
    const dn::Labels labels = read_annotations(annotation_path, dataset_classes(self, class_offset));
    auto sample = [&](py::object boxes) -> py::object {
        if (training) return py::make_tuple(fitted.image, boxes);
        return py::make_tuple(fitted.image, boxes, basename()(image_path));
    };
    const auto count = static_cast<py::ssize_t>(labels.boxes());
    if (count == 0) {
        py::array_t<float> dummy({py::ssize_t{1}, py::ssize_t{5}});
        std::fill(dummy.mutable_data(), dummy.mutable_data() + 5, 0.0f);
        return sample(dummy);
    }

    // Rows x, y, width, height, class: the file's columns rotated by four.
    py::array_t<double> rows({count, py::ssize_t{5}});
    double* row = rows.mutable_data();
    for (std::size_t r = 0; r < labels.boxes(); ++r, row += 5) {
        const double* values = &labels.values[r * dn::kLabelValues];
        std::copy(values + 1, values + 5, row);
        row[4] = values[0];
    }
    py::object converted =
        xywhn2xyxy()(rows, fitted.scale_w, fitted.scale_h, py::arg("padw") = fitted.pad_w, py::arg("padh") = fitted.pad_h);
    auto corners = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(converted);
    if (!corners) throw py::error_already_set();
    if (corners.ndim() != 2 || corners.shape(0) != count || corners.shape(1) < 5)
        kx::raise(PyExc_ValueError, "[ERROR]: xywhn2xyxy returned an array of unexpected shape for annotation file '" +
                                        annotation_path.cast<std::string>() + "'");
    if (training) {
        const double limit_w = kx::to_double(shape[py::int_(1)], "shape[1]");
        const double limit_h = kx::to_double(shape[py::int_(0)], "shape[0]");
        return sample(finish_corners(corners, 1.0, 1.0, limit_w, limit_h, class_offset));
    }
    return sample(finish_corners(corners, stored_w, stored_h, 1.0, 1.0, class_offset));
}

// The training samples of a batch of sample pairs, written straight into
// the batch (see BaseDetectionDataset: the pipeline uses this in place of
// load_instance(pair, training=True) while the dataset's load_instance is this
// module's own). The pixels and boxes are exactly those of load_instance;
// each image is letter-boxed into its slot of `images` (uint8 [B, H, W, 3],
// H x W = shape[:2]) rather than into a canvas of its own. Returns one float32
// [N, 5] box array per pair, or None for a pair left to load_instance: one
// that fails here (load_instance then reports it with its own error), or every
// pair when shape[:2] is not two Python ints.
py::list load_training_batch(py::object self, py::object elements, py::array images) {
    namespace kd = kx::datasets;
    const py::ssize_t count = py::len(elements);
    py::list result;
    const auto [out_h, out_w] = kd::start_batch(self, images, count, result);
    if (out_h == 0) return result;
    const bool letter_box = truth(self.attr("letter_box"));
    const double class_offset = kx::to_double(self.attr("class_offset"), "class_offset");
    const long classes = dataset_classes(self, class_offset);
    std::uint8_t* slots = static_cast<std::uint8_t*>(images.mutable_data());
    const std::size_t slot_bytes = static_cast<std::size_t>(out_h * out_w * 3);
    for (py::ssize_t i = 0; i < count; ++i) {
        try {
            auto [image_path, annotation_path] = unpack_pair(elements[py::int_(i)]);
            const ReadImage read = read_image(image_path, letter_box, out_h, out_w);
            auto pixels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(read.pixels);
            if (!pixels || pixels.ndim() != 3 || pixels.shape(2) != 3) {
                PyErr_Clear();
                continue;
            }
            const kd::FittedImage fitted = kd::fit_training_image_into(
                pixels, read.stored_w, read.stored_h, letter_box, out_h, out_w, slots + static_cast<std::size_t>(i) * slot_bytes);
            const dn::Labels labels = read_annotations(annotation_path, classes);
            const auto rows = static_cast<py::ssize_t>(labels.boxes());
            if (rows == 0) {
                py::array_t<float> dummy({py::ssize_t{1}, py::ssize_t{5}});
                std::fill(dummy.mutable_data(), dummy.mutable_data() + 5, 0.0f);
                PyList_SetItem(result.ptr(), i, dummy.release().ptr());
                continue;
            }
            // As load_instance: the file's rows rotated to x, y, width, height,
            // class, through utils.xywhn2xyxy's arithmetic, then finished.
            py::array_t<double> corners({rows, py::ssize_t{5}});
            double* row = corners.mutable_data();
            for (std::size_t r = 0; r < labels.boxes(); ++r, row += 5) {
                const double* values = &labels.values[r * dn::kLabelValues];
                std::copy(values + 1, values + 5, row);
                row[4] = values[0];
            }
            kx::geometry::xywhn_to_xyxy(corners.data(), corners.mutable_data(), labels.boxes(), 5, fitted.scale_w,
                                        fitted.scale_h, fitted.pad_w, fitted.pad_h);
            py::array_t<float> boxes = finish_corners(corners, 1.0, 1.0, static_cast<double>(out_w),
                                                      static_cast<double>(out_h), class_offset);
            PyList_SetItem(result.ptr(), i, boxes.release().ptr());
        } catch (py::error_already_set&) {
            continue;  // load_instance reports this pair
        }
    }
    return result;
}

// ---------------------------------------------------------------- construction

void yaml_init(py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
               py::object aug_cfg) {
    static kx::Lazy this_class{kModuleName, "DarknetDatasetYaml"};
    kx::check_str(info_file, "info_file");
    kx::check_list(shape, "shape");
    kx::check_dict(aug_cfg, "aug_cfg");
    py::kwargs options;
    options["add_bkg_class"] = add_bkg_class;
    options["aug_cfg"] = aug_cfg;
    kx::super_init(this_class(), self, py::make_tuple(info_file, shape, letter_box), options);
    kx::datasets::clear_folder_attributes(self);  // the scan has run; the folder paths are of no further use
}

void dict_init(py::object self, py::object info_dataset, py::object shape, py::object letter_box,
               py::object add_bkg_class, py::object aug_cfg) {
    static kx::Lazy yaml_class{kModuleName, "DarknetDatasetYaml"};
    kx::datasets::init_from_dict(yaml_class(), self, "darknet", info_dataset, shape, letter_box, add_bkg_class, aug_cfg);
}

// ---------------------------------------------------------------- dataset check

py::dict broken(const std::string& path, const std::string& reason) {
    py::dict entry;
    entry["file"] = python_path(path);
    entry["reason"] = reason;
    return entry;
}

py::dict check_split(const std::string& image_folder, const std::string& annotation_folder, long classes,
                     const char* description) {
    static kx::Lazy image_open{"PIL.Image", "open"};
    dn::SplitScan scan;
    std::vector<std::string> images, annotations;
    {
        py::gil_scoped_release release;
        scan = dn::scan_split(image_folder, annotation_folder, true);
        std::unordered_set<std::string> seen;  // a.png and a.jpg share a.txt: read it once
        for (std::size_t i = 0; i < scan.images.size(); ++i) {
            images.push_back(dn::join_path(image_folder, scan.images[i]));
            if (scan.paired[i] && seen.insert(scan.annotations[i]).second)
                annotations.push_back(dn::join_path(annotation_folder, scan.annotations[i]));
        }
    }
    std::vector<dn::ImageProbe> probes;
    std::vector<dn::LabelCheck> parsed;
    py::object bar = progress_bar(images.size() + annotations.size(), description);
    kx::with_context(bar, [&] {
        std::size_t shown = 0;
        py::gil_scoped_release release;
        dn::check_files(images, annotations, dn::LabelRules{classes, true}, &probes, &parsed, [&](std::size_t done) {
            py::gil_scoped_acquire acquire;
            try {
                bar.attr("update")(done - shown);
            } catch (py::error_already_set&) {
                // A progress display that fails does not stop the check.
            }
            shown = done;
        });
    });

    py::list without_annotation, without_image, background, broken_files;
    if (!dn::is_directory(image_folder)) broken_files.append(broken(image_folder, "the image folder does not exist"));
    if (annotation_folder != image_folder && !dn::is_directory(annotation_folder))
        broken_files.append(broken(annotation_folder, "the annotation folder does not exist"));
    std::size_t paired = 0, boxes = 0;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (scan.paired[i]) {
            ++paired;
        } else {
            without_annotation.append(python_path(images[i]));
        }
        const dn::ImageProbe& probe = probes[i];
        if (!probe.problem.empty()) {
            broken_files.append(broken(images[i], "image " + probe.problem));
        } else if (probe.format == dn::ImageProbe::Format::kOther) {
            // Neither JPEG nor PNG: whether Pillow reads it decides.
            try {
                py::object image = image_open()(python_path(images[i]));
                image.attr("close")();
            } catch (py::error_already_set& err) {
                if (!err.matches(PyExc_Exception)) throw;
                broken_files.append(broken(images[i], "image cannot be read: " + std::string(py::str(err.value()))));
            }
        }
    }
    for (std::size_t k = 0; k < annotations.size(); ++k) {
        const dn::LabelCheck& check = parsed[k];
        if (!check.readable) {
            broken_files.append(broken(annotations[k], "annotation file cannot be read: " + check.error));
        } else if (check.labels.fault) {
            broken_files.append(broken(annotations[k], "line " + std::to_string(check.labels.fault->line) + ": " +
                                                           check.labels.fault->reason));
        } else if (check.labels.boxes() == 0) {
            background.append(python_path(annotations[k]));
        } else {
            boxes += check.labels.boxes();
        }
    }
    std::vector<std::string> referenced(scan.annotations);
    std::sort(referenced.begin(), referenced.end());
    for (const std::string& name : scan.text_files)
        if (!std::binary_search(referenced.begin(), referenced.end(), name))
            without_image.append(python_path(dn::join_path(annotation_folder, name)));

    py::dict report;
    report["images"] = images.size();
    report["paired"] = paired;
    report["boxes"] = boxes;
    report["without_annotation"] = without_annotation;
    report["without_image"] = without_image;
    report["background"] = background;
    report["broken"] = broken_files;
    return report;
}

py::dict check_dataset(py::object descriptor) {
    static kx::Lazy base_class{"orvane.kestrix.datasets.core", "BaseDetectionDataset"};
    static kx::Lazy namespace_type{"types", "SimpleNamespace"};
    py::object target = namespace_type()(py::arg("class_offset") = 0);
    py::dict content;
    if (PyUnicode_Check(descriptor.ptr())) {
        // The base class reads descriptor files; it needs nothing of the instance.
        content = base_class().attr("validate_info_file")(target, descriptor);
    } else if (PyDict_Check(descriptor.ptr())) {
        // A copy: the caller's dictionary stays as it is.
        content = py::reinterpret_steal<py::dict>(PyDict_Copy(descriptor.ptr()));
        if (!content) throw py::error_already_set();
        if (!content.contains("type")) content["type"] = "darknet";
    } else {
        kx::raise_type_error("descriptor", "dict or str", descriptor);
    }
    validate_info_file_content(target, content);
    const long classes = static_cast<long>(py::len(target.attr("classes")));

    py::dict report;
    report["classes"] = target.attr("classes");
    report["train"] = check_split(native_path(target.attr("path_train_images"), "train images"),
                                  native_path(target.attr("path_train_annotations"), "train annotations"), classes,
                                  "checking training dataset");
    report["validation"] = check_split(native_path(target.attr("path_val_images"), "validation images"),
                                       native_path(target.attr("path_val_annotations"), "validation annotations"),
                                       classes, "checking validation dataset");
    return report;
}

}  // namespace

namespace kx::datasets {
void register_darknet_labels(py::module_& m);  // darknet_labels.cpp: read_labels
}  // namespace kx::datasets

PYBIND11_MODULE(darknet, m) {
    m.doc() = "Darknet detection datasets: DarknetDatasetYaml (descriptor file), DarknetDataset (dictionary) and "
              "check_dataset.";
    // The module's imports, bound as its attributes; a failing one fails this import.
    py::object base = py::module_::import("orvane.kestrix.datasets.core").attr("BaseDetectionDataset");
    py::module_ utils = py::module_::import("orvane.kestrix.datasets.utils");
    m.attr("letterbox") = utils.attr("letterbox");
    m.attr("xywhn2xyxy") = utils.attr("xywhn2xyxy");
    m.attr("BaseDetectionDataset") = base;
    kx::import_modules(m, {{"tf", "tensorflow"}, {"np", "numpy"}, {"cv2", "cv2"}, {"tqdm", "tqdm"}, {"Image", "PIL.Image"}});

    py::object yaml_cls = kx::make_class(m, "DarknetDatasetYaml", base, kYamlClassDoc);
    kx::def_init(yaml_cls, &yaml_init, kYamlInitDoc, py::arg("info_file") = py::none(), py::arg("shape") = py::none(),
                 py::arg("letter_box") = true, py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none());
    kx::def_method(yaml_cls, "validate_info_file_content", &validate_info_file_content, kValidateContentDoc,
                   py::arg("info_dataset") = py::none());
    py::cpp_function own_load_instance = kx::def_method(yaml_cls, "load_instance", &load_instance, kLoadInstanceDoc,
                                                        py::arg("data"), py::arg("training") = true);
    kx::datasets::offer_training_batch_loader(
        yaml_cls, own_load_instance,
        py::cpp_function(&load_training_batch, py::name("load_training_batch"), py::arg("self"), py::arg("elements"),
                         py::arg("images")));
    kx::def_method(yaml_cls, "load_storage", &load_storage, kLoadStorageDoc);
    kx::def_method(yaml_cls, "build_and_load_base_iterator", &build_and_load_base_iterator, kBaseIteratorDoc,
                   py::arg("storage"), py::arg("shuffle") = true);

    py::object dict_cls = kx::make_class(m, "DarknetDataset", yaml_cls, kDictClassDoc);
    kx::def_init(dict_cls, &dict_init, kDictInitDoc, py::arg("info_dataset") = py::none(),
                 py::arg("shape") = py::none(), py::arg("letter_box") = true, py::arg("add_bkg_class") = true,
                 py::arg("aug_cfg") = py::none());
    kx::def_method(dict_cls, "validate_info_file", &kx::datasets::validate_info_file, kx::datasets::kValidateInfoFileDoc,
                   py::arg("info_file"));

    m.def("check_dataset", &check_dataset, kCheckDoc, py::arg("descriptor"));
    kx::datasets::register_darknet_labels(m);
}
