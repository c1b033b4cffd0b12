// Record file framing: buffered reader with CRC checks, atomic writer.
#include "records/record_file.hpp"

#include "records/crc32c.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <random>
#include <system_error>
#include <thread>

namespace kx::records {
namespace {

void store_le32(std::uint32_t v, unsigned char* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

void store_le64(std::uint64_t v, unsigned char* out) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t load_le32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::string describe_errno(int value) { return std::strerror(value); }

void write_all(int fd, const void* data, std::size_t size, const std::string& path) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(path, errno, "cannot write record file");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

RecordError::RecordError(std::string path, std::uint64_t index, std::uint64_t offset, const std::string& reason)
    : std::runtime_error("record file '" + path + "': record " + std::to_string(index) + " at byte offset " +
                         std::to_string(offset) + ": " + reason),
      path_(std::move(path)),
      index_(index),
      offset_(offset),
      reason_(reason) {}

FileError::FileError(std::string path, int errno_value, const std::string& action)
    : std::runtime_error(action + " '" + path + "': " + describe_errno(errno_value)),
      path_(std::move(path)),
      errno_(errno_value),
      action_(action) {}

void frame_header(std::uint64_t size, unsigned char out[kHeaderSize]) {
    store_le64(size, out);
    store_le32(mask_crc(crc32c(out, 8)), out + 8);
}

void frame_footer(const void* data, std::size_t size, unsigned char out[kFooterSize]) {
    store_le32(mask_crc(crc32c(data, size)), out);
}

std::string frame_record(std::string_view payload) {
    unsigned char header[kHeaderSize];
    unsigned char footer[kFooterSize];
    frame_header(payload.size(), header);
    frame_footer(payload.data(), payload.size(), footer);
    std::string out(reinterpret_cast<const char*>(header), kHeaderSize);
    out.append(payload);
    out.append(reinterpret_cast<const char*>(footer), kFooterSize);
    return out;
}

// ---------------------------------------------------------------- reader

RecordReader::RecordReader(std::string path, std::size_t buffer_size) : path_(std::move(path)) {
    do {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw FileError(path_, errno, "cannot open record file");
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        const int err = errno;
        ::close(fd_);
        throw FileError(path_, err, "cannot read record file");
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd_);
        throw FileError(path_, EISDIR, "cannot read record file");
    }
    file_size_ = static_cast<std::uint64_t>(info.st_size);
    // No larger than the file (plus one byte to see its end in one read):
    // small shards are common and need no megabyte each.
    buffer_.resize(std::max<std::size_t>(
        64, static_cast<std::size_t>(std::min<std::uint64_t>(buffer_size, file_size_ + 1))));
#if defined(POSIX_FADV_SEQUENTIAL)
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only; failure is harmless
#endif
}

RecordReader::~RecordReader() {
    if (fd_ >= 0) ::close(fd_);
}

void RecordReader::fail(const std::string& reason) const { throw RecordError(path_, index_, record_offset_, reason); }

bool RecordReader::fill() {
    begin_ = end_ = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(path_, errno, "cannot read record file");
        }
        end_ = static_cast<std::size_t>(n);
        return n > 0;
    }
}

std::size_t RecordReader::read_some(unsigned char* dst, std::size_t n) {
    std::size_t copied = 0;
    while (copied < n) {
        if (begin_ == end_ && !fill()) break;
        const std::size_t chunk = std::min(n - copied, end_ - begin_);
        std::memcpy(dst + copied, buffer_.data() + begin_, chunk);
        begin_ += chunk;
        copied += chunk;
    }
    position_ += copied;
    return copied;
}

bool RecordReader::read_header(std::uint64_t* length) {
    record_offset_ = position_;
    unsigned char header[kHeaderSize];
    const std::size_t got = read_some(header, kHeaderSize);
    if (got == 0) return false;
    if (got < kHeaderSize)
        fail("truncated record header (" + std::to_string(got) + " of " + std::to_string(kHeaderSize) +
             " bytes present)");
    if (mask_crc(crc32c(header, 8)) != load_le32(header + 8)) fail("corrupt length header (CRC mismatch)");
    *length = load_le64(header);
    // The file size was taken when the file was opened; checking against it
    // first turns a corrupt length into a clear error instead of a huge read.
    const std::uint64_t left = file_size_ > position_ ? file_size_ - position_ : 0;
    if (*length > left || left - *length < kFooterSize)
        fail("truncated record (the header announces " + std::to_string(*length) +
             " payload bytes and a 4-byte CRC, but only " + std::to_string(left) + " bytes remain)");
    return true;
}

