// orvane.kestrix.datasets.voc: detection datasets kept as a folder of images
// and a folder of VOC XML annotation files ("<stem>.xml" per image: size,
// and per object a name, a difficult flag and a bndbox of xmin, ymin, xmax,
// ymax in pixels), optionally restricted to the stems of a list file (VOC's
// ImageSets/Main/<split>.txt).
//
// VocDatasetYaml reads its descriptor from a YAML file (through the base
// class), VocDataset takes the descriptor dictionary itself. Building the
// dataset parses every annotation file with Python's XML parser
// (xml.etree.ElementTree) and keeps the objects natively on the dataset;
// samples are built from them by the shared sample builder. Difficult
// objects are the ignore regions of validation samples and are left out of
// training unless the descriptor sets `keep_difficult`.
//
// Thread-safety: as the COCO reader (table_reader.hpp).
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "check_glue.hpp"
#include "darknet/files.hpp"
#include "pyglue/glue.hpp"
#include "reader_glue.hpp"
#include "table_reader.hpp"
#include "voc_docs.hpp"

namespace {

constexpr const char* kModuleName = "orvane.kestrix.datasets.voc";

// ---------------------------------------------------------------- descriptor

struct SplitKeys {
    const char* section;
    const char* images;
    const char* annotations;
    const char* list;
};
constexpr SplitKeys kTrainKeys{"train", "path_train_images", "path_train_annotations", "path_train_list"};
constexpr SplitKeys kValKeys{"validation", "path_val_images", "path_val_annotations", "path_val_list"};

py::object validate_info_file_content(py::object self, py::object info_dataset) {
    kx::check_dict(info_dataset, "info_dataset");
    py::object get = info_dataset.attr("get");
    py::object kind = get("type");
    if (!py::str(kind.attr("lower")()).equal(py::str("voc"))) {
        std::string message =
            py::str("[ERROR]: Incompatible dataset type was found: {} is different than ``voc``").format(kind);
        kx::raise(PyExc_ValueError, message);
    }
    py::object classes = get("classes");
    if (!PyList_Check(classes.ptr()) || py::len(classes) == 0)
        kx::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");
    for (py::handle name : classes)
        if (!PyUnicode_Check(name.ptr()))
            kx::raise(PyExc_ValueError, "[ERROR]: ``classes`` holds " + py::repr(name).cast<std::string>() +
                                            ", which is not a class name");
    self.attr("_voc_classes") = py::list(classes);
    self.attr("classes") = py::list(classes);
    kx::datasets::prepend_background(self);
    self.attr("keep_difficult") = py::bool_(kx::datasets::is_true(get("keep_difficult", false)));
    for (const SplitKeys& keys : {kTrainKeys, kValKeys}) {
        py::object section = get(keys.section);
        if (!PyDict_Check(section.ptr()))
            kx::raise(PyExc_ValueError, std::string("[ERROR]: the descriptor needs a ``") + keys.section +
                                            "`` section with ``images`` and ``annotations`` folders");
        self.attr(keys.images) = section.attr("get")("images");
        self.attr(keys.annotations) = section.attr("get")("annotations");
        self.attr(keys.list) = section.attr("get")("list");
        if (self.attr(keys.images).is_none() || self.attr(keys.annotations).is_none())
            kx::raise(PyExc_ValueError, std::string("[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``") +
                                            keys.section + "`` section");
    }
    return py::none();
}

// ---------------------------------------------------------------- annotation files

struct Fault {
    std::string file, reason;
};

struct VocSplit {
    SplitImages images;
    std::vector<Fault> faults;
};

bool ends_with_ci(const std::string& name, const char* suffix) {
    const std::size_t n = std::char_traits<char>::length(suffix);
    if (name.size() <= n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != suffix[i]) return false;
    return true;
}

// The stems of a split: the list file's first words, or every "*.xml" of the
// annotation folder in name order.
std::vector<std::string> split_stems(const std::string& annotation_folder, const py::object& list_file,
                                     std::vector<Fault>* faults) {
    std::vector<std::string> stems;
    if (!list_file.is_none()) {
        const std::string list = native_path(list_file, "list");
        std::string text, error;
        if (!kx::darknet::read_file(list, &text, &error)) {
            faults->push_back({list, "the list file cannot be read: " + error});
            return stems;
        }
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(at, end - at);
            at = end + 1;
            const std::size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos) continue;
            const std::size_t last = line.find_first_of(" \t\r", first);
            stems.push_back(line.substr(first, last == std::string::npos ? std::string::npos : last - first));
        }
        return stems;
    }
    std::vector<kx::darknet::Entry> listing;
    if (!kx::darknet::list_folder(annotation_folder, &listing)) {
        faults->push_back({annotation_folder, "the annotation folder cannot be listed"});
        return stems;
    }
    for (const auto& entry : listing)
        if (entry.kind != kx::darknet::Entry::Kind::kDirectory && entry.name[0] != '.' && ends_with_ci(entry.name, ".xml"))
            stems.push_back(entry.name.substr(0, entry.name.size() - 4));
    std::sort(stems.begin(), stems.end());
    return stems;
}

