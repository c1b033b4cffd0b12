// Pairing of a Darknet image folder with its annotation folder by file name:
// "<stem>.<png|jpg|jpeg>" pairs with "<stem>.txt". Folder names are taken
// literally (no pattern matching). Pure functions over the file system;
// thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "darknet/files.hpp"

namespace kx::darknet {

// Image names of a listing: every PNG, then every JPG, then every JPEG (the
// extension in any letter case), each group in directory order. Names that
// begin with a dot and directories are left out; so are image names that are
// not regular files (named pipes, sockets, devices), which go to `skipped`
// when it is given.
std::vector<std::string> select_images(const std::string& folder, const std::vector<Entry>& listing,
                                       std::vector<std::string>* skipped = nullptr);

// The annotation file name of an image: its name without the last extension,
// plus ".txt" ("x.y.jpg" -> "x.y.txt").
std::string annotation_name(const std::string& image_name);

// Answers "does <folder>/<name> exist" (as stat() would) for the annotation
// names of a folder, from one listing of it instead of one stat() per name.
// Names whose listed type is uncertain (links) are checked with stat(); when
// the folder cannot be listed every question is a stat().
class AnnotationIndex {
public:
    AnnotationIndex(std::string folder, std::vector<Entry> listing, bool listed);
    bool exists(std::string_view name) const;
    // The listed "*.txt" names that are regular files (or links to them), in
    // directory order.
    std::vector<std::string> text_files() const;

private:
    const Entry* find(std::string_view name) const;

    std::string folder_;
    bool listed_;
    std::vector<Entry> listing_;
    // Open addressing over the "*.txt" entries: slot = listing index + 1, 0 free.
    std::vector<std::uint32_t> slots_;
};

// A split's images with, per image, its annotation name and whether that
// annotation file exists.
struct SplitScan {
    std::vector<std::string> images;       // names, in pairing order
    std::vector<std::string> annotations;  // annotation_name(images[i])
    std::vector<char> paired;              // annotation file exists
    std::vector<std::string> text_files;   // the annotation folder's *.txt names (when asked for)
    std::vector<std::string> skipped;      // image names that are not regular files, left out
    std::string image_listing_error;       // why a folder that exists could not be listed
    std::string annotation_listing_error;  // (empty when it was listed or does not exist)
};

// Lists the image folder and the annotation folder (at once on two threads,
// or once when they are the same) and pairs them. A folder that cannot be
// listed holds nothing.
SplitScan scan_split(const std::string& image_folder, const std::string& annotation_folder,
                     bool want_text_files = false);

}  // namespace kx::darknet
