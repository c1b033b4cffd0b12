// Small POSIX file helpers of the Darknet kernels: folder listings and reads
// of whole files or byte ranges. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx::darknet {

// One entry of a folder listing.
struct Entry {
    std::string name;
    // What readdir reported: a directory, a regular file, something that is
    // neither (a named pipe, socket or device: opening one for reading can
    // block for ever), or something that needs a stat() to be sure (symbolic
    // links, unknown types).
    enum class Kind { kDirectory, kOther, kSpecial, kUnsure } kind = Kind::kOther;
};

// The entries of `folder` in directory order, without "." and "..". Returns
// false (and leaves `out` empty, with the system's reason in `error` when
// given) when the folder cannot be listed.
bool list_folder(const std::string& folder, std::vector<Entry>* out, std::string* error = nullptr);

// stat() follows links: true when the path names something that exists but is
// neither a regular file nor a directory.
bool is_special(const std::string& path);

// os.path.join for one name: "dir" + "/" + name, without doubling a trailing
// slash; an empty folder gives the bare name.
std::string join_path(const std::string& folder, const std::string& name);

// stat() follows links: true when the path names an existing entry.
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);

// Reads the whole file into `out`. On failure returns false and puts the
// system's reason (strerror) into `error`.
bool read_file(const std::string& path, std::string* out, std::string* error);

// An open regular file read in pieces; closes itself. Anything else (a named
// pipe, a device, a folder) is refused at once, with a reason, rather than
// read: a pipe without a writer would block the read for ever.
class FileReader {
public:
    explicit FileReader(const std::string& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    std::uint64_t size() const { return size_; }
    // Up to `length` bytes from `offset` (fewer at the end of the file).
    std::string read_at(std::uint64_t offset, std::size_t length);

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string error_;
};

}  // namespace kx::darknet
