// The sample builder of the detection dataset readers: decoded pixels and
// normalised boxes in, a training or validation sample out. A reader only
// finds, reads and parses its files; everything from the decoded image on is
// here, so every reader gives the same pixels and boxes for the same image.
//
// A sample is built in two steps, so that a reader can report its own faults
// in between (the image is fitted first, then the boxes are read and mapped):
//
//   1. plan_training_decode  (optional) the reduced scale a JPEG of a known
//                            stored size may be decoded at;
//   2. the image:  fit_training_image       a training image as a new array
//                                           (load_instance),
//                  fit_training_image_into  a training image written into
//                                           its batch slot (batch loaders),
//                  as_stored                a validation image, as decoded;
//   3. the boxes:  sample_boxes             the boxes mapped through the
//                                           fitted image, clipped, and the
//                                           class ids shifted by the offset.
//
// Training images are letter-boxed (letterbox.hpp) or resized to the output
// size. An image decoded smaller than stored (DecodedImage::stored_w/h set)
// gets the placement of its stored size, so the padding and the boxes are
// those of full decoding; only the resampling differs.
//
// Call with the GIL held; the resizes and the pixel copies release it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "geometry/boxes.hpp"
#include "letterbox.hpp"
#include "pyglue/glue.hpp"

namespace kx::datasets {
namespace py = pybind11;

// A decoded image, RGB uint8 [H, W, 3], and the size it is stored at when it
// was decoded smaller than that (0 x 0 when decoded at full size).
struct DecodedImage {
    py::array pixels;
    long stored_w = 0, stored_h = 0;
};

// The decoder's output as C-ordered uint8 [H, W, 3], or nothing (with no
// Python error pending) for anything else.
inline std::optional<Pixels> rgb_pixels(py::handle decoded) {
    auto pixels = Pixels::ensure(decoded);
    if (!pixels || pixels.ndim() != 3 || pixels.shape(2) != 3) {
        PyErr_Clear();
        return std::nullopt;
    }
    return pixels;
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
    constexpr long kMax = geometry::kMaxSide;
    DecodePlan plan;
    if (out_h < 1 || out_w < 1 || stored_w < 1 || stored_h < 1 || out_h > kMax || out_w > kMax || stored_w > kMax ||
        stored_h > kMax)
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

// A sample's image and where its normalised boxes land in it: pixel scale
// (scale_w, scale_h) and offset (pad_w, pad_h).
struct FittedImage {
    py::object image;  // empty when the image went into a batch slot
    double scale_w = 0, scale_h = 0, pad_w = 0, pad_h = 0;
};

// A validation image: as decoded, the boxes scaled with it.
inline FittedImage as_stored(const py::array& image) {
    return {image, static_cast<double>(image.shape(1)), static_cast<double>(image.shape(0)), 0.0, 0.0};
}

// The letter-box of a training image into an out_w x out_h canvas: an image
// decoded reduced is first scaled to the content size its stored size gets.
// Writes into `canvas` when given, else onto a new array (FittedImage::image).
inline FittedImage letterbox_training_image(const DecodedImage& decoded, long out_h, long out_w,
                                            std::uint8_t* canvas) {
    Pixels image(decoded.pixels);
    long width = static_cast<long>(image.shape(1)), height = static_cast<long>(image.shape(0));
    if (decoded.stored_w > 0 && decoded.stored_h > 0 && (width != decoded.stored_w || height != decoded.stored_h)) {
        const DecodePlan plan = plan_training_decode(true, out_h, out_w, decoded.stored_w, decoded.stored_h);
        if (plan.fit_w > 0 && (plan.fit_w != width || plan.fit_h != height)) {
            image = resize_for_letterbox(image, plan.fit_w, plan.fit_h);
            width = static_cast<long>(image.shape(1));
            height = static_cast<long>(image.shape(0));
        }
    }
    const geometry::Letterbox box = letterbox_placement(width, height, out_w, out_h);
    FittedImage fitted;
    if (canvas) {
        letterbox_into(image, box, canvas);
    } else {
        fitted.image = letterbox_array(image, box);
    }
    fitted.scale_w = box.ratio_x * static_cast<double>(width);
    fitted.scale_h = box.ratio_y * static_cast<double>(height);
    fitted.pad_w = static_cast<double>(box.pad_left);
    fitted.pad_h = static_cast<double>(box.pad_top);
    return fitted;
}

// A training image fitted to `shape[:2]` as a new array: letter-boxed (the
// size read as utils.letterbox reads new_shape, with its errors) or, without
// `letter_box`, resized to shape[1] x shape[0] by cv2.resize (bilinear,
// aspect ratio not kept).
inline FittedImage fit_training_image(const DecodedImage& decoded, bool letter_box, py::handle shape) {
    static Lazy resize{"cv2", "resize"};
    if (letter_box) {
        const auto [out_h, out_w] = target_shape(shape[py::slice(0, 2, 1)]);
        return letterbox_training_image(decoded, out_h, out_w, nullptr);
    }
    py::object width = shape[py::int_(1)], height = shape[py::int_(0)];
    FittedImage fitted;
    fitted.image = resize()(decoded.pixels, py::make_tuple(width, height));
    fitted.scale_w = to_double(width, "shape[1]");
    fitted.scale_h = to_double(height, "shape[0]");
    return fitted;
}

// fit_training_image written straight into `slot`, one image of a training
// batch (out_h x out_w x 3, rows contiguous, out_h and out_w in
// 1..kMaxSide): the same resizes, placement and pixels, without a canvas of
// its own. `decoded.pixels` must be C-ordered uint8 [H, W, 3] (rgb_pixels).
// The returned image is empty.
inline FittedImage fit_training_image_into(const DecodedImage& decoded, bool letter_box, long out_h, long out_w,
                                           std::uint8_t* slot) {
    static Lazy resize{"cv2", "resize"};
    if (letter_box) return letterbox_training_image(decoded, out_h, out_w, slot);
    const Pixels resized(resize()(decoded.pixels, py::make_tuple(out_w, out_h)));
    const auto bytes = static_cast<std::size_t>(out_h * out_w * 3);
    if (resized.size() != static_cast<py::ssize_t>(bytes))
        raise(PyExc_ValueError, "[ERROR]: cv2.resize returned an image of unexpected size");
    {
        const std::uint8_t* src = resized.data();
        py::gil_scoped_release release;
        std::memcpy(slot, src, bytes);
    }
    FittedImage fitted;
    fitted.scale_w = static_cast<double>(out_w);
    fitted.scale_h = static_cast<double>(out_h);
    return fitted;
}

// A sample's boxes as the reader parsed them: `count` rows of normalised
// centre x, centre y, width, height (T = float or double; row r at
// xywh[r * stride]) and their class ids (classes[r * class_stride]).
template <typename T>
struct BoxRows {
    std::size_t count = 0;
    const T* xywh = nullptr;
    std::size_t stride = 4;
    const double* classes = nullptr;
    std::size_t class_stride = 1;
};

// The sample's boxes, float32 [N, 5]: x1, y1, x2, y2, label. The corners are
// mapped through the fitted image in T (utils.xywhn2xyxy's arithmetic), then
// for training clipped to [0, limit_w] x [0, limit_h] (the output size), for
// validation divided by the image size (the fitted scale) and clipped to 0..1;
// NaN stays NaN. The label is the class id plus `class_offset`. No boxes give
// one all-zero row.
template <typename T>
py::array_t<float> sample_boxes(const FittedImage& fitted, const BoxRows<T>& rows, double class_offset, bool training,
                                double limit_w, double limit_h) {
    const auto count = static_cast<py::ssize_t>(rows.count);
    py::array_t<float> out({std::max<py::ssize_t>(count, 1), py::ssize_t{5}});
    float* row = out.mutable_data();
    if (count == 0) {
        std::fill(row, row + 5, 0.0f);
        return out;
    }
    std::vector<T> corners(rows.count * 4);
    for (std::size_t r = 0; r < rows.count; ++r) std::copy_n(rows.xywh + r * rows.stride, 4, &corners[r * 4]);
    geometry::xywhn_to_xyxy(corners.data(), corners.data(), rows.count, 4, fitted.scale_w, fitted.scale_h,
                            fitted.pad_w, fitted.pad_h);
    const double div_x = training ? 1.0 : fitted.scale_w, div_y = training ? 1.0 : fitted.scale_h;
    const double max_x = training ? limit_w : 1.0, max_y = training ? limit_h : 1.0;
    auto clip = [](double value, double high) {
        // Comparisons keep NaN as it is, like np.clip.
        if (value < 0.0) return 0.0;
        if (value > high) return high;
        return value;
    };
    for (std::size_t r = 0; r < rows.count; ++r, row += 5) {
        const T* corner = &corners[r * 4];
        row[0] = static_cast<float>(clip(static_cast<double>(corner[0]) / div_x, max_x));
        row[1] = static_cast<float>(clip(static_cast<double>(corner[1]) / div_y, max_y));
        row[2] = static_cast<float>(clip(static_cast<double>(corner[2]) / div_x, max_x));
        row[3] = static_cast<float>(clip(static_cast<double>(corner[3]) / div_y, max_y));
        row[4] = static_cast<float>(rows.classes[r * rows.class_stride] + class_offset);
    }
    return out;
}

}  // namespace kx::datasets
