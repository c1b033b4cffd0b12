// The COCO instances file reader: a SAX pass that keeps the used fields of
// every image, annotation and category, then the resolution of the
// annotations' image and category ids into the object table.
#include "annotations/coco.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <utility>

#include "darknet/files.hpp"

namespace kx::annotations {
namespace {

using json = nlohmann::json;

constexpr std::size_t kKeptErrors = 200;  // messages kept; all are counted

enum class Section { kOther, kImages, kAnnotations, kCategories };

const char* section_name(Section s) {
    return s == Section::kImages ? "images" : s == Section::kAnnotations ? "annotations" : "categories";
}

// A number field as it arrived: missing, an integer, another number, or
// something else.
struct Number {
    enum class Kind { kMissing, kInteger, kFloat, kOther } kind = Kind::kMissing;
    std::int64_t integer = 0;
    double value = 0;

    static Number of(Kind kind, std::int64_t integer = 0, double value = 0) {
        Number n;
        n.kind = kind;
        n.integer = integer;
        n.value = value;
        return n;
    }
};

struct RawAnnotation {
    std::int64_t id, image_id, category_id;
    double bbox[4];
    bool crowd;
};

struct Current {
    Number id, image_id, category_id, width, height, iscrowd;
    std::string text;  // file_name (images) or name (categories)
    bool has_text = false, text_bad = false;
    double bbox[4] = {0, 0, 0, 0};
    int bbox_values = 0;
    bool bbox_seen = false, bbox_bad = false;
};

class Handler : public json::json_sax_t {
public:
    CocoIndex& index;
    std::vector<RawAnnotation> annotations;
    std::vector<double> widths, heights;
    std::size_t error_count = 0;
    bool seen[3] = {false, false, false};

    explicit Handler(CocoIndex& out) : index(out) {}

    void error(std::string message) {
        ++error_count;
        if (index.errors.size() < kKeptErrors) index.errors.push_back(std::move(message));
    }

    bool null() override { return scalar(Number::of(Number::Kind::kOther), false); }
    bool boolean(bool v) override {
        Number n{Number::Kind::kOther};
        if (depth_ == 3 && field_ == "iscrowd") n = Number::of(Number::Kind::kInteger, v ? 1 : 0, v ? 1.0 : 0.0);
        return scalar(n, false);
    }
    bool number_integer(number_integer_t v) override {
        return scalar(Number::of(Number::Kind::kInteger, v, static_cast<double>(v)), true);
    }
    bool number_unsigned(number_unsigned_t v) override {
        if (v > static_cast<number_unsigned_t>(INT64_MAX)) return scalar(Number::of(Number::Kind::kFloat, 0, static_cast<double>(v)), true);
        return scalar(Number::of(Number::Kind::kInteger, static_cast<std::int64_t>(v), static_cast<double>(v)), true);
    }
    bool number_float(number_float_t v, const string_t&) override {
        return scalar(Number::of(Number::Kind::kFloat, 0, v), true);
    }
    bool string(string_t& v) override {
        if (depth_ == 3 && in_record_ && field_ == text_field()) {
            current_.text = v;
            current_.has_text = true;
            return true;
        }
        return scalar(Number::of(Number::Kind::kOther), false);
    }
    bool binary(binary_t&) override { return scalar(Number::of(Number::Kind::kOther), false); }

    bool key(string_t& k) override {
        if (depth_ == 1) {
            section_ = k == "images"        ? Section::kImages
                       : k == "annotations" ? Section::kAnnotations
                       : k == "categories"  ? Section::kCategories
                                            : Section::kOther;
        } else if (depth_ == 3) {
            field_ = k;
        }
        return true;
    }

