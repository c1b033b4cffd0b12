// orvane.kestrix.datasets.utils: image and box helpers of the detection datasets.
//
// letterbox() fits an image into a fixed canvas keeping its aspect ratio;
// xywhn2xyxy() turns normalised centre/size boxes into pixel corners. The
// letter-box is the one of letterbox.hpp (shared with the readers and the
// validation runner), on the geometry of src/native/geometry; resizing and the
// canvas copy release the GIL, and so does the box arithmetic, so pipeline
// workers calling these in parallel overlap.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "geometry/boxes.hpp"
#include "letterbox.hpp"
#include "pyglue/glue.hpp"

namespace py = pybind11;
namespace geo = kx::geometry;
namespace kd = kx::datasets;

namespace {

constexpr const char* kModuleDoc = R"doc(Image and box helpers of the detection datasets.)doc";

constexpr const char* kLetterboxDoc = R"doc(Fits an image into new_shape keeping its aspect ratio.

The image is scaled by the largest factor that fits it inside new_shape (up
or down; OpenCV area interpolation when shrinking, bilinear when enlarging),
centred, and padded with grey (114 in every channel). When the free space on
an axis is odd, the extra pixel goes to the right / bottom.

Args:
    image: uint8 array HxW or HxWxC (C = 1 to 4).
    new_shape: (height, width) as a sequence of two ints, or one int for a square.
    auto: False (default) returns exactly new_shape. True pads each axis only
        up to the next multiple of 32 of the scaled content (never beyond
        new_shape), giving a smaller canvas with a stride-friendly size.

Returns:
    tuple: (new_image, ratio, pad)
        new_image: uint8 array of the canvas size, with the input's channel layout.
        ratio: (rx, ry), scaled content size over input size per axis; the
            content is exactly ratio[0]*w wide and ratio[1]*h tall.
        pad: (padw, padh), left and top padding in pixels (floats); a point
            (x, y) of the input lands at (x*rx + padw, y*ry + padh).

Raises:
    ValueError: image not uint8, of another shape or empty; new_shape not
        one or two entries, or an entry below 1 or above 2**20 (2**64, say).
    TypeError: an entry of new_shape is not an integer (a float, a string).
)doc";

constexpr const char* kXywhn2xyxyDoc = R"doc(Normalised centre/size boxes to pixel corners.

    x1 = (cx - bw/2) * w + padw    y1 = (cy - bh/2) * h + padh
    x2 = (cx + bw/2) * w + padw    y2 = (cy + bh/2) * h + padh

Args:
    boxes: array [N, 4] or [N, 4+k] (N may be 0); columns 0-3 are cx, cy, bw,
        bh normalised to 0..1, further columns (e.g. the class) are copied.
    w, h: the pixel width and height the normalised values refer to.
    padw, padh: pixel offsets added to x and y (default 0).

Returns:
    numpy.ndarray: a new writable C-contiguous array of the same shape; dtype
    float32 or float64 as the input, float64 for other input dtypes.

Raises:
    ValueError: boxes is not two-dimensional with at least 4 columns.
    TypeError: w, h, padw or padh is not a number.
)doc";

py::tuple letterbox(py::handle image_arg, py::handle new_shape, bool pad_to_stride) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    py::array image = np_asarray()(image_arg);
    if (image.dtype().kind() != 'u' || image.itemsize() != 1)
        kx::raise(PyExc_ValueError, "letterbox expects a uint8 image, got dtype " +
                                        py::str(image.dtype()).cast<std::string>());
    const bool layout_ok = image.ndim() == 2 || (image.ndim() == 3 && image.shape(2) >= 1 && image.shape(2) <= 4);
    if (!layout_ok || image.size() == 0)
        kx::raise(PyExc_ValueError, "letterbox expects an image of shape HxW or HxWxC (C = 1 to 4), got " +
                                        kx::shape_text(image));
    const auto [target_h, target_w] = kd::target_shape(new_shape);
    const geo::Letterbox box = kd::letterbox_placement(static_cast<long>(image.shape(1)), static_cast<long>(image.shape(0)),
                                                       target_w, target_h, pad_to_stride);
    py::array canvas = kd::letterbox_array(kd::Pixels(image), box);
    return py::make_tuple(canvas, py::make_tuple(box.ratio_x, box.ratio_y),
                          py::make_tuple(double(box.pad_left), double(box.pad_top)));
}

template <typename T>
py::array convert_boxes(const py::array& boxes, double w, double h, double padw, double padh) {
    py::array_t<T, py::array::c_style | py::array::forcecast> in(boxes);
    const auto rows = static_cast<std::size_t>(in.shape(0));
    const auto cols = static_cast<std::size_t>(in.shape(1));
    py::array_t<T> out({in.shape(0), in.shape(1)});
    const T* src = in.data();
    T* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        geo::xywhn_to_xyxy(src, dst, rows, cols, w, h, padw, padh);
    }
    return out;
}

py::array xywhn2xyxy(py::handle boxes_arg, py::handle w, py::handle h, py::handle padw, py::handle padh) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    const double width = kx::to_double(w, "w");
    const double height = kx::to_double(h, "h");
    const double pad_x = kx::to_double(padw, "padw");
    const double pad_y = kx::to_double(padh, "padh");
    py::array boxes = np_asarray()(boxes_arg);
    if (boxes.ndim() != 2 || boxes.shape(1) < 4)
        kx::raise(PyExc_ValueError, "xywhn2xyxy expects boxes of shape [N, 4] or [N, 4+k], got shape " +
                                        kx::shape_text(boxes));
    if (boxes.dtype().is(py::dtype::of<float>())) return convert_boxes<float>(boxes, width, height, pad_x, pad_y);
    return convert_boxes<double>(boxes, width, height, pad_x, pad_y);
}

}  // namespace

PYBIND11_MODULE(KESTRIX_MODULE_NAME, m) {
    kx::register_native_errors(m);
    m.doc() = kModuleDoc;
    m.def("letterbox", &letterbox, kLetterboxDoc, py::arg("image"), py::arg("new_shape"), py::arg("auto") = false);
    m.def("xywhn2xyxy", &xywhn2xyxy, kXywhn2xyxyDoc, py::arg("boxes"), py::arg("w"), py::arg("h"),
          py::arg("padw") = 0, py::arg("padh") = 0);
}
