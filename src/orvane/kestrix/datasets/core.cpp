// orvane.kestrix.datasets.core: BaseDetectionDataset, the base class of the
// detection dataset readers (TFRecord, Darknet).
//
// The base owns the construction order (descriptor -> content check -> storage
// lists) and the tf.data pipelines that turn storage into batches. A reader
// supplies four hooks: validate_info_file_content, load_storage,
// build_and_load_base_iterator (storage -> dataset of raw elements) and
// load_instance (one raw element -> one sample, on concrete values).
//
// Thread-safety: construction and the iterator builders run on the caller's
// thread. The pipelines call load_instance from TensorFlow's worker threads
// through tf.numpy_function, which takes the GIL; several batches load at
// once, so load_instance must not write to the dataset object. A reader may
// offer a loader of whole training batches (`_training_batch_loader`), used
// in its place while the dataset's load_instance is the reader's own; the
// same holds for it. Augmentation
// (src/native/augment) runs on the batch buffers with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "augment/augment.hpp"
#include "augment_config.hpp"
#include "core_docs.hpp"
#include "pyglue/glue.hpp"

namespace py = pybind11;

namespace {

[[noreturn]] void not_overridden(py::handle self, const char* hook) {
    std::string cls = py::str(py::type::of(self).attr("__qualname__"));
    kx::raise(PyExc_NotImplementedError,
              cls + " must override BaseDetectionDataset." + hook + "(); the base class has no implementation");
}

// A batch size or shape entry given as any integral Python value.
long to_long(py::handle value) {
    auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    long result = PyLong_AsLong(index.ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

long positive_batch_size(py::handle value) {
    if (!PyIndex_Check(value.ptr())) kx::raise_type_error("batch_size", "int", value);
    long batch = to_long(value);
    if (batch < 1) kx::raise(PyExc_ValueError, "[ERROR]: batch_size must be at least 1, got " + std::to_string(batch));
    return batch;
}

// (height, width) of training images, from self.shape.
std::pair<long, long> output_size(py::handle self) {
    py::object shape = self.attr("shape");
    bool ok = !shape.is_none() && PySequence_Check(shape.ptr()) && py::len(shape) >= 2;
    if (ok) ok = PyIndex_Check(py::object(shape[py::int_(0)]).ptr()) && PyIndex_Check(py::object(shape[py::int_(1)]).ptr());
    if (!ok) {
        std::string got = py::repr(shape);
        kx::raise(PyExc_ValueError, "[ERROR]: shape must list the output height and width, got " + got);
    }
    long height = to_long(shape[py::int_(0)]);
    long width = to_long(shape[py::int_(1)]);
    if (height < 1 || width < 1)
        kx::raise(PyExc_ValueError, "[ERROR]: shape must hold a positive height and width, got " + std::string(py::repr(shape)));
    return {height, width};
}

py::object autotune() {
    static kx::Lazy value{"tensorflow", "data.AUTOTUNE"};
    return value();
}

// Training batches loaded at once: twice the cores this process may run on.
// A batch holds the GIL only between its decodes, so with as many batches as
// cores (what AUTOTUNE settles on) a core often waits for the GIL while
// another batch's glue runs; twice as many keep the cores decoding (about 5%
// more images per second on two cores). Each batch in flight is one batch
// buffer.
long training_parallel_calls() {
    static kx::Lazy sched_getaffinity{"os", "sched_getaffinity"};
    static kx::Lazy cpu_count{"os", "cpu_count"};
    long cores = 0;
    try {
        cores = static_cast<long>(py::len(sched_getaffinity()(0)));
    } catch (py::error_already_set&) {  // not on this platform
        py::object counted = cpu_count()();
        cores = counted.is_none() ? 1 : counted.cast<long>();
    }
    return 2 * std::max(1L, cores);
}

// ---------------------------------------------------------------- batches

// A uint8 array of `shape` whose data starts on a 64-byte boundary:
// TensorFlow adopts such a buffer as the tensor returned by numpy_function
// instead of copying it.
py::array aligned_uint8(const std::vector<py::ssize_t>& shape) {
    constexpr std::size_t kAlign = 64;
    std::size_t bytes = 1;
    for (py::ssize_t extent : shape) bytes *= static_cast<std::size_t>(extent);
    py::array_t<std::uint8_t> storage(static_cast<py::ssize_t>(bytes + kAlign));
    std::uint8_t* data = storage.mutable_data();
    std::size_t offset = (kAlign - reinterpret_cast<std::uintptr_t>(data) % kAlign) % kAlign;
    return py::array(py::dtype::of<std::uint8_t>(), shape, data + offset, storage);
}

// Turns a batch of raw elements into one batch of samples: load_instance on
// each element in order, images stacked, boxes padded with zero rows to the
// largest box count, names (validation) collected. Runs inside
// tf.numpy_function, once per batch rather than once per element: the bridge
// costs far more per call than the glue of one sample, and the samples of a
// batch are copied once, straight into the batch.
class BatchLoader {
public:
    using Boxes = py::array_t<float, py::array::c_style | py::array::forcecast>;

    // height/width: the fixed training image size, or 0 to take the size of
    // the first image of each batch (validation).
    // augmentation: applied to training batches when it has a technique on.
    // batch_loader: the reader's loader of whole training batches (see
    // training_batch_loader), or None.
    // ignore_regions: validation samples carry a fourth item, the ignore
    // regions ([M, 5] like the boxes), batched as the boxes are.
    // owner: the dataset, whose `mosaic_enabled` (true when absent) switches
    // the mosaic on and off between batches.
    BatchLoader(py::object load_instance, bool training, long height, long width,
                kx::augment::Config augmentation = {}, py::object batch_loader = py::none(),
                bool ignore_regions = false, py::object owner = py::none())
        : load_instance_(std::move(load_instance)),
          batch_loader_(std::move(batch_loader)),
          owner_(std::move(owner)),
          training_(training),
          ignore_regions_(ignore_regions),
          height_(height),
          width_(width),
          augmentation_(augmentation) {}

    // key: the batch's random key (augmented training batches only).
    py::tuple operator()(const py::object& elements, std::uint64_t key = 0) const {
        if (training_) return training_batch(elements, key);
        const py::ssize_t count = py::len(elements);
        std::vector<py::array> images;
        std::vector<Boxes> boxes, ignored;
        py::list names;
        images.reserve(static_cast<std::size_t>(count));
        boxes.reserve(static_cast<std::size_t>(count));
        py::ssize_t rows = 0, ignored_rows = 0;
        for (py::ssize_t i = 0; i < count; ++i) {
            py::object sample = load_instance_(elements[py::int_(i)], py::bool_(training_));
            const std::size_t expected = training_ ? 2 : ignore_regions_ ? 4 : 3;
            if (!PyTuple_Check(sample.ptr()) && !PyList_Check(sample.ptr()))
                fail(i, "a " + std::string(Py_TYPE(sample.ptr())->tp_name) + " instead of a tuple");
            py::sequence items = py::reinterpret_borrow<py::sequence>(sample);
            if (items.size() != expected)
                fail(i, std::to_string(items.size()) + " items where " + std::to_string(expected) + " were expected");
            images.push_back(checked_image(items[0], i, images.empty() ? nullptr : &images.front()));
            boxes.push_back(checked_boxes(items[1], i, "boxes"));
            rows = std::max(rows, boxes.back().shape(0));
            if (!training_) names.append(items[2]);
            if (expected == 4) {
                ignored.push_back(checked_boxes(items[3], i, "ignore boxes"));
                ignored_rows = std::max(ignored_rows, ignored.back().shape(0));
            }
        }

        std::vector<py::ssize_t> batch_shape{count, height_, width_, 3};
        if (!training_) {
            batch_shape[1] = count ? images.front().shape(0) : 0;
            batch_shape[2] = count ? images.front().shape(1) : 0;
        }
        py::array batch_images = aligned_uint8(batch_shape);
        std::uint8_t* image_out = static_cast<std::uint8_t*>(batch_images.mutable_data());
        const std::size_t image_bytes = static_cast<std::size_t>(batch_shape[1] * batch_shape[2] * 3);
        {
            // Plain copies between buffers that `images` keeps alive.
            py::gil_scoped_release release;
            for (std::size_t i = 0; i < images.size(); ++i)
                std::memcpy(image_out + i * image_bytes, images[i].data(), image_bytes);
        }
        py::array_t<float> batch_boxes = padded_boxes(boxes, rows);
        if (training_) return py::tuple(py::make_tuple(batch_images, batch_boxes));
        static kx::Lazy np_array{"numpy", "array"};
        py::object batch_names = np_array()(names, py::arg("dtype") = "object");
        if (!ignore_regions_) return py::tuple(py::make_tuple(batch_images, batch_boxes, batch_names));
        return py::tuple(py::make_tuple(batch_images, batch_boxes, batch_names, padded_boxes(ignored, ignored_rows)));
    }

private:
    // float32 [count, rows, 5]: each sample's rows, then zero rows.
    static py::array_t<float> padded_boxes(const std::vector<Boxes>& boxes, py::ssize_t rows) {
        const auto count = static_cast<py::ssize_t>(boxes.size());
        py::array_t<float> batch_boxes({count, rows, py::ssize_t{5}});
        float* box_out = batch_boxes.mutable_data();
        // Plain copies between buffers that `boxes` keeps alive.
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            const std::size_t values = static_cast<std::size_t>(boxes[i].shape(0)) * 5;
            float* row = box_out + i * static_cast<std::size_t>(rows) * 5;
            std::memcpy(row, boxes[i].data(), values * sizeof(float));
            std::fill(row + values, row + static_cast<std::size_t>(rows) * 5, 0.0f);
        }
        return batch_boxes;
    }

    Boxes checked_boxes(py::handle value, py::ssize_t index, const char* what) const {
        auto box = Boxes::ensure(value);
        if (!box) throw py::error_already_set();
        if (box.ndim() != 2 || box.shape(1) != 5)
            fail(index, std::string(what) + " of shape " + kx::shape_text(box) + " instead of [N, 5]");
        return box;
    }

    // A training batch. The reader's batch loader, when there is one, writes
    // the samples it can straight into the batch; every other element goes
    // through load_instance and is checked and copied into the batch.
    py::tuple training_batch(const py::object& elements, std::uint64_t key) const {
        const py::ssize_t count = py::len(elements);
        py::array batch_images = aligned_uint8({count, height_, width_, 3});
        std::uint8_t* image_out = static_cast<std::uint8_t*>(batch_images.mutable_data());
        const std::size_t image_bytes = static_cast<std::size_t>(height_ * width_ * 3);
        py::object loaded = py::none();
        if (!batch_loader_.is_none()) {
            loaded = batch_loader_(elements, batch_images);
            if (!PyList_Check(loaded.ptr()) || py::len(loaded) != static_cast<std::size_t>(count))
                kx::raise(PyExc_ValueError, "[ERROR]: the batch loader of the dataset returned no list of " +
                                                std::to_string(count) + " samples");
        }
        std::vector<Boxes> boxes;
        boxes.reserve(static_cast<std::size_t>(count));
        std::vector<std::pair<std::size_t, py::array>> copies;  // samples of load_instance: slot, image
        py::ssize_t rows = 0;
        for (py::ssize_t i = 0; i < count; ++i) {
            py::object returned_boxes;  // keeps load_instance's boxes alive
            py::handle done = loaded.is_none() ? py::handle(Py_None) : py::handle(PyList_GET_ITEM(loaded.ptr(), i));
            if (done.is_none()) {
                py::object sample = load_instance_(elements[py::int_(i)], py::bool_(true));
                if (!PyTuple_Check(sample.ptr()) && !PyList_Check(sample.ptr()))
                    fail(i, "a " + std::string(Py_TYPE(sample.ptr())->tp_name) + " instead of a tuple");
                py::sequence items = py::reinterpret_borrow<py::sequence>(sample);
                if (items.size() != 2) fail(i, std::to_string(items.size()) + " items where 2 were expected");
                copies.emplace_back(static_cast<std::size_t>(i), checked_image(items[0], i, nullptr));
                returned_boxes = items[1];
                done = returned_boxes;
            }
            Boxes box = checked_boxes(done, i, "boxes");
            rows = std::max(rows, box.shape(0));
            boxes.push_back(std::move(box));
        }
        {
            // Plain copies between buffers that `copies` keeps alive.
            py::gil_scoped_release release;
            for (const auto& [slot, image] : copies) std::memcpy(image_out + slot * image_bytes, image.data(), image_bytes);
        }
        if (augmentation_.any()) return augmented(batch_images, boxes, key);

        return py::tuple(py::make_tuple(batch_images, padded_boxes(boxes, rows)));
    }

    // The training batch with every sample augmented in place in the batch
    // buffer: the pixels are augmented, and the boxes moved, with the GIL
    // released; boxes are padded to the largest count left (at least one row,
    // so a sample left without boxes carries one all-zero row).
    py::tuple augmented(py::array batch_images, const std::vector<Boxes>& boxes, std::uint64_t key) const {
        using kx::augment::Box;
        const py::ssize_t count = static_cast<py::ssize_t>(boxes.size());
        std::uint8_t* image_out = static_cast<std::uint8_t*>(batch_images.mutable_data());
        const std::size_t image_bytes = static_cast<std::size_t>(height_ * width_ * 3);
        std::vector<std::vector<Box>> moved(boxes.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            const float* row = boxes[i].data();
            for (py::ssize_t r = 0; r < boxes[i].shape(0); ++r, row += 5)
                moved[i].push_back(Box{row[0], row[1], row[2], row[3], row[4]});
        }
        const bool mosaic = augmentation_.mosaic > 0 && count > 0 &&
                            (owner_.is_none() || py::bool_(py::getattr(owner_, "mosaic_enabled", py::bool_(true))));
        std::size_t rows = 1;
        {
            py::gil_scoped_release release;
            std::vector<std::uint8_t> scratch;
            // The batch as loaded: the mosaic draws its four images from it.
            std::vector<std::uint8_t> originals;
            std::vector<std::vector<Box>> original_boxes;
            if (mosaic) {
                originals.assign(image_out, image_out + static_cast<std::size_t>(count) * image_bytes);
                original_boxes = moved;
            }
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                std::uint8_t* pixels = image_out + i * image_bytes;
                kx::augment::Rng rng(kx::augment::sample_seed(key, i));
                if (mosaic && rng.uniform() < augmentation_.mosaic) {
                    const std::uint8_t* sources[4];
                    const std::vector<Box>* source_boxes[4];
                    for (int q = 0; q < 4; ++q) {
                        const std::size_t j = q == 0 ? i : static_cast<std::size_t>(rng.next() % boxes.size());
                        sources[q] = originals.data() + j * image_bytes;
                        source_boxes[q] = &original_boxes[j];
                    }
                    const int cx = static_cast<int>(rng.uniform(0.25, 0.75) * static_cast<double>(width_));
                    const int cy = static_cast<int>(rng.uniform(0.25, 0.75) * static_cast<double>(height_));
                    kx::augment::mosaic(sources, source_boxes, static_cast<int>(height_), static_cast<int>(width_), cx,
                                        cy, augmentation_, pixels, moved[i]);
                }
                kx::augment::apply(augmentation_, rng, pixels, static_cast<int>(height_), static_cast<int>(width_),
                                   moved[i], scratch);
                rows = std::max(rows, moved[i].size());
            }
        }
        py::array_t<float> batch_boxes({count, static_cast<py::ssize_t>(rows), py::ssize_t{5}});
        float* box_out = batch_boxes.mutable_data();
        std::fill(box_out, box_out + static_cast<std::size_t>(count) * rows * 5, 0.0f);
        for (std::size_t i = 0; i < moved.size(); ++i) {
            float* row = box_out + i * rows * 5;
            for (const Box& b : moved[i]) {
                *row++ = b.x1, *row++ = b.y1, *row++ = b.x2, *row++ = b.y2, *row++ = b.cls;
            }
        }
        return py::tuple(py::make_tuple(batch_images, batch_boxes));
    }

    [[noreturn]] void fail(py::ssize_t index, const std::string& what) const {
        kx::raise(PyExc_ValueError, "[ERROR]: load_instance returned " + what + " for element " +
                                        std::to_string(index) + " of a " + (training_ ? "training" : "validation") +
                                        " batch");
    }

    // A C-contiguous uint8 [H, W, 3] image: the training size, or the size
    // of the batch's first image in validation.
    py::array checked_image(py::handle value, py::ssize_t index, const py::array* first) const {
        if (!py::isinstance<py::array>(value)) fail(index, "an image of type " + std::string(Py_TYPE(value.ptr())->tp_name));
        auto image = py::reinterpret_borrow<py::array>(value);
        if (!image.dtype().is(py::dtype::of<std::uint8_t>()))
            fail(index, "an image of dtype " + std::string(py::str(image.dtype())) + " instead of uint8");
        if (image.ndim() != 3 || image.shape(2) != 3) fail(index, "an image of shape " + kx::shape_text(image) + " instead of [H, W, 3]");
        if (training_ && (image.shape(0) != height_ || image.shape(1) != width_))
            fail(index, "an image of shape " + kx::shape_text(image) + " instead of (" + std::to_string(height_) + ", " +
                            std::to_string(width_) + ", 3)");
        if (first != nullptr && (image.shape(0) != first->shape(0) || image.shape(1) != first->shape(1))) {
            fail(index, "an image of shape " + kx::shape_text(image) + " while the first image of the batch has shape " +
                            kx::shape_text(*first) + "; images of one validation batch must share a size (use batch_size=1)");
        }
        return py::array_t<std::uint8_t, py::array::c_style>::ensure(image);
    }

    py::object load_instance_;
    py::object batch_loader_;
    py::object owner_;
    bool training_;
    bool ignore_regions_;
    long height_;
    long width_;
    kx::augment::Config augmentation_;
};

// The reader's loader of whole training batches, bound to `self`, when the
// reader offers one (the class attribute `_training_batch_loader`, a pair of
// the load_instance function it stands for and the loader) and `self`'s
// load_instance is still that function: a subclass or an instance that
// overrides load_instance gets its own load_instance called for every sample.
py::object training_batch_loader(py::handle self, const py::object& load_instance) {
    static kx::Lazy partial{"functools", "partial"};
    py::object offered = py::getattr(py::type::of(self), "_training_batch_loader", py::none());
    if (!PyTuple_Check(offered.ptr()) || py::len(offered) != 2) return py::none();
    py::tuple pair = py::reinterpret_borrow<py::tuple>(offered);
    if (!PyMethod_Check(load_instance.ptr())) return py::none();
    if (PyMethod_GET_SELF(load_instance.ptr()) != self.ptr() || PyMethod_GET_FUNCTION(load_instance.ptr()) != pair[0].ptr())
        return py::none();
    return partial()(pair[1], self);
}

// Whether the dataset's validation samples carry ignore regions (the class
// attribute `ignore_regions` of the COCO and VOC readers).
bool has_ignore_regions(py::handle self) {
    const int truth = PyObject_IsTrue(py::getattr(self, "ignore_regions", py::bool_(false)).ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

// base -> batch -> load_instance per element (one numpy_function call per
// batch, batches loaded in parallel, in their order) -> static shapes ->
// prefetch. Augmented training batches are zipped with a stream of random
// keys first (seeded when the settings name a seed, drawn anew on every
// iteration), so that the augmentation of a batch does not depend on which
// worker loads it.
py::object build_pipeline(py::handle self, const char* storage, bool training, long batch, long height, long width,
                          py::object prefetch, const Augmentation& augmentation = {}) {
    static kx::Lazy numpy_function{"tensorflow", "numpy_function"};
    static kx::Lazy tf_uint8{"tensorflow", "uint8"};
    static kx::Lazy tf_float32{"tensorflow", "float32"};
    static kx::Lazy tf_string{"tensorflow", "string"};
    static kx::Lazy dataset_type{"tensorflow", "data.Dataset"};

    const bool augment = training && augmentation.config.any();
    // Readers with crowd or difficult objects give validation samples a
    // fourth item, their ignore regions.
    const bool ignore_regions = !training && has_ignore_regions(self);
    py::object dataset = self.attr("build_and_load_base_iterator")(self.attr(storage), py::arg("shuffle") = training);
    py::object load_instance = self.attr("load_instance");
    py::object loader = py::cpp_function(
        [batch_loader = BatchLoader(load_instance, training, height, width, augmentation.config,
                                    training ? training_batch_loader(self, load_instance) : py::none(),
                                    ignore_regions, py::reinterpret_borrow<py::object>(self))](
            py::object elements, py::object key) -> py::tuple {
            return batch_loader(elements, key.is_none() ? 0 : static_cast<std::uint64_t>(key.cast<std::int64_t>()));
        },
        py::name(training ? "load_training_batch" : "load_validation_batch"), py::arg("elements"),
        py::arg("key") = py::none());
    py::object image_shape = py::make_tuple(py::none(), py::none(), py::none(), 3);
    if (training) image_shape = py::make_tuple(py::none(), height, width, 3);
    auto load_batch = [loader, training, ignore_regions, image_shape](const py::list& inputs) -> py::tuple {
        py::list dtypes;
        dtypes.append(tf_uint8());
        dtypes.append(tf_float32());
        if (!training) dtypes.append(tf_string());
        if (ignore_regions) dtypes.append(tf_float32());
        py::list outputs(numpy_function()(loader, inputs, dtypes, py::arg("stateful") = false,
                                          py::arg("name") = "load_instance"));
        outputs[0].attr("set_shape")(image_shape);
        outputs[1].attr("set_shape")(py::make_tuple(py::none(), py::none(), 5));
        if (training) return py::tuple(py::make_tuple(outputs[0], outputs[1]));
        outputs[2].attr("set_shape")(py::make_tuple(py::none()));
        if (!ignore_regions) return py::tuple(py::make_tuple(outputs[0], outputs[1], outputs[2]));
        outputs[3].attr("set_shape")(py::make_tuple(py::none(), py::none(), 5));
        return py::tuple(py::make_tuple(outputs[0], outputs[1], outputs[2], outputs[3]));
    };
    dataset = dataset.attr("batch")(batch);
    py::cpp_function load;
    if (augment) {
        py::object keys = dataset_type().attr("random")(py::arg("seed") = augmentation.seed,
                                                        py::arg("rerandomize_each_iteration") = true);
        dataset = dataset_type().attr("zip")(py::make_tuple(dataset, keys));
        load = py::cpp_function(
            [load_batch](py::object elements, py::object key) -> py::tuple {
                py::list inputs;
                inputs.append(elements);
                inputs.append(key);
                return load_batch(inputs);
            },
            py::name("load_augmented_samples"));
    } else {
        load = py::cpp_function(
            [load_batch](py::object elements) -> py::tuple {
                py::list inputs;
                inputs.append(elements);
                return load_batch(inputs);
            },
            py::name(training ? "load_training_samples" : "load_validation_samples"));
    }
    dataset = dataset.attr("map")(load, py::arg("num_parallel_calls") = training ? py::int_(training_parallel_calls())
                                                                                   : autotune());
    return dataset.attr("prefetch")(prefetch.is_none() ? autotune() : prefetch);
}

py::object build_train_iterator(py::object self, py::object batch_size, py::object prefetch) {
    long batch = positive_batch_size(batch_size);
    auto [height, width] = output_size(self);
    Augmentation augmentation = parse_augmentation(self.attr("aug_cfg"));
    return build_pipeline(self, "train_storage", true, batch, height, width, std::move(prefetch), augmentation);
}

py::object build_val_iterator(py::object self, py::object batch_size) {
    long batch = positive_batch_size(batch_size);
    return build_pipeline(self, "val_storage", false, batch, 0, 0, py::none());
}

py::object validate_info_file(py::object /*self*/, py::object info_file) {
    static kx::Lazy os_path_exists{"os.path", "exists"};
    static kx::Lazy open_file{"io", "open"};
    static kx::Lazy safe_load{"yaml", "safe_load"};
    if (info_file.is_none()) kx::raise(PyExc_ValueError, "[ERROR]: No dataset descriptor file was given (info_file is None)");
    kx::check_str(info_file, "info_file");
    std::string path = info_file.cast<std::string>();
    if (!os_path_exists()(info_file).cast<bool>())
        kx::raise(PyExc_ValueError, "[ERROR]: Dataset descriptor file " + path + " does not exist");
    // A named pipe, socket or device would block the read for ever (a folder fails the open).
    static kx::Lazy os_path_isfile{"os.path", "isfile"};
    static kx::Lazy os_path_isdir{"os.path", "isdir"};
    if (!os_path_isfile()(info_file).cast<bool>() && !os_path_isdir()(info_file).cast<bool>())
        kx::raise(PyExc_ValueError, "[ERROR]: Dataset descriptor file " + path +
                                        " is not a regular file (a named pipe, socket or device)");
    py::object content;
    try {
        py::object file = open_file()(info_file, "r", py::arg("encoding") = "utf-8");
        content = kx::with_context(file, [&] { return safe_load()(file); });
    } catch (py::error_already_set& err) {
        std::string message = "[ERROR]: Dataset descriptor file " + path + " could not be read: " + std::string(py::str(err.value()));
        py::raise_from(err, PyExc_ValueError, message.c_str());
        throw py::error_already_set();
    }
    if (!PyDict_Check(content.ptr())) {
        std::string got = Py_TYPE(content.ptr())->tp_name;
        kx::raise(PyExc_ValueError,
                  "[ERROR]: Dataset descriptor file " + path + " does not hold a mapping of keys (got " + got + ")");
    }
    return content;
}

void init(py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
          py::object aug_cfg) {
    parse_augmentation(aug_cfg);  // a bad setting fails before any hook runs
    // The readers deliver RGB samples: a shape declaring other channels would be ignored
    // (three-channel batches for a one-channel input).
    if (!shape.is_none() && PySequence_Check(shape.ptr()) && py::len(shape) >= 3) {
        py::object channels = shape[py::int_(2)];
        int three = PyIndex_Check(channels.ptr()) ? PyObject_RichCompareBool(channels.ptr(), py::int_(3).ptr(), Py_EQ) : 0;
        if (three < 0) throw py::error_already_set();
        if (three == 0 || py::len(shape) > 3)
            kx::raise(PyExc_ValueError, "[ERROR]: shape must be [height, width] or [height, width, 3] (the readers "
                                        "deliver RGB images), got " + std::string(py::repr(shape)));
    }
    self.attr("shape") = shape;
    self.attr("letter_box") = letter_box;
    int background = PyObject_IsTrue(add_bkg_class.ptr());
    if (background < 0) throw py::error_already_set();
    self.attr("class_offset") = py::int_(background);
    self.attr("aug_cfg") = aug_cfg;
    self.attr("train_storage") = py::list();
    self.attr("val_storage") = py::list();
    py::object descriptor = self.attr("validate_info_file")(info_file);
    self.attr("validate_info_file_content")(descriptor);
    self.attr("load_storage")();
}

}  // namespace

PYBIND11_MODULE(core, m) {
    kx::register_native_errors(m);
    m.doc() = "Dataset core: BaseDetectionDataset, the base class of the detection dataset readers.";
    py::object object_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    py::object cls = kx::make_class(m, "BaseDetectionDataset", object_type, kClassDoc);

    kx::def_init(cls, &init, kInitDoc, py::arg("info_file") = py::none(), py::arg("shape") = py::none(),
                 py::arg("letter_box") = true, py::kw_only(), py::arg("add_bkg_class") = true,
                 py::arg("aug_cfg") = py::none());
    kx::def_method(cls, "validate_info_file", &validate_info_file, kValidateInfoFileDoc, py::arg("info_file"));
    kx::def_method(
        cls, "validate_info_file_content",
        [](py::object self, py::object) -> py::object { not_overridden(self, "validate_info_file_content"); },
        kValidateContentDoc, py::arg("info_dataset") = py::none());
    kx::def_method(
        cls, "load_storage", [](py::object self) -> py::object { not_overridden(self, "load_storage"); },
        kLoadStorageDoc);
    kx::def_method(
        cls, "build_and_load_base_iterator",
        [](py::object self, py::object, py::object) -> py::object {
            not_overridden(self, "build_and_load_base_iterator");
        },
        kBaseIteratorDoc, py::arg("storage"), py::arg("shuffle") = true);
    kx::def_method(
        cls, "load_instance",
        [](py::object self, py::object, py::object) -> py::object { not_overridden(self, "load_instance"); },
        kLoadInstanceDoc, py::arg("data"), py::arg("training") = true);
    kx::def_method(cls, "build_train_iterator", &build_train_iterator, kTrainIteratorDoc, py::arg("batch_size"),
                   py::arg("prefetch") = 10);
    kx::def_method(cls, "build_val_iterator", &build_val_iterator, kValIteratorDoc, py::arg("batch_size") = 1);
}
