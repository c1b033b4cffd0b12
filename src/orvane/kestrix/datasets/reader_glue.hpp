// Python glue shared by the detection dataset readers (the TFRecord and the
// Darknet module): the steps of their constructors and descriptor checks that
// are the same for every reader, and the fitting of a training image to the
// output shape. Everything here must be called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pyglue/glue.hpp"

namespace kx::datasets {
namespace py = pybind11;

// The constructor of a reader given the descriptor dictionary itself: the
// exact-type checks, the caller's dictionary kept as `info_dataset` and
// tagged in place with `type`, then the constructor of `file_reader_class`
// (the reader of descriptor files) with keyword arguments only and no file.
inline void init_from_dict(py::handle file_reader_class, py::handle self, const char* type, py::object info_dataset,
                           py::object shape, py::object letter_box, py::object add_bkg_class, py::object aug_cfg) {
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

// The attributes of the folder-pair layout as a constructor leaves them: the
// folder paths and image/annotation lists cleared, `val_annotations` empty.
inline void clear_folder_attributes(py::handle self) {
    for (const char* attr : {"path_train_images", "path_train_annotations", "path_val_images", "path_val_annotations",
                             "train_images", "val_images", "train_annotations"})
        self.attr(attr) = py::none();
    self.attr("val_annotations") = py::list();
}

// Puts "background" in front of `classes` when `class_offset` > 0, as a new
// list (the descriptor's own list is left alone); a `classes` that is not a
// list fails as list concatenation does.
inline void prepend_background(py::handle self) {
    int background = PyObject_RichCompareBool(self.attr("class_offset").ptr(), py::int_(0).ptr(), Py_GT);
    if (background < 0) throw py::error_already_set();
    if (!background) return;
    py::list first;
    first.append("background");
    auto joined = py::reinterpret_steal<py::object>(PyNumber_Add(first.ptr(), self.attr("classes").ptr()));
    if (!joined) throw py::error_already_set();
    self.attr("classes") = joined;
}

// A training image fitted to `shape[:2]`, and where its normalised boxes land:
// pixel scale (scale_w, scale_h) and offset (pad_w, pad_h).
struct FittedImage {
    py::object image;
    double scale_w = 0, scale_h = 0, pad_w = 0, pad_h = 0;
};

// Letter-boxes the decoded image (uint8 [H, W, 3]) with
// letterbox(image, shape[:2], auto=False) when `letter_box` is true, else
// resizes it to shape[1] x shape[0] with cv2.resize (aspect ratio not kept).
inline FittedImage fit_training_image(py::handle self, const py::array& image) {
    static Lazy letterbox{"orvane.kestrix.datasets.utils", "letterbox"};
    static Lazy resize{"cv2", "resize"};
    const double stored_h = static_cast<double>(image.shape(0));
    const double stored_w = static_cast<double>(image.shape(1));
    py::object shape = self.attr("shape");
    int letter_box = PyObject_IsTrue(self.attr("letter_box").ptr());
    if (letter_box < 0) throw py::error_already_set();
    FittedImage fitted;
    if (letter_box) {
        py::sequence boxed = letterbox()(image, shape[py::slice(0, 2, 1)], py::arg("auto") = false);
        if (boxed.size() != 3)
            raise(PyExc_ValueError,
                  "[ERROR]: letterbox returned " + std::to_string(boxed.size()) + " items instead of (image, ratio, pad)");
        fitted.image = boxed[0];
        py::object ratio = boxed[1], pad = boxed[2];
        fitted.scale_w = to_double(ratio[py::int_(0)], "ratio[0]") * stored_w;
        fitted.scale_h = to_double(ratio[py::int_(1)], "ratio[1]") * stored_h;
        fitted.pad_w = to_double(pad[py::int_(0)], "pad[0]");
        fitted.pad_h = to_double(pad[py::int_(1)], "pad[1]");
    } else {
        py::object width = shape[py::int_(1)], height = shape[py::int_(0)];
        fitted.image = resize()(image, py::make_tuple(width, height));
        fitted.scale_w = to_double(width, "shape[1]");
        fitted.scale_h = to_double(height, "shape[0]");
    }
    return fitted;
}

}  // namespace kx::datasets
