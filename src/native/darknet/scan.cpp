// Folder pairing: one listing per folder, annotation existence from a set.
#include "darknet/scan.hpp"

#include <array>
#include <cctype>
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

bool ends_with_txt(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

}  // namespace

std::vector<std::string> select_images(const std::string& folder, const std::vector<Entry>& listing) {
    std::array<std::vector<std::string>, 3> groups;
    for (const Entry& entry : listing) {
        if (entry.name.empty() || entry.name[0] == '.' || entry.kind == Entry::Kind::kDirectory) continue;
        const int group = image_group(entry.name);
        if (group < 0) continue;
        if (entry.kind == Entry::Kind::kUnsure && is_directory(join_path(folder, entry.name))) continue;
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

AnnotationIndex::AnnotationIndex(std::string folder, const std::vector<Entry>& listing, bool listed)
    : folder_(std::move(folder)), listed_(listed) {
    for (const Entry& entry : listing) {
        if (!ends_with_txt(entry.name)) continue;
        if (entry.kind == Entry::Kind::kUnsure) {
            unsure_.insert(entry.name);
        } else {
            present_.insert(entry.name);
        }
        if (entry.name[0] == '.' || entry.kind == Entry::Kind::kDirectory) continue;
        if (entry.kind == Entry::Kind::kUnsure && !path_exists(join_path(folder_, entry.name))) continue;
        text_files_.push_back(entry.name);
    }
}

bool AnnotationIndex::exists(const std::string& name) const {
    if (!listed_) return path_exists(join_path(folder_, name));
    if (present_.count(name)) return true;
    return unsure_.count(name) && path_exists(join_path(folder_, name));
}

SplitScan scan_split(const std::string& image_folder, const std::string& annotation_folder) {
    SplitScan scan;
    std::vector<Entry> image_listing;
    const bool images_listed = list_folder(image_folder, &image_listing);
    scan.images = select_images(image_folder, image_listing);

    std::vector<Entry> own_listing;
    const bool same = image_folder == annotation_folder;
    const bool listed = same ? images_listed : list_folder(annotation_folder, &own_listing);
    AnnotationIndex index(annotation_folder, same ? image_listing : own_listing, listed);
    scan.annotations.reserve(scan.images.size());
    scan.paired.reserve(scan.images.size());
    for (const std::string& image : scan.images) {
        scan.annotations.push_back(annotation_name(image));
        scan.paired.push_back(index.exists(scan.annotations.back()) ? 1 : 0);
    }
    scan.text_files = index.text_files();
    return scan;
}

}  // namespace kx::darknet
