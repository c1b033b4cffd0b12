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

TEST(JpegHeader, WalkEndsAtFirstScanOrSaysWhyNot) {
    using End = kx::records::JpegHeader::End;
    // SOI, SOF0 8x16x1, a stand-alone SOI-like marker, SOS of length 8, then scan data.
    const std::string frame = bytes({0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00});
    const std::string scan = bytes({0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    const std::string soi = bytes({0xFF, 0xD8});
    struct Case {
        std::string data;
        End end;
        bool frame;
        std::size_t scan_start;
    };
    const Case cases[] = {
        {soi + frame + bytes({0xFF, 0xD8}) + scan + "data", End::kScan, true, 2 + 13 + 2 + 10},
        {soi + scan, End::kMalformed, false, 0},                          // scan before any frame
        {soi + bytes({0xFF, 0xD9, 0x00, 0x00}), End::kMalformed, false, 0},  // end of image in the header
        {soi + bytes({0x00, 0xFF, 0xC0, 0x00}), End::kMalformed, false, 0},  // no marker where one must be
        {soi + bytes({0xFF, 0xE0, 0x00, 0x01}), End::kMalformed, false, 0},  // length below 2
        {"\x89PNG", End::kMalformed, false, 0},
        {soi + frame, End::kCutShort, true, 0},
        {soi + frame.substr(0, 8), End::kCutShort, false, 0},  // cut inside the frame segment
    };
    for (const Case& c : cases) {
        const auto header = kx::records::walk_jpeg_header(c.data);
        EXPECT_EQ(header.end, c.end) << c.data.size();
        EXPECT_EQ(header.frame.has_value(), c.frame) << c.data.size();
        if (c.frame) {
            EXPECT_EQ(header.frame->width, 8);
            EXPECT_EQ(header.frame->height, 16);
        }
        if (c.end == End::kScan) {
            EXPECT_EQ(header.scan_start, c.scan_start);
        }
        // The frame size reader agrees with the walk over the same bytes.
        EXPECT_EQ(read_jpeg_info(c.data).has_value(), c.frame);
    }
    // A frame segment too short for its channel count: the walk notes the frame, the reader refuses it.
    const auto short_frame = kx::records::walk_jpeg_header(
        soi + bytes({0xFF, 0xC0, 0x00, 0x07, 0x08, 0x00, 0x10, 0x00, 0x08, 0xFF}) + scan);
    EXPECT_TRUE(short_frame.frame.has_value() && !short_frame.frame_sound);
    EXPECT_FALSE(read_jpeg_info(soi + bytes({0xFF, 0xC0, 0x00, 0x07, 0x08, 0x00, 0x10, 0x00, 0x08, 0xFF}) + scan));
}
