// POSIX folder listing and file reads.
#include "darknet/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kx::darknet {

bool list_folder(const std::string& folder, std::vector<Entry>* out, std::string* error) {
    out->clear();
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        if (error != nullptr) *error = std::strerror(errno);
        return false;
    }
    while (const dirent* item = ::readdir(dir)) {
        const char* name = item->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        Entry entry;
        entry.name = name;
        switch (item->d_type) {
            case DT_DIR: entry.kind = Entry::Kind::kDirectory; break;
            case DT_LNK:
            case DT_UNKNOWN: entry.kind = Entry::Kind::kUnsure; break;
            case DT_FIFO:
            case DT_SOCK:
            case DT_CHR:
            case DT_BLK: entry.kind = Entry::Kind::kSpecial; break;
            default: entry.kind = Entry::Kind::kOther; break;
        }
        out->push_back(std::move(entry));
    }
    ::closedir(dir);
    return true;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool path_exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_special(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool read_file(const std::string& path, std::string* out, std::string* error) {
    FileReader reader(path);
    if (!reader.ok()) {
        *error = reader.error();
        return false;
    }
    *out = reader.read_at(0, static_cast<std::size_t>(reader.size()));
    if (!reader.error().empty()) {
        *error = reader.error();
        return false;
    }
    return true;
}

FileReader::FileReader(const std::string& path) {
    // Non-blocking: opening a named pipe without a writer returns at once
    // (and is then refused below); on a regular file the flag changes nothing.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error_ = std::strerror(errno);
        return;
    }
    struct stat info;
    if (::fstat(fd_, &info) != 0) {
        error_ = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        error_ = std::strerror(EISDIR);
    } else if (!S_ISREG(info.st_mode)) {
        error_ = "not a regular file (a named pipe, socket or device)";
    } else {
        size_ = static_cast<std::uint64_t>(info.st_size);
        return;
    }
    ::close(fd_);
    fd_ = -1;
}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

std::string FileReader::read_at(std::uint64_t offset, std::size_t length) {
    std::string data(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd_, &data[done], length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            break;
        }
        if (n == 0) break;  // the file is shorter than its size said
        done += static_cast<std::size_t>(n);
    }
    data.resize(done);
    return data;
}

}  // namespace kx::darknet
