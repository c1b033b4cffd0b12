// JPEG frame-size probe on hand-built marker sequences.
#include <gtest/gtest.h>

#include <string>

#include "records/jpeg_info.hpp"

using kx::records::read_jpeg_info;

namespace {
std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}
// SOI, an APP0 segment, a DQT-like segment, then SOF2 (progressive) 640x480x3.
const std::string kJpeg = bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46, 0xFF, 0xFF, 0xDB, 0x00, 0x03, 0x00,
                                 0xFF, 0xC2, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x01, 0x22, 0x00, 0x02,
                                 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF, 0xD9});
}  // namespace

TEST(JpegInfo, ReadsFrameSizeAfterOtherSegmentsAndFillBytes) {
    auto info = read_jpeg_info(kJpeg);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->width, 640);
    EXPECT_EQ(info->height, 480);
    EXPECT_EQ(info->channels, 3);
}

TEST(JpegInfo, RejectsNonJpegAndTruncatedStreams) {
    EXPECT_FALSE(read_jpeg_info("").has_value());
    EXPECT_FALSE(read_jpeg_info("\x89PNG\r\n\x1a\n").has_value());
    // DHT (C4) is not a frame marker; the stream then ends.
    EXPECT_FALSE(read_jpeg_info(bytes({0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x02, 0xFF, 0xD9})).has_value());
    for (std::size_t cut = 0; cut < 24; ++cut)
        EXPECT_FALSE(read_jpeg_info(kJpeg.substr(0, cut)).has_value()) << cut;
}