// Image file names of a folder by stem; of several images of one stem the
// first of .jpg, .jpeg, .png (any letter case) is taken.
std::unordered_map<std::string, std::string> images_by_stem(const std::string& folder) {
    std::unordered_map<std::string, std::string> found;
    std::vector<kx::darknet::Entry> listing;
    kx::darknet::list_folder(folder, &listing);
    for (const char* extension : {".jpg", ".jpeg", ".png"})
        for (const auto& entry : listing)
            if (entry.kind != kx::darknet::Entry::Kind::kDirectory && ends_with_ci(entry.name, extension))
                found.emplace(entry.name.substr(0, entry.name.size() - std::char_traits<char>::length(extension)),
                              entry.name);
    return found;
}

// The number in the text of `parent`'s child `tag`, or NaN when there is
// none or it does not read as a number.
double number_of(py::handle parent, const char* tag) {
    static kx::Lazy to_float{"builtins", "float"};
    py::object text = parent.attr("findtext")(tag);
    if (text.is_none()) return std::nan("");
    try {
        return to_float()(text).cast<double>();
    } catch (py::error_already_set&) {
        return std::nan("");
    }
}

// The objects of one annotation file; the first fault of the file ends it.
bool parse_annotation(const std::string& file, const py::dict& class_of, std::vector<ka::Object>* objects, double* width,
                      double* height, std::string* fault) {
    static kx::Lazy parse{"xml.etree.ElementTree", "parse"};
    py::object root;
    try {
        root = parse()(python_path(file)).attr("getroot")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        *fault = "the XML does not parse: " + std::string(py::str(e.value()));
        return false;
    }
    *width = 0, *height = 0;
    py::object size = root.attr("find")("size");
    if (!size.is_none()) {
        const double w = number_of(size, "width"), h = number_of(size, "height");
        if (std::isfinite(w) && std::isfinite(h) && w > 0 && h > 0) *width = w, *height = h;
    }
    int number = 0;
    for (py::handle object : root.attr("findall")("object")) {
        ++number;
        const std::string which = "object " + std::to_string(number);
        py::object name = object.attr("findtext")("name");
        const std::string shown = name.is_none() ? std::string("") : py::str(name.attr("strip")()).cast<std::string>();
        PyObject* cls = name.is_none() ? nullptr : PyDict_GetItem(class_of.ptr(), name.attr("strip")().ptr());
        if (cls == nullptr) {
            *fault = which + ": name '" + shown + "' is not one of the classes";
            return false;
        }
        py::object box = object.attr("find")("bndbox");
        double corner[4] = {std::nan(""), std::nan(""), std::nan(""), std::nan("")};
        if (!box.is_none()) {
            const char* tags[4] = {"xmin", "ymin", "xmax", "ymax"};
            for (int k = 0; k < 4; ++k) corner[k] = number_of(box, tags[k]);
        }
        if (!(std::isfinite(corner[0]) && std::isfinite(corner[1]) && std::isfinite(corner[2]) && std::isfinite(corner[3]))) {
            *fault = which + " ('" + shown + "'): bndbox is missing or malformed (xmin, ymin, xmax, ymax must be numbers)";
            return false;
        }
        if (corner[2] < corner[0] || corner[3] < corner[1]) {
            *fault = which + " ('" + shown + "'): bndbox has xmax < xmin or ymax < ymin";
            return false;
        }
        const double difficult = number_of(object, "difficult");
        objects->push_back(ka::Object{corner[0], corner[1], corner[2] - corner[0], corner[3] - corner[1],
                                      static_cast<int>(PyLong_AsLong(cls)), std::isfinite(difficult) && difficult != 0});
    }
    return true;
}

