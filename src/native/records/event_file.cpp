// Event encoding and the appending event-file writer.
#include "records/event_file.hpp"

#include "records/record_file.hpp"
#include "records/wire.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kx::records {
namespace {

using namespace wire;

constexpr std::uint64_t kDtFloat = 1;  // DataType.DT_FLOAT

// proto3 leaves out fields holding their default: zero numbers, empty strings.
bool is_zero(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == 0;
}

void put_wall_time(std::string& out, double wall_time) {
    if (is_zero(wall_time)) return;
    put_tag(out, 1, kFixed64);
    put_fixed64(out, wall_time);
}

void put_string_field(std::string& out, unsigned field, std::string_view text) {
    if (text.empty()) return;
    put_delimited_header(out, field, text.size());
    out.append(text);
}

void put_scalar_event(std::string& out, double wall_time, std::int64_t step, std::string_view tag, float value) {
    const std::size_t plugin_data = delimited_size(kScalarPluginName.size());
    const std::size_t metadata = delimited_size(plugin_data);
    const std::size_t tensor = 2 + 2 + delimited_size(sizeof value);  // dtype, empty shape, content
    const std::size_t value_size =
        (tag.empty() ? 0 : delimited_size(tag.size())) + delimited_size(tensor) + delimited_size(metadata);

    put_wall_time(out, wall_time);
    if (step != 0) {
        put_tag(out, 2, kVarint);
        put_varint(out, static_cast<std::uint64_t>(step));
    }
    put_delimited_header(out, 5, delimited_size(value_size));  // Event.summary
    put_delimited_header(out, 1, value_size);                  // Summary.value
    put_string_field(out, 1, tag);
    put_delimited_header(out, 8, tensor);  // Value.tensor
    put_tag(out, 1, kVarint);
    put_varint(out, kDtFloat);
    put_delimited_header(out, 2, 0);  // tensor_shape: present, no dimensions
    put_delimited_header(out, 4, sizeof value);
    put_fixed32(out, value);
    put_delimited_header(out, 9, metadata);     // Value.metadata
    put_delimited_header(out, 1, plugin_data);  // SummaryMetadata.plugin_data
    put_string_field(out, 1, kScalarPluginName);
}

void put_file_version_event(std::string& out, double wall_time) {
    put_wall_time(out, wall_time);
    put_string_field(out, 3, kEventFileVersion);
}

// Appends one framed record whose payload `encode(out)` appends.
template <typename Encode>
void put_record(std::string& out, Encode encode) {
    const std::size_t start = out.size();
    out.append(kHeaderSize, '\0');
    encode(out);
    const std::size_t length = out.size() - start - kHeaderSize;
    unsigned char header[kHeaderSize];
    frame_header(length, header);
    std::memcpy(&out[start], header, kHeaderSize);
    unsigned char footer[kFooterSize];
    frame_footer(out.data() + start + kHeaderSize, length, footer);
    out.append(reinterpret_cast<const char*>(footer), kFooterSize);
}

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// Numbers the files of this process, as tf.summary numbers its own.
std::atomic<unsigned> file_counter{0};

}  // namespace

double event_wall_time() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) / 1e6;
}

std::string encode_file_version_event(double wall_time) {
    std::string out;
    put_file_version_event(out, wall_time);
    return out;
}

std::string encode_scalar_event(double wall_time, std::int64_t step, std::string_view tag, float value) {
    std::string out;
    put_scalar_event(out, wall_time, step, tag, value);
    return out;
}

EventFileWriter::EventFileWriter(std::string folder, std::string suffix)
    : folder_(std::move(folder)), suffix_(std::move(suffix)) {}

EventFileWriter::~EventFileWriter() { close_file(); }

std::string EventFileWriter::path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

void EventFileWriter::close_file() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
}

bool EventFileWriter::file_removed() const noexcept {
    struct stat st;
    return ::fstat(fd_, &st) != 0 || st.st_nlink == 0;
}

void EventFileWriter::open_new_file(double wall_time) {
    const auto seconds = static_cast<long long>(wall_time);
    const std::string prefix = folder_ + (folder_.empty() || folder_.back() == '/' ? "" : "/") +
                               "events.out.tfevents." + std::to_string(seconds) + "." + host_name() + "." +
                               std::to_string(static_cast<long>(::getpid())) + ".";
    std::string candidate;
    int err = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        candidate = prefix + std::to_string(file_counter.fetch_add(1)) + suffix_;
        fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) break;
        err = errno;
        if (err != EEXIST && err != EINTR) break;
    }
    if (fd_ < 0) throw FileError(candidate, err, "cannot create event file");
    path_ = candidate;
    size_ = 0;
}

void EventFileWriter::write_at_end(const std::string& records) {
    std::size_t done = 0;
    int err = 0;
    while (done < records.size()) {
        const ssize_t n = ::pwrite(fd_, records.data() + done, records.size() - done,
                                   static_cast<off_t>(size_ + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            err = n < 0 ? errno : EIO;
            break;
        }
    }
    if (err == 0) {
        size_ += records.size();
        return;
    }
    // Cut back to the last whole record; a file that cannot be cut is left
    // as it is and the next append starts a new one.
    int cut;
    do {
        cut = ::ftruncate(fd_, static_cast<off_t>(size_));
    } while (cut != 0 && errno == EINTR);
    const std::string failed = path_;
    if (cut != 0) close_file();
    throw FileError(failed, err, "cannot write event file");
}

void EventFileWriter::append_scalars(double wall_time, std::int64_t step, const ScalarPoint* points,
                                     std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0 && file_removed()) close_file();
    if (fd_ < 0) open_new_file(wall_time);
    buffer_.clear();
    // The file's first record, as tf.summary writes it: the version, at whole seconds.
    if (size_ == 0) put_record(buffer_, [&](std::string& out) { put_file_version_event(out, std::floor(wall_time)); });
    for (std::size_t i = 0; i < count; ++i)
        put_record(buffer_, [&](std::string& out) {
            put_scalar_event(out, wall_time, step, points[i].tag, points[i].value);
        });
    write_at_end(buffer_);
}

}  // namespace kx::records
