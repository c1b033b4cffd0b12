// Reading and writing record files: a sequence of framed records, each
//
//   uint64 length (little-endian) | uint32 masked CRC-32C of those 8 bytes |
//   `length` payload bytes        | uint32 masked CRC-32C of the payload
//
// RecordReader streams a file through a large buffer and checks both CRCs of
// every record; count_records() uses it without keeping any payload.
// RecordFileWriter writes to a hidden temporary file in the target's folder
// and moves it over the target on commit(), so that a reader never sees a
// half-written file and a failed write leaves nothing behind.
//
// Objects of these classes are not thread-safe; separate objects may be used
// on separate threads. POSIX file I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kx::records {

constexpr std::size_t kHeaderSize = 12;  // length + its CRC
constexpr std::size_t kFooterSize = 4;   // payload CRC

// A record file that is truncated or whose CRCs do not match.
class RecordError : public std::runtime_error {
public:
    RecordError(std::string path, std::uint64_t index, std::uint64_t offset, const std::string& reason);
    const std::string& path() const noexcept { return path_; }
    std::uint64_t index() const noexcept { return index_; }    // 0-based index of the bad record
    std::uint64_t offset() const noexcept { return offset_; }  // byte offset where that record starts
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::uint64_t index_;
    std::uint64_t offset_;
    std::string reason_;
};

// A failed system call on a file; errno_value() is the errno it reported.
class FileError : public std::runtime_error {
public:
    FileError(std::string path, int errno_value, const std::string& action);
    const std::string& path() const noexcept { return path_; }
    int errno_value() const noexcept { return errno_; }
    const std::string& action() const noexcept { return action_; }  // e.g. "cannot open record file"

private:
    std::string path_;
    int errno_;
    std::string action_;
};

// The 12 header bytes and 4 footer bytes that frame a payload of `size` bytes.
void frame_header(std::uint64_t size, unsigned char out[kHeaderSize]);
void frame_footer(const void* data, std::size_t size, unsigned char out[kFooterSize]);

// One framed record, as bytes (for tests and in-memory use).
std::string frame_record(std::string_view payload);

class RecordReader {
public:
    explicit RecordReader(std::string path, std::size_t buffer_size = std::size_t(1) << 20);
    ~RecordReader();
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // Reads the next record into *payload (replacing its content); false at
    // the clean end of the file. Throws RecordError or FileError.
    bool next(std::string* payload);
    // The same, checking the record without keeping its payload.
    bool skip();

    std::uint64_t records_read() const noexcept { return index_; }
    const std::string& path() const noexcept { return path_; }

private:
    // Reads the header; false at end of file, otherwise the payload length.
    bool read_header(std::uint64_t* length);
    // Passes `length` payload bytes through the CRC (appending them to *out
    // when out is not null), then checks the footer.
    void read_payload(std::uint64_t length, std::string* out);
    // Copies up to n bytes from the buffered file; returns how many were copied.
    std::size_t read_some(unsigned char* dst, std::size_t n);
    bool fill();
    [[noreturn]] void fail(const std::string& reason) const;

    std::string path_;
    int fd_ = -1;
    std::uint64_t file_size_ = 0;
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0, end_ = 0;  // unread bytes in buffer_
    std::uint64_t position_ = 0;       // file offset of the next unread byte
    std::uint64_t record_offset_ = 0;  // offset of the record being read
    std::uint64_t index_ = 0;          // index of the record being read (= records completed)
};

// Number of records in the file at `path`, every frame and CRC checked.
std::uint64_t count_records(const std::string& path);

// Total records of several files, counted on up to `threads` threads (0: one
// per core), each file as count_records(path) does. When files fail, the
// error of the first failing file in `paths` order is thrown.
std::uint64_t count_records(const std::vector<std::string>& paths, unsigned threads = 0);

// The id of the process that made `name` when it is a RecordFileWriter temporary file name
// (".<target name>.tmp-<pid>-<8 hex digits>"), or -1 for any other name. A writer killed before
// its commit leaves such a file behind.
long long record_temp_pid(const std::string& name);

class RecordFileWriter {
public:
    // Creates the temporary file next to `target_path` (its folder must exist).
    explicit RecordFileWriter(std::string target_path);
    ~RecordFileWriter();  // removes the temporary file unless committed
    RecordFileWriter(const RecordFileWriter&) = delete;
    RecordFileWriter& operator=(const RecordFileWriter&) = delete;

    void write(const void* data, std::size_t size);
    void write(std::string_view payload) { write(payload.data(), payload.size()); }

    // Flushes, syncs and renames the file over the target (or over
    // `other_target`, which must be in the same folder). Nothing may be
    // written afterwards.
    void commit();
    void commit_as(const std::string& other_target);

    std::uint64_t records_written() const noexcept { return count_; }
    const std::string& temp_path() const noexcept { return temp_path_; }
    const std::string& target_path() const noexcept { return target_path_; }

private:
    void flush_buffer();
    void append(const void* data, std::size_t size);

    std::string target_path_;
    std::string temp_path_;
    int fd_ = -1;
    bool committed_ = false;
    std::string buffer_;
    std::uint64_t count_ = 0;
};

}  // namespace kx::records