VocSplit read_split(py::handle self, const SplitKeys& keys) {
    const std::string image_folder = native_path(self.attr(keys.images), keys.images);
    const std::string annotation_folder = native_path(self.attr(keys.annotations), keys.annotations);
    py::dict class_of;
    py::list classes = self.attr("_voc_classes");
    for (std::size_t i = 0; i < classes.size(); ++i) class_of[classes[i]] = i;

    VocSplit split;
    std::vector<std::string> stems;
    std::unordered_map<std::string, std::string> images;
    {
        py::object list_file = self.attr(keys.list);
        stems = split_stems(annotation_folder, list_file, &split.faults);
        py::gil_scoped_release release;
        images = images_by_stem(image_folder);
    }
    for (const std::string& stem : stems) {
        const std::string xml = kx::darknet::join_path(annotation_folder, stem + ".xml");
        auto image = images.find(stem);
        if (image == images.end()) {
            split.faults.push_back({xml, "no image '" + stem + ".jpg' (or .jpeg, .png) in the image folder"});
            continue;
        }
        std::vector<ka::Object> objects;
        double width = 0, height = 0;
        std::string fault;
        if (!kx::darknet::path_exists(xml)) {
            split.faults.push_back({xml, "the annotation file does not exist"});
            continue;
        }
        if (!parse_annotation(xml, class_of, &objects, &width, &height, &fault)) {
            split.faults.push_back({xml, fault});
            continue;
        }
        split.images.paths.push_back(kx::darknet::join_path(image_folder, image->second));
        split.images.names.push_back(image->second);
        split.images.table.add_image(width, height, std::move(objects));
    }
    return split;
}

VocSplit load_split(py::handle self, const SplitKeys& keys) {
    VocSplit split = read_split(self, keys);
    if (!split.faults.empty()) {
        const Fault& first = split.faults.front();
        std::string message = "[ERROR]: VOC file '" + std::string(py::str(python_path(first.file))) + "': " + first.reason;
        if (split.faults.size() > 1)
            message += " (and " + std::to_string(split.faults.size() - 1) + " more faults; `kestrix check` lists them)";
        kx::raise(PyExc_ValueError, message);
    }
    return split;
}

py::object load_storage(py::object self) {
    VocSplit train = load_split(self, kTrainKeys);
    VocSplit validation = load_split(self, kValKeys);
    store_splits(self, std::move(train.images), std::move(validation.images),
                 kx::datasets::is_true(self.attr("keep_difficult")));
    return py::none();
}

// ---------------------------------------------------------------- check

py::dict check_split(py::handle target, const SplitKeys& keys, const char* description) {
    VocSplit split = read_split(target, keys);
    py::list faults;
    for (const Fault& fault : split.faults) faults.append(broken_entry(fault.file, fault.reason));
    return split_report(split.images, faults, "difficult", description);
}

py::dict check_dataset(py::object descriptor) {
    py::object target = kx::datasets::check_target();
    py::dict content = kx::datasets::check_descriptor(descriptor, "voc", target);
    validate_info_file_content(target, content);
    // The command line's readers put the background class first: its name is taken.
    kx::datasets::check_class_names(target.attr("classes"), true);
    py::dict report;
    report["classes"] = target.attr("classes");
    report["train"] = check_split(target, kTrainKeys, "checking training dataset");
    report["validation"] = check_split(target, kValKeys, "checking validation dataset");
    return report;
}

// ---------------------------------------------------------------- construction

void yaml_init(py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
               py::object aug_cfg) {
    static kx::Lazy this_class{kModuleName, "VocDatasetYaml"};
    kx::datasets::init_from_file(this_class(), self, info_file, shape, letter_box, add_bkg_class, aug_cfg);
}

void dict_init(py::object self, py::object info_dataset, py::object shape, py::object letter_box,
               py::object add_bkg_class, py::object aug_cfg) {
    static kx::Lazy yaml_class{kModuleName, "VocDatasetYaml"};
    kx::datasets::init_from_dict(yaml_class(), self, "voc", info_dataset, shape, letter_box, add_bkg_class, aug_cfg);
}

}  // namespace

PYBIND11_MODULE(voc, m) {
    m.doc() = "Pascal VOC detection datasets: VocDatasetYaml (descriptor file), VocDataset (dictionary) and "
              "check_dataset.";
    py::object base = kx::datasets::open_reader_module(
        m, {{"tf", "tensorflow"}, {"np", "numpy"}, {"cv2", "cv2"}, {"tqdm", "tqdm"}, {"Image", "PIL.Image"}});

    py::object yaml_cls = kx::make_class(m, "VocDatasetYaml", base, kYamlClassDoc);
    kx::def_init(yaml_cls, &yaml_init, kYamlInitDoc, py::arg("info_file") = py::none(), py::arg("shape") = py::none(),
                 py::arg("letter_box") = true, py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none());
    kx::def_method(yaml_cls, "validate_info_file_content", &validate_info_file_content, kValidateContentDoc,
                   py::arg("info_dataset") = py::none());
    kx::def_method(yaml_cls, "load_storage", &load_storage, kLoadStorageDoc);
    def_table_methods(yaml_cls);

    kx::datasets::make_dict_reader_class(m, "VocDataset", yaml_cls, kDictClassDoc, &dict_init, kDictInitDoc);
    m.def("check_dataset", &check_dataset, kCheckDoc, py::arg("descriptor"));
}