    bool start_object(std::size_t) override {
        container(true);
        ++depth_;
        return true;
    }
    bool end_object() override {
        --depth_;
        if (depth_ == 2 && in_record_) finish_record();
        return true;
    }
    bool start_array(std::size_t) override {
        container(false);
        ++depth_;
        return true;
    }
    bool end_array() override {
        --depth_;
        if (depth_ == 3) in_bbox_ = false;
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
        std::string what = e.what();
        const std::size_t cut = what.find("] ");
        if (cut != std::string::npos) what = what.substr(cut + 2);
        error("not valid JSON (at byte " + std::to_string(position) + "): " + what);
        parse_failed = true;
        return false;
    }
    bool parse_failed = false;

private:
    const char* text_field() const { return section_ == Section::kImages ? "file_name" : "name"; }
    bool in_section() const { return section_ != Section::kOther; }

    std::string entry_name() const {
        const char* kind = section_ == Section::kImages ? "image" : section_ == Section::kAnnotations ? "annotation" : "category";
        return std::string(kind) + " entry " + std::to_string(entry_);
    }

    // A container opening at the current depth.
    void container(bool object) {
        if (depth_ == 0 && !object) {
            error("not a COCO file: the top level is a list, not an object with images, annotations and categories");
        } else if (depth_ == 1 && in_section()) {
            if (object) {
                error(std::string("not a COCO file: '") + section_name(section_) + "' is not a list");
            } else {
                seen[static_cast<int>(section_) - 1] = true;
                entry_ = 0;
            }
        } else if (depth_ == 2 && in_section()) {
            if (!object) {
                error(entry_name() + " of '" + section_name(section_) + "' is not an object");
                ++entry_;
            } else {
                in_record_ = true;
                current_ = Current{};
                field_.clear();
            }
        } else if (depth_ == 3 && in_record_) {
            if (field_ == "bbox" && section_ == Section::kAnnotations) {
                if (object) current_.bbox_bad = true;
                current_.bbox_seen = true;
                in_bbox_ = !object;
            } else {
                in_bbox_ = false;
                mark_bad_field();
            }
        } else if (depth_ == 4 && in_bbox_) {
            current_.bbox_bad = true;
        }
    }

    // A scalar field of a record that arrived as something else than a number.
    void mark_bad_field() {
        if (Number* n = number_field()) *n = Number::of(Number::Kind::kOther);
        if (field_ == text_field()) current_.text_bad = true;
    }

    Number* number_field() {
        if (field_ == "id") return &current_.id;
        if (section_ == Section::kImages) {
            if (field_ == "width") return &current_.width;
            if (field_ == "height") return &current_.height;
        } else if (section_ == Section::kAnnotations) {
            if (field_ == "image_id") return &current_.image_id;
            if (field_ == "category_id") return &current_.category_id;
            if (field_ == "iscrowd") return &current_.iscrowd;
        }
        return nullptr;
    }

    bool scalar(const Number& value, bool numeric) {
        if (depth_ == 0) {
            error("not a COCO file: the top level is not an object");
        } else if (depth_ == 1 && in_section()) {
            error(std::string("not a COCO file: '") + section_name(section_) + "' is not a list");
        } else if (depth_ == 2 && in_section()) {
            error(entry_name() + " of '" + section_name(section_) + "' is not an object");
            ++entry_;
        } else if (depth_ == 3 && in_record_) {
            if (Number* n = number_field()) *n = value;
            else if (field_ == text_field()) current_.text_bad = true;
        } else if (depth_ == 4 && in_bbox_) {
            if (!numeric) current_.bbox_bad = true;
            else if (current_.bbox_values < 4) current_.bbox[current_.bbox_values] = value.value;
            ++current_.bbox_values;
        }
        return true;
    }

    // "annotation id 7" when the record has an integer id, else its entry.
    std::string record_name(const char* kind) const {
        if (current_.id.kind == Number::Kind::kInteger) return std::string(kind) + " id " + std::to_string(current_.id.integer);
        return entry_name();
    }

    static bool integer(const Number& n) { return n.kind == Number::Kind::kInteger; }

    void finish_record() {
        in_record_ = false;
        in_bbox_ = false;
        if (section_ == Section::kImages) finish_image();
        else if (section_ == Section::kAnnotations) finish_annotation();
        else finish_category();
        ++entry_;
    }

