// orvane.kestrix.datasets.records: record files of detection samples.
//
// Counting, reading and writing record files (the framing and CRCs live in
// src/native/records) and the detection Example schema (encode/parse), plus
// write_detection_shards, which turns in-memory samples into sharded record
// files. Every function converts its arguments with the GIL held and releases
// it only around the Python-free work (file I/O, CRCs, protobuf coding).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pyglue/atomic_file.hpp"
#include "pyglue/glue.hpp"
#include "records/example.hpp"
#include "records/jpeg_info.hpp"
#include "records/record_file.hpp"
#include "records_arguments.hpp"
#include "records_docs.hpp"

namespace py = pybind11;
namespace rec = kx::records;

namespace {

// ---------------------------------------------------------------- functions

py::int_ count_records(py::handle paths) {
    std::vector<std::string> files = to_paths(paths, "paths");
    std::uint64_t total = 0;
    {
        py::gil_scoped_release release;
        total = rec::count_records(files);  // files in parallel, one thread per core
    }
    return py::int_(total);
}

py::list read_records(py::handle path) {
    const std::string file = to_path(path, "path");
    std::vector<std::string> payloads;
    {
        py::gil_scoped_release release;
        rec::RecordReader reader(file);
        std::string payload;
        while (reader.next(&payload)) payloads.push_back(std::move(payload));
    }
    py::list out;
    for (const std::string& p : payloads) out.append(py::bytes(p));
    return out;
}

struct EncodeInputs {
    py::object image_keep;
    std::string image_storage;
    std::string_view image;
    std::string name;
    std::int64_t width = 0;
    std::int64_t height = 0;
    py::array_t<std::int64_t> objects;
    py::array_t<float> bboxes;
};

std::string name_bytes(py::handle value, const std::string& what) {
    if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
    if (PyBytes_Check(value.ptr())) return std::string(py::reinterpret_borrow<py::bytes>(value));
    kx::raise(PyExc_TypeError, what + " must be str or bytes, got " + type_name(value));
}

std::string encode(const EncodeInputs& in) {
    const std::int64_t* objects = in.objects.data();
    const float* bboxes = in.bboxes.data();
    const auto num_objects = static_cast<std::size_t>(in.objects.size());
    const auto num_values = static_cast<std::size_t>(in.bboxes.size());
    py::gil_scoped_release release;
    return rec::encode_detection_example(in.image, in.name, in.width, in.height, objects, num_objects, bboxes,
                                         num_values);
}

py::bytes encode_example(py::handle image, py::handle image_name, py::handle width, py::handle height,
                         py::handle objects, py::handle bboxes) {
    EncodeInputs in;
    in.image = to_bytes_view(image, "image", in.image_keep, in.image_storage);
    in.name = name_bytes(image_name, "image_name");
    // A stored size of 0 or less describes no image: readers would take it for one.
    in.width = kx::to_int64(width, "width", 1);
    in.height = kx::to_int64(height, "height", 1);
    in.objects = to_int64_vector(objects, "objects", false);
    in.bboxes = to_box_vector(bboxes, "bboxes", static_cast<std::size_t>(in.objects.size()));
    return py::bytes(encode(in));
}

py::dict parse_example(py::handle serialized) {
    py::object value = unwrap_serialized(serialized);
    py::object keep;
    std::string storage;
    std::string_view data = to_bytes_view(value, "serialized", keep, storage);
    rec::DetectionExample decoded;
    {
        py::gil_scoped_release release;
        decoded = rec::decode_detection_example(data);
    }
    py::array_t<std::int64_t> objects(static_cast<py::ssize_t>(decoded.objects.size()));
    std::copy(decoded.objects.begin(), decoded.objects.end(), objects.mutable_data());
    py::array_t<float> bboxes(static_cast<py::ssize_t>(decoded.bboxes.size()));
    std::copy(decoded.bboxes.begin(), decoded.bboxes.end(), bboxes.mutable_data());
    py::dict out;
    out["image"] = py::bytes(decoded.image.data(), decoded.image.size());
    out["image_name"] = py::bytes(decoded.image_name.data(), decoded.image_name.size());
    out["width"] = py::int_(decoded.width);
    out["height"] = py::int_(decoded.height);
    out["objects"] = objects;
    out["bboxes"] = bboxes;
    return out;
}

void write_payload(rec::RecordFileWriter& writer, std::string_view payload) {
    py::gil_scoped_release release;
    writer.write(payload);
}

void commit(rec::RecordFileWriter& writer, const std::string& target) {
    py::gil_scoped_release release;
    writer.commit_as(target);
}

py::int_ write_records(py::handle path, py::handle records) {
    const std::string file = to_path(path, "path");
    if (!py::isinstance<py::iterable>(records))
        kx::raise(PyExc_TypeError, "records: expected an iterable of bytes, got " + type_name(records));
    rec::RecordFileWriter writer(file);
    std::size_t index = 0;
    for (py::handle item : py::reinterpret_borrow<py::iterable>(records)) {
        py::object keep;
        std::string storage;
        std::string_view payload = to_bytes_view(item, "records[" + std::to_string(index) + "]", keep, storage);
        write_payload(writer, payload);
        ++index;
    }
    commit(writer, file);
    return py::int_(index);
}

// ---------------------------------------------------------------- shards

std::string describe_sample(std::size_t index, py::handle name) {
    std::string text = "sample " + std::to_string(index);
    if (name && !name.is_none()) text += " (" + py::repr(name).cast<std::string>() + ")";
    return text;
}

// JPEG bytes and size of a sample image: encoded bytes are taken as they are,
// arrays are encoded at quality 95.
struct EncodedImage {
    py::object keep;
    std::string storage;
    std::string_view jpeg;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

void encode_image(py::handle image, const std::string& who, EncodedImage& out) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    static kx::Lazy np_ascontiguous{"numpy", "ascontiguousarray"};
    static kx::Lazy cv2_imencode{"cv2", "imencode"};
    static kx::Lazy cv2_quality{"cv2", "IMWRITE_JPEG_QUALITY"};
    if (PyBytes_Check(image.ptr()) || PyByteArray_Check(image.ptr()) || PyMemoryView_Check(image.ptr())) {
        out.jpeg = to_bytes_view(image, who + ": image", out.keep, out.storage);
        const auto info = rec::read_jpeg_info(out.jpeg);
        if (!info || info->width <= 0 || info->height <= 0)
            kx::raise(PyExc_ValueError, who + ": image bytes are not a JPEG stream with a readable frame size");
        out.width = info->width;
        out.height = info->height;
        return;
    }
    py::array arr = np_asarray()(image);
    if (arr.dtype().kind() != 'u' || arr.itemsize() != 1)
        kx::raise(PyExc_ValueError, who + ": image must be a uint8 array or JPEG bytes, got dtype " +
                                        py::str(arr.dtype()).cast<std::string>());
    const bool gray = arr.ndim() == 2 || (arr.ndim() == 3 && arr.shape(2) == 1);
    const bool rgb = arr.ndim() == 3 && arr.shape(2) == 3;
    if (!(gray || rgb) || arr.shape(0) == 0 || arr.shape(1) == 0)
        kx::raise(PyExc_ValueError, who + ": image must be HxWx3 (RGB) or HxW (gray), got shape " + shape_of(arr));
    out.height = arr.shape(0);
    out.width = arr.shape(1);
    py::object pixels = arr;
    if (rgb) {  // OpenCV expects BGR
        py::tuple reverse = py::make_tuple(py::ellipsis(), py::slice(py::none(), py::none(), py::int_(-1)));
        pixels = arr[reverse];
    } else if (arr.ndim() == 3) {
        pixels = arr.attr("reshape")(arr.shape(0), arr.shape(1));
    }
    pixels = np_ascontiguous()(pixels);
    py::list params;
    params.append(cv2_quality());
    params.append(95);
    py::tuple result = cv2_imencode()(".jpg", pixels, params);
    if (!result[0].cast<bool>()) kx::raise(PyExc_ValueError, who + ": OpenCV could not encode the image as JPEG");
    out.keep = result[1].attr("tobytes")();
    out.jpeg = std::string_view(PyBytes_AS_STRING(out.keep.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(out.keep.ptr())));
}

std::string encode_sample(py::handle sample, std::size_t index) {
    py::object image, name, labels, boxes;
    if (py::isinstance<py::dict>(sample)) {
        auto d = py::reinterpret_borrow<py::dict>(sample);
        name = d.contains("image_name") ? py::object(d["image_name"]) : py::object();
        const std::string who = describe_sample(index, name);
        if (!d.contains("image") || !d.contains("image_name"))
            kx::raise(PyExc_ValueError, who + ": a sample dict needs the keys 'image' and 'image_name'");
        image = d["image"];
        labels = d.contains("labels") ? py::object(d["labels"]) : py::object(py::list());
        boxes = d.contains("boxes") ? py::object(d["boxes"]) : py::object(py::list());
    } else if (py::isinstance<py::tuple>(sample) || py::isinstance<py::list>(sample)) {
        auto seq = py::reinterpret_borrow<py::sequence>(sample);
        if (seq.size() != 4)
            kx::raise(PyExc_ValueError, describe_sample(index, py::handle()) +
                                            ": a sample tuple must be (image, image_name, labels, boxes), got " +
                                            std::to_string(seq.size()) + " items");
        image = seq[0];
        name = seq[1];
        labels = seq[2];
        boxes = seq[3];
    } else {
        kx::raise(PyExc_TypeError, describe_sample(index, py::handle()) +
                                       ": expected a dict or an (image, image_name, labels, boxes) tuple, got " +
                                       type_name(sample));
    }
    const std::string who = describe_sample(index, name);
    EncodeInputs in;
    in.name = name_bytes(name, who + ": image_name");
    in.objects = to_int64_vector(labels, who + ": labels", true);
    for (py::ssize_t i = 0; i < in.objects.size(); ++i)
        if (in.objects.data()[i] < 0)
            kx::raise(PyExc_ValueError, who + ": labels must be non-negative class indices, got " +
                                            std::to_string(in.objects.data()[i]));
    in.bboxes = to_box_vector(boxes, who + ": boxes", static_cast<std::size_t>(in.objects.size()));
    EncodedImage encoded;
    encode_image(image, who, encoded);
    in.image = encoded.jpeg;
    in.width = encoded.width;
    in.height = encoded.height;
    return encode(in);
}

// True for "<stem>-<digits>-of-<digits>.tfrecord", the names this writer gives.
bool is_shard_name(std::string_view name, std::string_view stem) {
    auto digits = [&name](std::size_t pos) {
        std::size_t end = pos;
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        return end;
    };
    if (name.substr(0, stem.size()) != stem || name.substr(stem.size(), 1) != "-") return false;
    std::size_t pos = stem.size() + 1;
    std::size_t end = digits(pos);
    if (end == pos || name.substr(end, 4) != "-of-") return false;
    pos = end + 4;
    end = digits(pos);
    return end > pos && name.substr(end) == ".tfrecord";
}

// Names of the shards with prefix `stem` in folder `dir` (empty when the
// folder does not exist yet), sorted.
std::vector<std::string> existing_shards(const std::string& dir, const std::string& stem) {
    static kx::Lazy isdir{"os.path", "isdir"};
    static kx::Lazy listdir{"os", "listdir"};
    std::vector<std::string> found;
    const py::bytes where(dir.empty() ? std::string(".") : dir);
    if (!isdir()(where).cast<bool>()) return found;
    for (py::handle entry : listdir()(where)) {
        std::string name = entry.cast<std::string>();
        if (is_shard_name(name, stem)) found.push_back(std::move(name));
    }
    std::sort(found.begin(), found.end());
    return found;
}

[[noreturn]] void refuse_mixed_write(const std::string& dir, const std::string& stem,
                                     const std::vector<std::string>& names) {
    static kx::Lazy fsdecode{"os", "fsdecode"};
    constexpr std::size_t kShown = 5;
    std::string listed;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
        listed += (i ? ", " : "") + fsdecode()(py::bytes(names[i])).cast<std::string>();
    if (names.size() > kShown) listed += " and " + std::to_string(names.size() - kShown) + " more";
    const std::string shown = fsdecode()(py::bytes(dir)).cast<std::string>();
    kx::raise(PyExc_ValueError, "folder '" + shown + "' already holds " + std::to_string(names.size()) +
                                    " shard(s) with prefix '" + stem + "' (" + listed +
                                    "); readers would mix them with the new ones: pass overwrite=True to "
                                    "replace them, or write to another folder or prefix");
}

// Removes the temporary shard files that writers killed before their commit (kill -9 during a
// conversion) left in `dir`: those of processes that no longer exist. Live writers' files,
// this process's included, are left alone.
void remove_dead_writers_temps(const std::string& dir) {
    static kx::Lazy listdir{"os", "listdir"};
    static kx::Lazy os_remove{"os", "remove"};
    const std::string dir_prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    for (py::handle entry : listdir()(py::bytes(dir.empty() ? "." : dir))) {
        const std::string name = py::bytes(py::reinterpret_borrow<py::object>(entry)).cast<std::string>();
        const long long pid = rec::record_temp_pid(name);
        if (pid <= 0 || kx::files::process_exists(pid)) continue;
        try {
            os_remove()(py::bytes(dir_prefix + name));
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_FileNotFoundError)) throw;  // another process cleaned up first
        }
    }
}

