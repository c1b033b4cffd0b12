// Python glue shared by the detection dataset readers (the TFRecord and the
// Darknet module): the steps of their constructors and descriptor checks that
// are the same for every reader, and the fitting of a training image to the
// output shape (with the choice of a reduced decoding size for it).
// Everything here must be called with the GIL held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "geometry/boxes.hpp"
#include "pyglue/glue.hpp"

namespace kx::datasets {
namespace py = pybind11;

// Images larger than this on a side are left to the decoders to refuse.
constexpr long kMaxSide = 1L << 20;

// The padding colour of utils.letterbox.
constexpr std::uint8_t kLetterboxFill = 114;

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

// Output size (height, width) from shape[:2] when both are Python ints in
// 1..kMaxSide, else (0, 0): the batch loaders then leave the batch to
// load_instance, which reports such a shape as it always has.
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
        if (side < 1 || side > kMaxSide) return {0, 0};
        sides[i] = side;
    }
    return {sides[0], sides[1]};
}

// The start of a reader's batch loader: one None per element (a sample the
// loader leaves to load_instance), and the output size when `images` is the
// batch buffer it can write into, uint8 C-ordered [count, H, W, 3] with
// H x W = shape[:2] (see exact_size); (0, 0) leaves the whole batch to
// load_instance.
inline std::pair<long, long> start_batch(py::handle self, const py::array& images, py::ssize_t count,
                                         py::list& result) {
    result = py::list(count);
    for (py::ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(result.ptr(), i, py::none().release().ptr());
    const auto [out_h, out_w] = exact_size(self.attr("shape"));
    if (out_h == 0 || images.ndim() != 4 || images.shape(0) != count || images.shape(1) != out_h ||
        images.shape(2) != out_w || images.shape(3) != 3 || !images.dtype().is(py::dtype::of<std::uint8_t>()) ||
        !(images.flags() & py::array::c_style))
        return {0, 0};
    return {out_h, out_w};
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

// How a training image of a known stored size may be decoded: `factor` (1, 2,
// 4 or 8) is the largest reduction that still leaves the decoded image at
// least `fit_w` x `fit_h`, the size it is about to be scaled to (the
// letter-box content, or the output size when resizing). JPEG decoders give
// ceil(stored / factor) per side, which is never below that size.
struct DecodePlan {
    int factor = 1;
    long fit_w = 0, fit_h = 0;
};

inline DecodePlan plan_training_decode(bool letter_box, long out_h, long out_w, long stored_w, long stored_h) {
    DecodePlan plan;
    if (out_h < 1 || out_w < 1 || stored_w < 1 || stored_h < 1 || out_h > kMaxSide || out_w > kMaxSide ||
        stored_w > kMaxSide || stored_h > kMaxSide)
        return plan;
    plan.fit_w = out_w;
    plan.fit_h = out_h;
    if (letter_box) {
        const geometry::Letterbox box = geometry::letterbox_geometry(static_cast<int>(stored_w), static_cast<int>(stored_h),
                                                                     static_cast<int>(out_w), static_cast<int>(out_h));
        plan.fit_w = box.content_width;
        plan.fit_h = box.content_height;
    }
    const long room = std::min(stored_w / plan.fit_w, stored_h / plan.fit_h);
    for (int factor : {8, 4, 2}) {
        if (room >= factor) {
            plan.factor = factor;
            break;
        }
    }
    return plan;
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
//
// `stored_w` x `stored_h` is the size the image is stored at when it was
// decoded smaller than that (0 otherwise). A letter-boxed image then gets the
// placement of the stored size: it is first scaled to exactly the content
// size the stored image would have, so the padding, and with it every box, is
// where full decoding puts it; only the resampling differs.
inline FittedImage fit_training_image(py::handle self, py::array image, long stored_w = 0, long stored_h = 0) {
    static Lazy letterbox{"orvane.kestrix.datasets.utils", "letterbox"};
    static Lazy resize{"cv2", "resize"};
    static Lazy inter_area{"cv2", "INTER_AREA"};
    static Lazy inter_linear{"cv2", "INTER_LINEAR"};
    py::object shape = self.attr("shape");
    int letter_box = PyObject_IsTrue(self.attr("letter_box").ptr());
    if (letter_box < 0) throw py::error_already_set();
    FittedImage fitted;
    if (letter_box) {
        const long decoded_w = static_cast<long>(image.shape(1)), decoded_h = static_cast<long>(image.shape(0));
        if (stored_w > 0 && stored_h > 0 && (decoded_w != stored_w || decoded_h != stored_h)) {
            const auto [out_h, out_w] = integral_size(shape);
            const DecodePlan plan = plan_training_decode(true, out_h, out_w, stored_w, stored_h);
            if (plan.fit_w > 0 && (plan.fit_w != decoded_w || plan.fit_h != decoded_h)) {
                const bool shrink = plan.fit_w < decoded_w;
                image = py::array(resize()(image, py::make_tuple(plan.fit_w, plan.fit_h),
                                           py::arg("interpolation") = shrink ? inter_area() : inter_linear()));
            }
        }
        const double content_w = static_cast<double>(image.shape(1));
        const double content_h = static_cast<double>(image.shape(0));
        py::sequence boxed = letterbox()(image, shape[py::slice(0, 2, 1)], py::arg("auto") = false);
        if (boxed.size() != 3)
            raise(PyExc_ValueError,
                  "[ERROR]: letterbox returned " + std::to_string(boxed.size()) + " items instead of (image, ratio, pad)");
        fitted.image = boxed[0];
        py::object ratio = boxed[1], pad = boxed[2];
        fitted.scale_w = to_double(ratio[py::int_(0)], "ratio[0]") * content_w;
        fitted.scale_h = to_double(ratio[py::int_(1)], "ratio[1]") * content_h;
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

// Offers the training pipeline of BaseDetectionDataset a loader of whole
// batches, `loader(self, elements, images)`, for datasets whose load_instance
// is still `load_instance` (the reader's own): the class attribute
// `_training_batch_loader` holds both. The loader writes the samples straight
// into `images` and returns one box array per element, or None for an
// element the pipeline then hands to load_instance.
inline void offer_training_batch_loader(py::handle cls, const py::object& load_instance, const py::object& loader) {
    py::setattr(cls, "_training_batch_loader", py::make_tuple(load_instance.attr("__func__"), loader));
}

// What fit_training_image does, written straight into `slot`, one image of
// a training batch (out_h x out_w x 3, rows contiguous), instead of into a new
// canvas: the same resizes in the same order, the same placement and pixels.
// `image` is a C-contiguous uint8 [H, W, 3] array; out_h and out_w are the
// output size (shape[:2], see exact_size). Returns the box mapping; its
// `image` is left empty.
inline FittedImage fit_training_image_into(py::array image, long stored_w, long stored_h, bool letter_box, long out_h,
                                           long out_w, std::uint8_t* slot) {
    static Lazy resize{"cv2", "resize"};
    static Lazy inter_area{"cv2", "INTER_AREA"};
    static Lazy inter_linear{"cv2", "INTER_LINEAR"};
    using Pixels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
    FittedImage fitted;
    if (!letter_box) {
        Pixels resized(resize()(image, py::make_tuple(out_w, out_h)));
        const std::size_t bytes = static_cast<std::size_t>(out_h * out_w * 3);
        if (resized.size() != static_cast<py::ssize_t>(bytes)) raise(PyExc_ValueError, "[ERROR]: cv2.resize returned an image of unexpected size");
        {
            py::gil_scoped_release release;
            std::memcpy(slot, resized.data(), bytes);
        }
        fitted.scale_w = static_cast<double>(out_w);
        fitted.scale_h = static_cast<double>(out_h);
        return fitted;
    }
    long width = static_cast<long>(image.shape(1)), height = static_cast<long>(image.shape(0));
    if (stored_w > 0 && stored_h > 0 && (width != stored_w || height != stored_h)) {
        const DecodePlan plan = plan_training_decode(true, out_h, out_w, stored_w, stored_h);
        if (plan.fit_w > 0 && (plan.fit_w != width || plan.fit_h != height)) {
            const bool shrink = plan.fit_w < width;
            image = py::array(resize()(image, py::make_tuple(plan.fit_w, plan.fit_h),
                                       py::arg("interpolation") = shrink ? inter_area() : inter_linear()));
            width = static_cast<long>(image.shape(1));
            height = static_cast<long>(image.shape(0));
        }
    }
    // letterbox(image, shape[:2], auto=False), pasted into the slot.
    const geometry::Letterbox box = geometry::letterbox_geometry(static_cast<int>(width), static_cast<int>(height),
                                                                 static_cast<int>(out_w), static_cast<int>(out_h));
    Pixels content(image);
    if (box.content_width != width || box.content_height != height) {
        const bool shrink = box.content_width < width;
        content = Pixels(resize()(content, py::make_tuple(box.content_width, box.content_height),
                                  py::arg("interpolation") = shrink ? inter_area() : inter_linear()));
    }
    if (content.size() != static_cast<py::ssize_t>(box.content_width) * box.content_height * 3)
        raise(PyExc_ValueError, "[ERROR]: cv2.resize returned an image of unexpected size");
    {
        const std::size_t row_bytes = static_cast<std::size_t>(box.content_width) * 3;
        py::gil_scoped_release release;
        geometry::paste_letterbox(box, content.data(), row_bytes, 3, kLetterboxFill, slot);
    }
    fitted.scale_w = box.ratio_x * static_cast<double>(width);
    fitted.scale_h = box.ratio_y * static_cast<double>(height);
    fitted.pad_w = static_cast<double>(box.pad_left);
    fitted.pad_h = static_cast<double>(box.pad_top);
    return fitted;
}

}  // namespace kx::datasets