    // The record's name is only made for a fault: most records have none.
    void finish_image() {
        auto name = [this] { return record_name("image"); };
        bool ok = true;
        if (!integer(current_.id)) error(name() + ": id is missing or not an integer"), ok = false;
        if (!current_.has_text || current_.text_bad || current_.text.empty())
            error(name() + ": file_name is missing or not a string"), ok = false;
        double size[2] = {0, 0};
        const Number* given[2] = {&current_.width, &current_.height};
        for (int k = 0; k < 2; ++k) {
            const Number& n = *given[k];
            if (n.kind == Number::Kind::kMissing) continue;  // taken from the image file
            if (n.kind == Number::Kind::kOther || !std::isfinite(n.value) || n.value <= 0) {
                error(name() + ": " + (k == 0 ? "width" : "height") + " must be a positive finite number");
                ok = false;
            }
            size[k] = n.value;
        }
        if (!ok) return;
        index.images.push_back(CocoImage{current_.id.integer, std::move(current_.text)});
        widths.push_back(size[0]);
        heights.push_back(size[1]);
    }

    void finish_annotation() {
        auto name = [this] { return record_name("annotation"); };
        bool ok = true;
        if (!integer(current_.image_id)) error(name() + ": image_id is missing or not an integer"), ok = false;
        if (!integer(current_.category_id)) error(name() + ": category_id is missing or not an integer"), ok = false;
        if (current_.iscrowd.kind != Number::Kind::kMissing &&
            !(integer(current_.iscrowd) && (current_.iscrowd.integer == 0 || current_.iscrowd.integer == 1)))
            error(name() + ": iscrowd must be 0 or 1"), ok = false;
        if (!current_.bbox_seen || current_.bbox_bad || current_.bbox_values != 4) {
            error(name() + ": bbox must be a list of 4 numbers [x, y, width, height]");
            ok = false;
        } else {
            const double* b = current_.bbox;
            if (!(std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(b[2]) && std::isfinite(b[3])))
                error(name() + ": bbox holds a non-finite value"), ok = false;
            else if (b[2] < 0 || b[3] < 0)
                error(name() + ": bbox has a negative width or height"), ok = false;
        }
        if (!ok) return;
        annotations.push_back(RawAnnotation{current_.id.integer, current_.image_id.integer, current_.category_id.integer,
                                            {current_.bbox[0], current_.bbox[1], current_.bbox[2], current_.bbox[3]},
                                            current_.iscrowd.integer == 1});
    }

