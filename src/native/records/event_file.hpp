// TensorBoard event files: a record file (the framing of record_file.hpp) of
// Event protocol buffers, appended to while training runs.
//
//   Event           { double wall_time = 1; int64 step = 2; string file_version = 3; Summary summary = 5; }
//   Summary         { repeated Value value = 1; }
//   Value           { string tag = 1; TensorProto tensor = 8; SummaryMetadata metadata = 9; }
//   TensorProto     { DataType dtype = 1; TensorShapeProto tensor_shape = 2; bytes tensor_content = 4; }
//   SummaryMetadata { PluginData plugin_data = 1; }     PluginData { string plugin_name = 1; }
//
// The first record of a file holds the wall time (whole seconds) and the file
// version "brain.Event:2". Every scalar point is an Event of its own with one
// Value: a float32 tensor of empty shape and the metadata of TensorBoard's
// scalar plugin (plugin name "scalars", no content), as tf.summary's scalar
// summaries are written. TensorBoard reads every event file of a folder, so
// such a file can sit beside the files of a tf.summary writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kx::records {

constexpr std::string_view kEventFileVersion = "brain.Event:2";
constexpr std::string_view kScalarPluginName = "scalars";

// Seconds since the epoch, at microsecond resolution (the wall time of events).
double event_wall_time();

// Serialized Event payloads (not framed).
std::string encode_file_version_event(double wall_time);
std::string encode_scalar_event(double wall_time, std::int64_t step, std::string_view tag, float value);

struct ScalarPoint {
    std::string_view tag;
    float value;
};

// Appends the scalar points of one call to an event file of its own in
// `folder`, named "events.out.tfevents.<seconds>.<host>.<pid>.<n><suffix>".
// The file is created at the first append, never over an existing file (n
// counts up until the name is free), so that several writers, in this process
// or others, can share a folder. Each append is one write of whole records
// straight to the file, so it is on disk (in the OS's cache) when append
// returns: nothing is buffered here.
//
// A failed write throws FileError naming the file and cuts the file back to
// its last whole record, so a later append never follows a torn one (if even
// that fails, later appends go to a new file). An event file that was removed
// is replaced by a new one at the next append.
//
// Thread-safe: appends are serialized by a mutex.
class EventFileWriter {
public:
    EventFileWriter(std::string folder, std::string suffix);
    ~EventFileWriter();
    EventFileWriter(const EventFileWriter&) = delete;
    EventFileWriter& operator=(const EventFileWriter&) = delete;

    // Writes one Event per point, all at `step` and `wall_time`. Throws FileError.
    void append_scalars(double wall_time, std::int64_t step, const ScalarPoint* points, std::size_t count);

    const std::string& folder() const noexcept { return folder_; }
    // The current file; empty before the first append.
    std::string path() const;

private:
    void open_new_file(double wall_time);
    void close_file() noexcept;
    bool file_removed() const noexcept;
    void write_at_end(const std::string& records);

    std::string folder_;
    std::string suffix_;
    mutable std::mutex mutex_;
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;  // bytes of whole records in the file
    std::string buffer_;      // the records of one append, reused
};

}  // namespace kx::records
