// The letter-box of every module that feeds images to a detector:
// utils.letterbox, the dataset readers' training samples (into a new array or
// straight into a batch slot) and the validation runner's model input.
//
// An image is scaled to fit the target with its aspect ratio kept (OpenCV's
// area interpolation when shrinking, bilinear when enlarging), centred and
// padded with geometry::kLetterboxFill. A shrink by whole factors is averaged
// in C++ (geometry/area_shrink: the pixels OpenCV gives) with the GIL
// released; any other resize goes through cv2.resize, which releases the GIL
// while it works; the paste onto the canvas runs with the GIL released.
// Call with the GIL held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "geometry/area_shrink.hpp"
#include "geometry/boxes.hpp"
#include "pyglue/glue.hpp"

namespace kx::datasets {
namespace py = pybind11;

// A uint8 image with C-ordered rows, [H, W] or [H, W, C].
using Pixels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

inline int image_channels(const py::array& image) { return image.ndim() == 3 ? static_cast<int>(image.shape(2)) : 1; }

// (height, width) of a letter-box target given as an int or a sequence of
// two ints, each 1..kMaxSide; errors name `new_shape`.
inline std::pair<int, int> target_shape(py::handle new_shape) {
    static Lazy np_asarray{"numpy", "asarray"};
    auto side = [](py::handle value, const char* name) {
        return static_cast<int>(to_int64(value, name, 1, geometry::kMaxSide));
    };
    if (PyNumber_Check(new_shape.ptr()) && !py::isinstance<py::array>(new_shape)) {
        const int s = side(new_shape, "new_shape");
        return {s, s};
    }
    py::array arr = np_asarray()(new_shape);
    if (arr.ndim() == 0) {
        const int s = side(arr.attr("item")(), "new_shape");
        return {s, s};
    }
    if (arr.ndim() != 1 || arr.shape(0) != 2)
        raise(PyExc_ValueError,
              "new_shape must be (height, width) or an int, got " + py::repr(new_shape).cast<std::string>());
    return {side(arr[py::int_(0)], "new_shape[0]"), side(arr[py::int_(1)], "new_shape[1]")};
}

// Where a src_w x src_h image lands in the target (see geometry::Letterbox);
// a size below 1 is a ValueError.
inline geometry::Letterbox letterbox_placement(long src_w, long src_h, long target_w, long target_h,
                                               bool pad_to_stride = false) {
    try {
        return geometry::letterbox_geometry(static_cast<int>(src_w), static_cast<int>(src_h),
                                            static_cast<int>(target_w), static_cast<int>(target_h), pad_to_stride);
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, std::string("letterbox: ") + e.what());
    }
}

// cv2.resize of `image` to width x height with the letter-box's choice of
// interpolation: area when the width shrinks, bilinear otherwise.
inline Pixels resize_for_letterbox(const py::array& image, long width, long height) {
    static Lazy cv2_resize{"cv2", "resize"};
    static Lazy inter_area{"cv2", "INTER_AREA"};
    static Lazy inter_linear{"cv2", "INTER_LINEAR"};
    const bool shrink = width < static_cast<long>(image.shape(1));
    return Pixels(cv2_resize()(image, py::make_tuple(width, height),
                               py::arg("interpolation") = shrink ? inter_area() : inter_linear()));
}

// Letter-boxes `image` to `box` (its placement, from letterbox_placement on
// the image's own size) into `canvas`: box.canvas_height x box.canvas_width x
// the image's channels, rows contiguous; a caller's batch slot or the buffer
// of a new array.
inline void letterbox_into(const Pixels& image, const geometry::Letterbox& box, std::uint8_t* canvas) {
    const int src_h = static_cast<int>(image.shape(0)), src_w = static_cast<int>(image.shape(1));
    const int channels = image_channels(image);
    const std::size_t content_row = static_cast<std::size_t>(box.content_width) * static_cast<std::size_t>(channels);
    const bool resize = box.content_width != src_w || box.content_height != src_h;
    bool pasted = false;
    {
        const std::uint8_t* src = image.data();
        const std::size_t src_row = static_cast<std::size_t>(src_w) * static_cast<std::size_t>(channels);
        py::gil_scoped_release release;
        if (!resize) {
            geometry::paste_letterbox(box, src, src_row, channels, geometry::kLetterboxFill, canvas);
            pasted = true;
        } else if (box.content_width < src_w) {
            std::vector<std::uint8_t> content(content_row * static_cast<std::size_t>(box.content_height));
            pasted = geometry::shrink_by_whole_factor(src, src_row, src_w, src_h, channels, content.data(), content_row,
                                                      box.content_width, box.content_height);
            if (pasted)
                geometry::paste_letterbox(box, content.data(), content_row, channels, geometry::kLetterboxFill, canvas);
        }
    }
    if (pasted) return;
    // OpenCV drops a trailing channel axis of 1, which the paste does not
    // care about: the bytes are laid out the same.
    const Pixels content = resize_for_letterbox(image, box.content_width, box.content_height);
    if (content.size() != static_cast<py::ssize_t>(content_row) * box.content_height)
        raise(PyExc_ValueError, "[ERROR]: cv2.resize returned an image of unexpected size");
    const std::uint8_t* src = content.data();
    py::gil_scoped_release release;
    geometry::paste_letterbox(box, src, content_row, channels, geometry::kLetterboxFill, canvas);
}

// As letterbox_into, onto a new array of the canvas size with the image's
// layout ([H, W] stays two-dimensional).
inline py::array_t<std::uint8_t> letterbox_array(const Pixels& image, const geometry::Letterbox& box) {
    std::vector<py::ssize_t> shape = {box.canvas_height, box.canvas_width};
    if (image.ndim() == 3) shape.push_back(image.shape(2));
    py::array_t<std::uint8_t> canvas(shape);
    letterbox_into(image, box, canvas.mutable_data());
    return canvas;
}

}  // namespace kx::datasets