    void finish_category() {
        auto name = [this] { return record_name("category"); };
        bool ok = true;
        if (!integer(current_.id)) error(name() + ": id is missing or not an integer"), ok = false;
        if (!current_.has_text || current_.text_bad) error(name() + ": name is missing or not a string"), ok = false;
        if (ok) categories.push_back(CocoCategory{current_.id.integer, std::move(current_.text)});
    }

public:
    std::vector<CocoCategory> categories;

private:
    int depth_ = 0;
    Section section_ = Section::kOther;
    std::size_t entry_ = 0;
    bool in_record_ = false, in_bbox_ = false;
    std::string field_;
    Current current_;
};

}  // namespace

CocoIndex parse_coco(std::string_view text, const std::vector<std::string>& wanted) {
    CocoIndex index;
    Handler handler(index);
    json::sax_parse(text.begin(), text.end(), &handler);
    if (handler.parse_failed) return index;
    static const char* const kSections[3] = {"images", "annotations", "categories"};
    for (int k = 0; k < 3; ++k)
        if (!handler.seen[k]) handler.error(std::string("not a COCO file: it has no '") + kSections[k] + "' list");

    // Categories: class positions by id.
    std::vector<CocoCategory>& categories = handler.categories;
    std::unordered_map<std::int64_t, int> class_of;
    {
        std::unordered_map<std::int64_t, std::size_t> seen;
        for (std::size_t i = 0; i < categories.size(); ++i)
            if (!seen.emplace(categories[i].id, i).second)
                handler.error("category id " + std::to_string(categories[i].id) + " appears twice");
    }
    if (wanted.empty()) {
        std::vector<CocoCategory> sorted = categories;
        std::stable_sort(sorted.begin(), sorted.end(), [](const CocoCategory& a, const CocoCategory& b) { return a.id < b.id; });
        for (const CocoCategory& c : sorted) {
            if (class_of.count(c.id)) continue;
            class_of[c.id] = static_cast<int>(index.classes.size());
            index.classes.push_back(c.name);
            index.category_ids.push_back(c.id);
        }
    } else {
        for (const std::string& name : wanted) {
            auto found = std::find_if(categories.begin(), categories.end(), [&](const CocoCategory& c) { return c.name == name; });
            if (found == categories.end()) {
                handler.error("class '" + name + "' is not a category of the file");
                continue;
            }
            class_of[found->id] = static_cast<int>(index.classes.size());
            index.classes.push_back(name);
            index.category_ids.push_back(found->id);
        }
    }
    std::unordered_map<std::int64_t, bool> known_category;
    for (const CocoCategory& c : categories) known_category[c.id] = true;

    // Images by id.
    std::unordered_map<std::int64_t, std::size_t> image_of;
    image_of.reserve(index.images.size());
    for (std::size_t i = 0; i < index.images.size(); ++i)
        if (!image_of.emplace(index.images[i].id, i).second)
            handler.error("image id " + std::to_string(index.images[i].id) + " appears twice");

    // Annotations bucketed by image, in file order within an image.
    std::vector<std::size_t> image_for(handler.annotations.size());
    std::vector<int> class_for(handler.annotations.size());
    std::vector<std::size_t> count(index.images.size() + 1, 0);
    std::size_t left_out = 0;
    for (std::size_t a = 0; a < handler.annotations.size(); ++a) {
        const RawAnnotation& raw = handler.annotations[a];
        auto image = image_of.find(raw.image_id);
        if (image == image_of.end()) {
            handler.error("annotation id " + std::to_string(raw.id) + ": image_id " + std::to_string(raw.image_id) +
                          " is not an image of the file");
            image_for[a] = index.images.size();
            continue;
        }
        if (!known_category.count(raw.category_id)) {
            handler.error("annotation id " + std::to_string(raw.id) + ": category_id " +
                          std::to_string(raw.category_id) + " is not a category of the file");
            image_for[a] = index.images.size();
            continue;
        }
        auto cls = class_of.find(raw.category_id);
        if (cls == class_of.end()) {
            ++left_out;
            image_for[a] = index.images.size();
            continue;
        }
        image_for[a] = image->second;
        class_for[a] = cls->second;
        ++count[image->second];
    }
    std::vector<std::vector<Object>> per_image(index.images.size());
    for (std::size_t i = 0; i < index.images.size(); ++i) per_image[i].reserve(count[i]);
    for (std::size_t a = 0; a < handler.annotations.size(); ++a) {
        if (image_for[a] == index.images.size()) continue;
        const RawAnnotation& raw = handler.annotations[a];
        per_image[image_for[a]].push_back(Object{raw.bbox[0], raw.bbox[1], raw.bbox[2], raw.bbox[3], class_for[a], raw.crowd});
    }
    handler.annotations.clear();
    handler.annotations.shrink_to_fit();
    std::size_t total = 0;
    for (std::size_t i = 0; i < index.images.size(); ++i) total += count[i];
    index.table.objects.reserve(total);
    for (std::size_t i = 0; i < index.images.size(); ++i)
        index.table.add_image(handler.widths[i], handler.heights[i], std::move(per_image[i]));
    index.table.counts.left_out = left_out;
    if (handler.error_count > index.errors.size())
        index.errors.push_back("... and " + std::to_string(handler.error_count - index.errors.size()) + " more faults");
    return index;
}

CocoIndex read_coco(const std::string& path, const std::vector<std::string>& wanted) {
    std::string text, error;
    if (!darknet::read_file(path, &text, &error)) {
        CocoIndex index;
        index.errors.push_back("cannot be read: " + error);
        return index;
    }
    return parse_coco(text, wanted);
}

}  // namespace kx::annotations
