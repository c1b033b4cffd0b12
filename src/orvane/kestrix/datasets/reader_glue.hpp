// Python glue shared by the detection dataset readers (the TFRecord and the
// Darknet module): the steps of their constructors and descriptor checks that
// are the same for every reader, the decoding flags and the loop of a batch
// loader. Samples themselves are built by sample.hpp.
// Everything here must be called with the GIL held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <initializer_list>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "geometry/boxes.hpp"
#include "pyglue/glue.hpp"
#include "sample.hpp"

namespace kx::datasets {
namespace py = pybind11;

// The decoding flags of cv2.imdecode: RGB with three channels, stored pixel
// orientation, and the scale bits that decode a JPEG at 1/2, 1/4 or 1/8 of
// its size (the reduced grayscale flags carry only the scale bits).
struct DecodeFlags {
    int full = 0, half = 0, quarter = 0, eighth = 0;

    // The flags that decode `factor` (1, 2, 4 or 8) times smaller per side.
    int reduction(int factor) const {
        return factor == 8 ? eighth : factor == 4 ? quarter : factor == 2 ? half : full;
    }
};

// Resolved once under pybind11's GIL-safe call-once: this runs on TensorFlow's
// worker threads, where a plain function-local static could deadlock against
// the GIL while the first thread imports.
inline const DecodeFlags& decode_flags() {
    static py::gil_safe_call_once_and_store<DecodeFlags> flag_store;
    return flag_store
        .call_once_and_store_result([] {
            py::module_ cv2 = py::module_::import("cv2");
            const int full =
                cv2.attr("IMREAD_COLOR_RGB").cast<int>() | cv2.attr("IMREAD_IGNORE_ORIENTATION").cast<int>();
            return DecodeFlags{full, full | cv2.attr("IMREAD_REDUCED_GRAYSCALE_2").cast<int>(),
                               full | cv2.attr("IMREAD_REDUCED_GRAYSCALE_4").cast<int>(),
                               full | cv2.attr("IMREAD_REDUCED_GRAYSCALE_8").cast<int>()};
        })
        .get_stored();
}

// The truth of a Python value (bool(value)).
inline bool is_true(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// The attributes of the folder-pair layout as a constructor leaves them: the
// folder paths and image/annotation lists cleared, `val_annotations` empty.
inline void clear_folder_attributes(py::handle self) {
    for (const char* attr : {"path_train_images", "path_train_annotations", "path_val_images", "path_val_annotations",
                             "train_images", "val_images", "train_annotations"})
        self.attr(attr) = py::none();
    self.attr("val_annotations") = py::list();
}

// The constructor of a reader given a descriptor file: the exact-type
// checks, then the base class's constructor (which reads and checks the
// descriptor and scans the storage) through super(`this_class`, self), then
// the folder-pair attributes cleared (the scan has run; the folder paths are
// of no further use, and a reader without that layout never fills them).
inline void init_from_file(py::handle this_class, py::handle self, py::object info_file, py::object shape,
                           py::object letter_box, py::object add_bkg_class, py::object aug_cfg) {
    check_str(info_file, "info_file");
    check_list(shape, "shape");
    check_dict(aug_cfg, "aug_cfg");
    py::kwargs options;
    options["shape"] = shape;
    options["letter_box"] = letter_box;
    options["add_bkg_class"] = add_bkg_class;
    options["aug_cfg"] = aug_cfg;
    super_init(this_class, self, py::make_tuple(info_file), options);
    clear_folder_attributes(self);
}

// The constructor of a reader given the descriptor dictionary itself: the
// exact-type checks, the caller's dictionary kept as `info_dataset` and
// tagged in place with `type`, then the constructor of `file_reader_class`
// (the reader of descriptor files) with keyword arguments only and no file.
inline void init_from_dict(py::handle file_reader_class, py::handle self, const char* type, py::object info_dataset,
                           py::object shape, py::object letter_box, py::object add_bkg_class, py::object aug_cfg) {
    require(info_dataset, "info_dataset");
    check_dict(info_dataset, "info_dataset");
    check_list(shape, "shape");
    check_dict(aug_cfg, "aug_cfg");
    self.attr("info_dataset") = info_dataset;
    py::dict tag;
    tag["type"] = type;
    info_dataset.attr("update")(tag);
    py::kwargs options;
    options["info_file"] = py::none();
    options["shape"] = shape;
    options["letter_box"] = letter_box;
    options["aug_cfg"] = aug_cfg;
    options["add_bkg_class"] = add_bkg_class;
    file_reader_class.attr("__init__")(self, **options);
}

constexpr const char* kValidateInfoFileDoc = R"doc(Returns the descriptor dictionary given to the constructor.

Args:
    info_file: ignored (must be a str or None).

Returns:
    ``info_dataset`` itself (not a copy).
)doc";

// validate_info_file of a reader given its descriptor dictionary: the base
// class asks for the descriptor where it would read a file.
inline py::object validate_info_file(py::object self, py::object info_file) {
    check_str(info_file, "info_file");
    return self.attr("info_dataset");
}

// The descriptor's class list, checked where every command and reader meets it: a list of
// distinct, non-empty names of one line of text each, without the name the background class
// takes when the reader adds it. Anything else (a string, numbers, nested lists, a name
// holding a newline) would pass here and fail later, in the evaluator or the run folder's
// labels.txt. None is left to the callers' own checks.
inline void check_class_names(py::handle names, bool background) {
    auto fail = [](const std::string& what) { raise(PyExc_ValueError, "[ERROR]: classes " + what); };
    if (names.is_none()) return;
    if (!PyList_Check(names.ptr()))
        fail("must be a list of class names, got " + std::string(Py_TYPE(names.ptr())->tp_name) + " " +
             py::repr(names).cast<std::string>());
    py::set seen;
    if (background) seen.add(py::str("background"));
    py::list list = py::reinterpret_borrow<py::list>(names);
    for (std::size_t i = 0; i < list.size(); ++i) {
        py::object name = list[i];
        const std::string where = "entry " + std::to_string(i) + " (" + py::repr(name).cast<std::string>() + ")";
        if (!PyUnicode_Check(name.ptr())) fail(where + " is not a name (text), but " + Py_TYPE(name.ptr())->tp_name);
        const std::string text = name.cast<std::string>();
        if (text.find_first_not_of(" \t") == std::string::npos) fail(where + " is empty");
        for (unsigned char c : text)
            if (c < 0x20 || c == 0x7f) fail(where + " holds a control character (a newline, say)");
        if (seen.contains(name))
            fail(where + (background && text == "background" ? " is the name of the background class the reader "
                                                               "puts first"
                                                             : " appears twice"));
        seen.add(name);
    }
}

// build_and_load_base_iterator of the readers whose storage is a list of
// string pairs: a dataset of the pairs, fully shuffled when asked (the
// elements are two short strings, so a buffer as long as the list costs next
// to nothing). An empty list gives an empty dataset of [0, 2] strings.
inline py::object pair_base_iterator(py::object, py::object storage, py::object shuffle) {
    static Lazy from_tensor_slices{"tensorflow", "data.Dataset.from_tensor_slices"};
    static Lazy constant{"tensorflow", "constant"};
    static Lazy tf_string{"tensorflow", "string"};
    check_list(storage, "storage");
    py::object slices = storage;
    if (!storage.is_none() && py::len(storage) == 0)
        slices = constant()(py::list(), py::arg("dtype") = tf_string(), py::arg("shape") = py::make_tuple(0, 2));
    py::object dataset = from_tensor_slices()(slices);
    if (is_true(shuffle)) dataset = dataset.attr("shuffle")(std::max<std::size_t>(1, py::len(storage)));
    return dataset;
}

// Puts "background" in front of `classes` when `class_offset` > 0, as a new
// list (the descriptor's own list is left alone), after checking the names
// (check_class_names); a `classes` of None fails as list concatenation does.
inline void prepend_background(py::handle self) {
    int background = PyObject_RichCompareBool(self.attr("class_offset").ptr(), py::int_(0).ptr(), Py_GT);
    if (background < 0) throw py::error_already_set();
    check_class_names(self.attr("classes"), background != 0);
    if (!background) return;
    py::list first;
    first.append("background");
    auto joined = py::reinterpret_steal<py::object>(PyNumber_Add(first.ptr(), self.attr("classes").ptr()));
    if (!joined) throw py::error_already_set();
    self.attr("classes") = joined;
}

// Output size (height, width) from shape[:2] when both are Python ints in
// 1..geometry::kMaxSide, else (0, 0): the batch loaders then leave the batch
// to load_instance, which reports such a shape as it always has.
inline std::pair<long, long> exact_size(py::handle shape) {
    if (!PyList_Check(shape.ptr()) && !PyTuple_Check(shape.ptr())) return {0, 0};
    if (py::len(shape) < 2) return {0, 0};
    long sides[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        py::object item = shape[py::int_(i)];
        if (!PyLong_CheckExact(item.ptr())) return {0, 0};
        const long side = PyLong_AsLong(item.ptr());
        if (side == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return {0, 0};
        }
        if (side < 1 || side > geometry::kMaxSide) return {0, 0};
        sides[i] = side;
    }
    return {sides[0], sides[1]};
}

// What a reader's batch loader fits every sample of a batch to.
struct BatchTarget {
    long out_h = 0, out_w = 0;  // shape[:2]
    bool letter_box = false;
    double class_offset = 0;
};

// A reader's batch loader (see def_sample_loaders): the training
// samples of `elements` written straight into `images`, the batch buffer
// (uint8 C-ordered [count, H, W, 3], H x W = shape[:2]). `load(element,
// target, slot)` builds one sample into its slot and returns its boxes, or
// nothing for a sample it leaves to load_instance (which then reports what
// is wrong with it); a Python error it raises does the same. Returns one
// float32 [N, 5] box array or None per element; all None when shape[:2] is
// not two Python ints (see exact_size) or `images` is not that buffer.
template <typename Load>
py::list load_batch(py::handle self, py::handle elements, py::array images, Load&& load) {
    const py::ssize_t count = py::len(elements);
    py::list result(count);
    for (py::ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(result.ptr(), i, py::none().release().ptr());
    const auto [out_h, out_w] = exact_size(self.attr("shape"));
    if (out_h == 0 || images.ndim() != 4 || images.shape(0) != count || images.shape(1) != out_h ||
        images.shape(2) != out_w || images.shape(3) != 3 || !images.dtype().is(py::dtype::of<std::uint8_t>()) ||
        !(images.flags() & py::array::c_style))
        return result;
    const BatchTarget target{out_h, out_w, is_true(self.attr("letter_box")),
                             to_double(self.attr("class_offset"), "class_offset")};
    auto* slots = static_cast<std::uint8_t*>(images.mutable_data());
    const std::size_t slot_bytes = static_cast<std::size_t>(out_h * out_w * 3);
    for (py::ssize_t i = 0; i < count; ++i) {
        try {
            std::optional<py::array_t<float>> boxes =
                load(py::object(elements[py::int_(i)]), target, slots + static_cast<std::size_t>(i) * slot_bytes);
            if (boxes) PyList_SetItem(result.ptr(), i, boxes->release().ptr());
        } catch (py::error_already_set&) {
            continue;  // load_instance reports this sample
        }
    }
    return result;
}

// Output size (height, width) from shape[:2] for reduced-size decoding; 0
// when an entry is not an integer (letterbox and resize then report it).
inline std::pair<long, long> integral_size(py::handle shape) {
    auto index = [&](int i) -> long {
        py::object item = shape[py::int_(i)];
        if (!PyIndex_Check(item.ptr())) return 0;
        return item.cast<long>();
    };
    return {index(0), index(1)};
}

// Defines a reader's `load_instance(data, training=True)` and offers the
// training pipeline of BaseDetectionDataset a loader of whole batches,
// `load_training_batch(self, elements, images)`, for datasets whose
// load_instance is still `load_instance` (the reader's own): the class
// attribute `_training_batch_loader` holds both. The loader writes the samples
// straight into `images` and returns one box array per element, or None for an
// element the pipeline then hands to load_instance.
template <typename Load, typename LoadBatch>
void def_sample_loaders(py::handle cls, Load&& load_instance, const char* load_instance_doc, LoadBatch&& load_batch) {
    py::cpp_function own = def_method(cls, "load_instance", std::forward<Load>(load_instance), load_instance_doc,
                                      py::arg("data"), py::arg("training") = true);
    py::cpp_function loader(std::forward<LoadBatch>(load_batch), py::name("load_training_batch"), py::arg("self"),
                            py::arg("elements"), py::arg("images"));
    py::setattr(cls, "_training_batch_loader", py::make_tuple(own.attr("__func__"), loader));
}

// The opening of a reader module: the native errors registered, the shared
// helpers and the base class bound as the module's attributes (letterbox,
// xywhn2xyxy, BaseDetectionDataset), then `imports` bound as `import x as y`
// would. A failing import fails the module's import. Returns the base class.
inline py::object open_reader_module(py::module_& m,
                                     std::initializer_list<std::pair<const char*, const char*>> imports) {
    register_native_errors(m);
    py::object base = py::module_::import("orvane.kestrix.datasets.core").attr("BaseDetectionDataset");
    py::module_ utils = py::module_::import("orvane.kestrix.datasets.utils");
    m.attr("letterbox") = utils.attr("letterbox");
    m.attr("xywhn2xyxy") = utils.attr("xywhn2xyxy");
    m.attr("BaseDetectionDataset") = base;
    import_modules(m, imports);
    return base;
}

// The reader given its descriptor dictionary: class `name`, a subclass of the
// file reader `file_reader_class`, with constructor `init` (see init_from_dict)
// and validate_info_file answering with that dictionary.
template <typename Init>
py::object make_dict_reader_class(py::module_& m, const char* name, py::handle file_reader_class, const char* doc,
                                  Init&& init, const char* init_doc) {
    py::object cls = make_class(m, name, file_reader_class, doc);
    def_init(cls, std::forward<Init>(init), init_doc, py::arg("info_dataset") = py::none(),
             py::arg("shape") = py::none(), py::arg("letter_box") = true, py::arg("add_bkg_class") = true,
             py::arg("aug_cfg") = py::none());
    def_method(cls, "validate_info_file", &validate_info_file, kValidateInfoFileDoc, py::arg("info_file"));
    return cls;
}

}  // namespace kx::datasets
