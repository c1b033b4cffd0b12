// Folder pairing: one listing per folder, annotation existence from a set.
#include "darknet/scan.hpp"

#include <array>
#include <cctype>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace kx::darknet {
namespace {

// Which image group a name falls in: 0 PNG, 1 JPG, 2 JPEG, -1 none.
int image_group(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return -1;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "png") return 0;
    if (ext == "jpg") return 1;
    if (ext == "jpeg") return 2;
    return -1;
}

// An entry whose type readdir left open: listed when it is (a link to) a
// regular file.
bool is_regular(const std::string& path) { return path_exists(path) && !is_directory(path) && !is_special(path); }

bool ends_with_txt(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

}  // namespace

std::vector<std::string> select_images(const std::string& folder, const std::vector<Entry>& listing,
                                       std::vector<std::string>* skipped) {
    std::array<std::vector<std::string>, 3> groups;
    for (const Entry& entry : listing) {
        if (entry.name.empty() || entry.name[0] == '.' || entry.kind == Entry::Kind::kDirectory) continue;
        const int group = image_group(entry.name);
        if (group < 0) continue;
        if (entry.kind == Entry::Kind::kUnsure && is_directory(join_path(folder, entry.name))) continue;
        if (entry.kind == Entry::Kind::kSpecial ||
            (entry.kind == Entry::Kind::kUnsure && is_special(join_path(folder, entry.name)))) {
            if (skipped != nullptr) skipped->push_back(entry.name);
            continue;
        }
        groups[static_cast<std::size_t>(group)].push_back(entry.name);
    }
    std::vector<std::string> images = std::move(groups[0]);
    for (std::size_t g = 1; g < groups.size(); ++g)
        images.insert(images.end(), std::make_move_iterator(groups[g].begin()), std::make_move_iterator(groups[g].end()));
    return images;
}

std::string annotation_name(const std::string& image_name) {
    const std::size_t dot = image_name.rfind('.');
    // splitext keeps a leading dot with the stem (".jpg" has no extension).
    if (dot == std::string::npos || dot == 0) return image_name + ".txt";
    return image_name.substr(0, dot) + ".txt";
}

AnnotationIndex::AnnotationIndex(std::string folder, std::vector<Entry> listing, bool listed)
    : folder_(std::move(folder)), listed_(listed), listing_(std::move(listing)) {
    std::size_t texts = 0;
    for (const Entry& entry : listing_) texts += ends_with_txt(entry.name);
    std::size_t capacity = 16;
    while (capacity < 2 * texts) capacity *= 2;
    slots_.assign(capacity, 0);
    for (std::size_t i = 0; i < listing_.size(); ++i) {
        if (!ends_with_txt(listing_[i].name)) continue;
        std::size_t slot = std::hash<std::string_view>()(listing_[i].name) & (capacity - 1);
        while (slots_[slot] != 0) slot = (slot + 1) & (capacity - 1);
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
}

const Entry* AnnotationIndex::find(std::string_view name) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = std::hash<std::string_view>()(name) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const Entry& entry = listing_[slots_[slot] - 1];
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

bool AnnotationIndex::exists(std::string_view name) const {
    if (!listed_) return path_exists(join_path(folder_, std::string(name)));
    const Entry* entry = find(name);
    if (entry == nullptr) return false;
    return entry->kind != Entry::Kind::kUnsure || path_exists(join_path(folder_, entry->name));
}

std::vector<std::string> AnnotationIndex::text_files() const {
    std::vector<std::string> names;
    for (const Entry& entry : listing_) {
        if (!ends_with_txt(entry.name) || entry.name[0] == '.' || entry.kind == Entry::Kind::kDirectory ||
            entry.kind == Entry::Kind::kSpecial)
            continue;
        if (entry.kind == Entry::Kind::kUnsure && !is_regular(join_path(folder_, entry.name))) continue;
        names.push_back(entry.name);
    }
    return names;
}

SplitScan scan_split(const std::string& image_folder, const std::string& annotation_folder, bool want_text_files) {
    SplitScan scan;
    const bool same = image_folder == annotation_folder;
    std::vector<Entry> image_listing, annotation_listing;
    bool annotations_listed = false;
    std::string image_error, annotation_error;
    // The two listings are independent system work: one of them on a second thread.
    std::thread second;
    auto list_annotations = [&] { annotations_listed = list_folder(annotation_folder, &annotation_listing, &annotation_error); };
    if (!same) {
        try {
            second = std::thread(list_annotations);
        } catch (const std::system_error&) {
            list_annotations();
        }
    }
    const bool images_listed = list_folder(image_folder, &image_listing, &image_error);
    if (second.joinable()) second.join();
    scan.images = select_images(image_folder, image_listing, &scan.skipped);
    if (same) {
        annotation_listing = std::move(image_listing);
        annotations_listed = images_listed;
        annotation_error = image_error;
    }
    // A folder that exists but cannot be listed (no read permission) is not an empty one.
    if (!images_listed && is_directory(image_folder)) scan.image_listing_error = image_error;
    if (!annotations_listed && is_directory(annotation_folder)) scan.annotation_listing_error = annotation_error;

    const AnnotationIndex index(annotation_folder, std::move(annotation_listing), annotations_listed);
    scan.annotations.reserve(scan.images.size());
    scan.paired.reserve(scan.images.size());
    for (const std::string& image : scan.images) {
        scan.annotations.push_back(annotation_name(image));
        scan.paired.push_back(index.exists(scan.annotations.back()) ? 1 : 0);
    }
    if (want_text_files) scan.text_files = index.text_files();
    return scan;
}

}  // namespace kx::darknet