void RecordReader::read_payload(std::uint64_t length, std::string* out) {
    std::uint32_t crc = 0;
    std::uint64_t remaining = length;
    while (remaining > 0) {
        if (begin_ == end_ && !fill())
            fail("truncated record (the file ended " + std::to_string(remaining) + " bytes before the payload end)");
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, end_ - begin_));
        const unsigned char* p = buffer_.data() + begin_;
        crc = crc32c_extend(crc, p, chunk);
        if (out != nullptr) out->append(reinterpret_cast<const char*>(p), chunk);
        begin_ += chunk;
        position_ += chunk;
        remaining -= chunk;
    }
    unsigned char footer[kFooterSize];
    if (read_some(footer, kFooterSize) < kFooterSize) fail("truncated record (payload CRC missing)");
    if (mask_crc(crc) != load_le32(footer)) fail("corrupt payload (CRC mismatch)");
    ++index_;
}

bool RecordReader::next(std::string* payload) {
    std::uint64_t length = 0;
    if (!read_header(&length)) return false;
    payload->clear();
    payload->reserve(static_cast<std::size_t>(length));  // bounded by the file size (read_header)
    read_payload(length, payload);
    return true;
}

bool RecordReader::skip() {
    std::uint64_t length = 0;
    if (!read_header(&length)) return false;
    read_payload(length, nullptr);
    return true;
}

std::uint64_t count_records(const std::string& path) {
    RecordReader reader(path);
    while (reader.skip()) {
    }
    return reader.records_read();
}

std::uint64_t count_records(const std::vector<std::string>& paths, unsigned threads) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, paths.size()));
    std::vector<std::uint64_t> counts(paths.size(), 0);
    std::vector<std::exception_ptr> errors(paths.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            try {
                counts[i] = count_records(paths[i]);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    {
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) {
            try {
                pool.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // no more threads to be had: the ones running share the rest
            }
        }
        work();
        for (std::thread& worker : pool) worker.join();
    }
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (errors[i]) std::rethrow_exception(errors[i]);
        total += counts[i];
    }
    return total;
}

// ---------------------------------------------------------------- writer

namespace {
constexpr std::size_t kWriteBuffer = std::size_t(1) << 20;
}

long long record_temp_pid(const std::string& name) {
    const std::size_t tmp = name.rfind(".tmp-");
    if (name.size() < 2 || name[0] != '.' || tmp == std::string::npos || tmp < 2) return -1;
    const std::size_t dash = name.find('-', tmp + 5);
    if (dash == std::string::npos || dash == tmp + 5 || dash - tmp - 5 > 9 || name.size() - dash - 1 != 8) return -1;
    for (std::size_t i = dash + 1; i < name.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return -1;
    long long pid = 0;
    for (std::size_t i = tmp + 5; i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

RecordFileWriter::RecordFileWriter(std::string target_path) : target_path_(std::move(target_path)) {
    const std::size_t slash = target_path_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : target_path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target_path_ : target_path_.substr(slash + 1);
    if (name.empty()) throw FileError(target_path_, EISDIR, "cannot write record file");
    // A leading dot keeps the temporary file out of "*.tfrecord" globs.
    std::random_device entropy;
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%08x", static_cast<long>(::getpid()), entropy());
        temp_path_ = folder + "." + name + suffix;
        fd_ = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST && errno != EINTR) break;
    }
    if (fd_ < 0) {
        const int err = errno;
        temp_path_.clear();
        throw FileError(target_path_, err, "cannot create record file");
    }
    buffer_.reserve(kWriteBuffer);
}

RecordFileWriter::~RecordFileWriter() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void RecordFileWriter::flush_buffer() {
    write_all(fd_, buffer_.data(), buffer_.size(), target_path_);
    buffer_.clear();
}

void RecordFileWriter::append(const void* data, std::size_t size) {
    if (buffer_.size() + size > kWriteBuffer) flush_buffer();
    if (size >= kWriteBuffer)
        write_all(fd_, data, size, target_path_);
    else
        buffer_.append(static_cast<const char*>(data), size);
}

void RecordFileWriter::write(const void* data, std::size_t size) {
    if (fd_ < 0) throw std::logic_error("RecordFileWriter::write after commit");
    unsigned char header[kHeaderSize];
    unsigned char footer[kFooterSize];
    frame_header(size, header);
    frame_footer(data, size, footer);
    append(header, kHeaderSize);
    append(data, size);
    append(footer, kFooterSize);
    ++count_;
}

void RecordFileWriter::commit() { commit_as(target_path_); }

void RecordFileWriter::commit_as(const std::string& other_target) {
    if (fd_ < 0) throw std::logic_error("RecordFileWriter::commit called twice");
    flush_buffer();
    if (::fsync(fd_) != 0) throw FileError(other_target, errno, "cannot write record file");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw FileError(other_target, errno, "cannot write record file");
    if (::rename(temp_path_.c_str(), other_target.c_str()) != 0)
        throw FileError(other_target, errno, "cannot move record file into place");
    target_path_ = other_target;
    committed_ = true;
}

}  // namespace kx::records
