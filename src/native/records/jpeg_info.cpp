// JPEG marker walk up to the first start-of-frame segment.
#include "records/jpeg_info.hpp"

#include <cstddef>

namespace kx::records {

std::optional<JpegInfo> read_jpeg_info(std::string_view data) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(data[i])); };
    if (data.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return std::nullopt;
    std::size_t pos = 2;
    while (pos + 4 <= data.size()) {
        if (byte(pos) != 0xFF) return std::nullopt;
        unsigned marker = byte(pos + 1);
        if (marker == 0xFF) {  // fill byte before a marker
            ++pos;
            continue;
        }
        pos += 2;
        // Stand-alone markers carry no length.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // end of image / scan before any frame
        const std::size_t length = (byte(pos) << 8) | byte(pos + 1);
        if (length < 2 || pos + length > data.size()) return std::nullopt;
        // SOF0..SOF15, except DHT (C4), JPG (C8) and DAC (CC).
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8) return std::nullopt;
            JpegInfo info;
            info.height = static_cast<int>((byte(pos + 3) << 8) | byte(pos + 4));
            info.width = static_cast<int>((byte(pos + 5) << 8) | byte(pos + 6));
            info.channels = static_cast<int>(byte(pos + 7));
            return info;
        }
        pos += length;
    }
    return std::nullopt;
}

}  // namespace kx::records
