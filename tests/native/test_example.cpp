// Example codec: round trips, general protobuf input, schema errors and
// malformed buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "records/example.hpp"

using namespace kx::records;

namespace {

// A tiny protobuf writer for building inputs the encoder never produces.
std::string varint(std::uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
    return out;
}
std::string field(unsigned number, const std::string& payload) {  // length-delimited
    return varint((number << 3) | 2) + varint(payload.size()) + payload;
}
std::string tag(unsigned number, unsigned wire) { return varint((number << 3) | wire); }
std::string fixed32(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(bits >> (8 * i)));
    return out;
}
std::string entry(const std::string& key, const std::string& feature) {
    return field(1, field(1, key) + field(2, feature));
}
std::string bytes_feature(const std::string& v) { return field(1, field(1, v)); }
std::string int_feature_unpacked(std::vector<std::int64_t> values) {
    std::string list;
    for (auto v : values) list += tag(1, 0) + varint(static_cast<std::uint64_t>(v));
    return field(3, list);
}
std::string float_feature_unpacked(std::vector<float> values) {
    std::string list;
    for (float v : values) list += tag(1, 5) + fixed32(v);
    return field(2, list);
}
std::string required_entries() {
    return entry("image", bytes_feature("JPEG")) + entry("image_name", bytes_feature("a.jpg")) +
           entry("width", int_feature_unpacked({640})) + entry("height", int_feature_unpacked({480}));
}
std::string example(const std::string& entries) { return field(1, entries); }

}  // namespace

TEST(ExampleCodec, RoundTrip) {
    const std::vector<std::int64_t> objects = {0, 5, -1, std::int64_t(1) << 40};
    std::vector<float> boxes(16);
    for (std::size_t i = 0; i < boxes.size(); ++i) boxes[i] = 0.0625f * static_cast<float>(i);
    const std::string image(300, '\xff');  // long enough for two-byte lengths
    const std::string bytes = encode_detection_example(image, "name.jpg", 640, 480, objects.data(), objects.size(),
                                                       boxes.data(), boxes.size());
    const DetectionExample d = decode_detection_example(bytes);
    EXPECT_EQ(d.image, image);
    EXPECT_EQ(d.image_name, "name.jpg");
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 480);
    EXPECT_EQ(d.objects, objects);
    EXPECT_EQ(d.bboxes, boxes);

    const DetectionExample empty =
        decode_detection_example(encode_detection_example("", "", 1, 1, nullptr, 0, nullptr, 0));
    EXPECT_TRUE(empty.objects.empty());
    EXPECT_TRUE(empty.bboxes.empty());
    EXPECT_EQ(empty.image, "");
}

TEST(ExampleCodec, ReadsGeneralProtobuf) {
    // Entries out of order, unpacked numbers, a list split over two fields,
    // unknown fields of every wire type, an unrelated feature, and a first
    // "width" entry overridden by a later one.
    const std::string unknown = tag(9, 0) + varint(300) + tag(10, 1) + std::string(8, 'x') + field(11, "skip") +
                                tag(12, 5) + "abcd" + tag(13, 3) + tag(1, 0) + varint(1) + tag(13, 4);
    const std::string objects_split = field(3, tag(1, 0) + varint(1)) + field(3, field(1, varint(2) + varint(3)));
    const std::string entries = entry("bboxes", float_feature_unpacked({0.5f, 0.25f})) + unknown +
                                entry("width", int_feature_unpacked({1})) + entry("objects", objects_split) +
                                entry("other", float_feature_unpacked({9.f})) + required_entries();
    const std::string serialized = example(entries) + unknown;  // the result views into it
    const DetectionExample d = decode_detection_example(serialized);
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 480);
    EXPECT_EQ(d.objects, (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(d.bboxes, (std::vector<float>{0.5f, 0.25f}));
    EXPECT_EQ(d.image, "JPEG");
}

TEST(ExampleCodec, SchemaErrorsNameTheFeature) {
    auto message = [](const std::string& bytes) {
        try {
            decode_detection_example(bytes);
        } catch (const ExampleError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const std::string no_width = entry("image", bytes_feature("J")) + entry("image_name", bytes_feature("n")) +
                                 entry("height", int_feature_unpacked({1}));
    EXPECT_NE(message(example(no_width)).find("width"), std::string::npos);
    EXPECT_NE(message("").find("image, image_name, width, height"), std::string::npos);
    EXPECT_NE(message(example(required_entries() + entry("width", float_feature_unpacked({1.f})))).find("'width'"),
              std::string::npos);
    EXPECT_NE(message(example(required_entries() + entry("height", int_feature_unpacked({1, 2})))).find("exactly one"),
              std::string::npos);
    EXPECT_NE(message(example(required_entries() + entry("objects", float_feature_unpacked({1.f})))).find("objects"),
              std::string::npos);
}

TEST(ExampleCodec, MalformedBuffersThrowAndNeverOverread) {
    const std::vector<std::int64_t> objects = {1, 2};
    const std::vector<float> boxes = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f};
    const std::string good = encode_detection_example("img", "n", 3, 4, objects.data(), 2, boxes.data(), 8);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        // A copy of exactly `cut` bytes lets sanitizers catch any over-read.
        const std::vector<char> copy(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_THROW(decode_detection_example(std::string_view(copy.data(), copy.size())), ExampleError) << cut;
    }
    EXPECT_THROW(decode_detection_example(std::string(11, '\xff')), ExampleError);          // endless varint
    EXPECT_THROW(decode_detection_example(tag(1, 7) + "x"), ExampleError);                   // bad wire type
    EXPECT_THROW(decode_detection_example(tag(13, 3) + tag(1, 0) + "\x01"), ExampleError);   // open group
    const std::string bad_packed_float = entry("bboxes", field(2, field(1, "abc"))) + required_entries();
    EXPECT_THROW(decode_detection_example(example(bad_packed_float)), ExampleError);
}