py::list write_detection_shards(py::handle folder, py::handle samples, py::handle shard_size, py::handle prefix,
                                py::handle overwrite) {
    static kx::Lazy makedirs{"os", "makedirs"};
    static kx::Lazy fsdecode{"os", "fsdecode"};
    static kx::Lazy os_remove{"os", "remove"};
    const std::string dir = to_path(folder, "folder");
    const std::int64_t per_shard = kx::to_int64(shard_size, "shard_size", 1);
    if (!PyUnicode_Check(prefix.ptr()))
        kx::raise(PyExc_TypeError, "prefix must be a str, got " + type_name(prefix));
    const std::string stem = prefix.cast<std::string>();
    if (stem.empty() || stem.find('/') != std::string::npos || stem.find('\\') != std::string::npos)
        kx::raise(PyExc_ValueError, "prefix must be a non-empty file-name prefix without path separators, got '" +
                                        stem + "'");
    if (!py::isinstance<py::iterable>(samples))
        kx::raise(PyExc_TypeError, "samples: expected an iterable of samples, got " + type_name(samples));
    const int replace = PyObject_IsTrue(overwrite.ptr());
    if (replace < 0) throw py::error_already_set();
    // Shards of an earlier write would be read together with the new ones.
    if (!replace) {
        const std::vector<std::string> earlier = existing_shards(dir, stem);
        if (!earlier.empty()) refuse_mixed_write(dir, stem, earlier);
    }
    makedirs()(py::bytes(dir), py::arg("exist_ok") = true);
    remove_dead_writers_temps(dir);

    const std::string dir_prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    const std::string base = dir_prefix + stem;
    // Uncommitted shards remove their temporary files when this vector goes
    // away, so any failure below leaves the folder as it was.
    std::vector<std::unique_ptr<rec::RecordFileWriter>> shards;
    std::size_t index = 0;
    for (py::handle sample : py::reinterpret_borrow<py::iterable>(samples)) {
        if (index % static_cast<std::size_t>(per_shard) == 0)
            shards.push_back(std::make_unique<rec::RecordFileWriter>(base + ".tfrecord"));
        const std::string record = encode_sample(sample, index);
        write_payload(*shards.back(), record);
        ++index;
    }
    if (index == 0) kx::raise(PyExc_ValueError, "samples is empty: there is nothing to write");

    char suffix[64];
    std::vector<std::string> targets;
    std::vector<std::string> names;
    for (std::size_t k = 0; k < shards.size(); ++k) {
        std::snprintf(suffix, sizeof suffix, "-%05zu-of-%05zu.tfrecord", k, shards.size());
        targets.push_back(base + suffix);
        names.push_back(stem + suffix);
    }
    py::list written;
    for (std::size_t k = 0; k < shards.size(); ++k) {
        commit(*shards[k], targets[k]);
        written.append(fsdecode()(py::bytes(targets[k])));
    }
    // The old shards go only now that every new one is in place; those with
    // a new shard's name were already replaced by the rename.
    if (replace) {
        for (const std::string& name : existing_shards(dir, stem))
            if (std::find(names.begin(), names.end(), name) == names.end())
                os_remove()(py::bytes(dir_prefix + name));
    }
    return written;
}

}  // namespace

PYBIND11_MODULE(KESTRIX_MODULE_NAME, m) {
    m.doc() = kModuleDoc;
    kx::register_native_errors(m);
    m.def("count_records", &count_records, kCountRecordsDoc, py::arg("paths"));
    m.def("read_records", &read_records, kReadRecordsDoc, py::arg("path"));
    m.def("encode_example", &encode_example, kEncodeExampleDoc, py::arg("image"), py::arg("image_name"),
          py::arg("width"), py::arg("height"), py::arg("objects") = py::tuple(), py::arg("bboxes") = py::tuple());
    m.def("parse_example", &parse_example, kParseExampleDoc, py::arg("serialized"));
    m.def("write_records", &write_records, kWriteRecordsDoc, py::arg("path"), py::arg("records"));
    m.def("write_detection_shards", &write_detection_shards, kWriteShardsDoc, py::arg("folder"), py::arg("samples"),
          py::arg("shard_size") = 100, py::arg("prefix") = "shard", py::arg("overwrite") = false);
}
