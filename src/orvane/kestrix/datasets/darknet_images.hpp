// How the readers of image files (the Darknet, COCO and VOC readers, each
// including this once) turn paths into file-system paths and Python strings,
// unpack a sample pair, and read a sample's image file: plain JPEGs through
// OpenCV without the GIL, everything else with Pillow, training JPEGs at a
// reduced scale when the output needs no more.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "darknet/files.hpp"
#include "pyglue/glue.hpp"
#include "reader_glue.hpp"
#include "records/jpeg_info.hpp"

namespace py = pybind11;
namespace dn = kx::darknet;

namespace {

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

// The pixels of an open Pillow image as RGB uint8 [H, W, 3]. Pillow opens
// 16-bit grayscale PNGs in the modes "I;16*" (or "I"), whose convert("RGB")
// clips every value above 255 to white: those are scaled to 8 bits (the high
// byte, as OpenCV reads them in the record reader) instead.
py::array rgb_array(py::object image) {
    static kx::Lazy asarray{"numpy", "asarray"};
    static kx::Lazy clip{"numpy", "clip"};
    static kx::Lazy right_shift{"numpy", "right_shift"};
    static kx::Lazy cvt_color{"cv2", "cvtColor"};
    static kx::Lazy gray_to_rgb{"cv2", "COLOR_GRAY2RGB"};
    const std::string mode = py::str(image.attr("mode"));
    if (mode == "RGB") return py::array(asarray()(image));
    if (mode == "I" || mode.rfind("I;16", 0) == 0) {
        py::object high = right_shift()(clip()(asarray()(image), 0, 65535), 8).attr("astype")("uint8");
        return py::array(cvt_color()(high, gray_to_rgb()));
    }
    return py::array(asarray()(image.attr("convert")("RGB")));
}

// Opens an image and returns it as RGB uint8 [H, W, 3]: a plain JPEG read at
// full size (no output size) through OpenCV (read_plain_jpeg), everything
// else with Pillow. With a positive output size, a JPEG is decoded at the
// largest reduced scale (1/2, 1/4 or 1/8) that still covers the size the
// image is about to be scaled to, which saves most of the decoding work for
// small training shapes.
kx::datasets::DecodedImage read_image(const py::str& path, bool letter_box, long out_h, long out_w) {
    static kx::Lazy image_open{"PIL.Image", "open"};
    if (out_h <= 0 || out_w <= 0) {
        if (std::optional<py::array> plain = read_plain_jpeg(path)) return kx::datasets::DecodedImage{*plain};
    }
    try {
        py::object image = image_open()(path);
        return kx::with_context(image, [&]() -> kx::datasets::DecodedImage {
            kx::datasets::DecodedImage read;
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
            read.pixels = rgb_array(image);
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

// The image of one sample as load_instance gives it: for training read for the
// dataset's shape and fitted to it (letter-boxed when the dataset says so), for
// validation as stored, its boxes then scaling with it.
struct SampleImage {
    py::object shape;  // the training shape, None for validation
    kx::datasets::DecodedImage read;
    kx::datasets::FittedImage fitted;

    // Width and height that training boxes are clipped to (the shape's).
    std::pair<double, double> box_limits() const {
        return {kx::to_double(shape[py::int_(1)], "shape[1]"), kx::to_double(shape[py::int_(0)], "shape[0]")};
    }
};

inline SampleImage read_sample_image(py::handle self, const py::str& path, bool training) {
    namespace kd = kx::datasets;
    py::object shape = py::none();
    if (training) shape = self.attr("shape");
    const bool letter_box = training && kd::is_true(self.attr("letter_box"));
    const auto [out_h, out_w] = training ? kd::integral_size(shape) : std::pair<long, long>{0, 0};
    kd::DecodedImage read = read_image(path, letter_box, out_h, out_w);
    kd::FittedImage fitted = training ? kd::fit_training_image(read, letter_box, shape) : kd::as_stored(read.pixels);
    return SampleImage{std::move(shape), std::move(read), std::move(fitted)};
}

}  // namespace
