// The header of a JPEG stream, read by walking its markers without decoding
// the image: the frame size, and where the first scan starts. The one JPEG
// marker walker of the project (the TFRecord reader's reduced decoding, the
// Darknet reader's plain-JPEG check and the dataset check's image probe all
// use it). Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kx::records {

struct JpegInfo {
    int width = 0;
    int height = 0;
    int channels = 0;
};

// How far the walk from the start-of-image marker to the first start-of-scan
// segment got.
struct JpegHeader {
    enum class End {
        kScan,       // reached the first start-of-scan segment, after a frame
        kMalformed,  // no start-of-image, a byte where a marker must be, an
                     // end-of-image marker, a segment length below 2, or a
                     // scan before any frame
        kCutShort,   // the data ends before the first scan
    } end = End::kCutShort;
    // The first start-of-frame segment, when the walk reached it. Its
    // channel count is 0 when the segment is too short to hold one
    // (`frame_sound` false).
    std::optional<JpegInfo> frame;
    bool frame_sound = false;
    // The first byte after the start-of-scan segment (kScan only); may lie
    // beyond the data when the stream is cut inside that segment.
    std::size_t scan_start = 0;
};

JpegHeader walk_jpeg_header(std::string_view data);

// The size stored in the first start-of-frame segment, or nothing when `data`
// is not a JPEG stream or ends (or goes wrong) before that segment does.
std::optional<JpegInfo> read_jpeg_info(std::string_view data);

}  // namespace kx::records
