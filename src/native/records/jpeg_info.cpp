// JPEG marker walk from the start of the stream to its first scan.
#include "records/jpeg_info.hpp"

namespace kx::records {

JpegHeader walk_jpeg_header(std::string_view data) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(data[i])); };
    JpegHeader header;
    const auto malformed = [&] {
        header.end = JpegHeader::End::kMalformed;
        return header;
    };
    if (data.size() < 2 || byte(0) != 0xFF || byte(1) != 0xD8) return malformed();
    std::size_t pos = 2;  // at a marker
    while (pos + 4 <= data.size()) {
        if (byte(pos) != 0xFF) return malformed();
        const unsigned marker = byte(pos + 1);
        if (marker == 0xFF) {  // fill byte before a marker
            ++pos;
            continue;
        }
        // Stand-alone markers carry no length.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            pos += 2;
            continue;
        }
        const std::size_t length = (byte(pos + 2) << 8) | byte(pos + 3);
        if (marker == 0xD9 || length < 2) return malformed();
        if (marker == 0xDA) {
            if (!header.frame) return malformed();
            header.end = JpegHeader::End::kScan;
            header.scan_start = pos + 2 + length;
            return header;
        }
        if (pos + 2 + length > data.size()) break;
        // SOF0..SOF15, except DHT (C4), JPG (C8) and DAC (CC).
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && !header.frame) {
            if (pos + 9 > data.size()) break;
            JpegInfo info;
            info.height = static_cast<int>((byte(pos + 5) << 8) | byte(pos + 6));
            info.width = static_cast<int>((byte(pos + 7) << 8) | byte(pos + 8));
            header.frame_sound = length >= 8;
            if (header.frame_sound) info.channels = static_cast<int>(byte(pos + 9));
            header.frame = info;
        }
        pos += 2 + length;
    }
    header.end = JpegHeader::End::kCutShort;
    return header;
}

std::optional<JpegInfo> read_jpeg_info(std::string_view data) {
    const JpegHeader header = walk_jpeg_header(data);
    if (!header.frame_sound) return std::nullopt;
    return header.frame;
}

}  // namespace kx::records
