// The frame size of a JPEG stream, read from its start-of-frame marker without
// decoding the image. Pure function; thread-safe.
#pragma once

#include <optional>
#include <string_view>

namespace kx::records {

struct JpegInfo {
    int width = 0;
    int height = 0;
    int channels = 0;
};

// The size stored in the first start-of-frame marker, or nothing when `data`
// is not a JPEG stream or ends before that marker.
std::optional<JpegInfo> read_jpeg_info(std::string_view data);

}  // namespace kx::records
