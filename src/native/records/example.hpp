// The detection record schema in the Example protocol-buffer wire format.
//
//   Example  { Features features = 1; }
//   Features { map<string, Feature> feature = 1; }   entries: key = 1, value = 2
//   Feature  { oneof { BytesList bytes_list = 1; FloatList float_list = 2; Int64List int64_list = 3; } }
//   BytesList { repeated bytes value = 1; }  FloatList { repeated float value = 1; }
//   Int64List { repeated int64 value = 1; }
//
// Only the features of the detection schema are encoded and decoded:
//   image, image_name  bytes, exactly one value, required
//   width, height      int64, exactly one value, required
//   objects            int64 list, may be absent (empty)
//   bboxes             float list, 4 per object (cx, cy, w, h normalised), may be absent
// The decoder reads general protobuf: map entries in any order, packed or
// unpacked repeated numbers, repeated fields merged as protobuf merges them,
// unknown fields and other features skipped. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kx::records {

// A serialized Example that is malformed or does not fit the schema.
class ExampleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DetectionExample {
    std::string_view image;       // views into the serialized buffer given to the decoder
    std::string_view image_name;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<std::int64_t> objects;
    std::vector<float> bboxes;
};

// Decodes `serialized`; the string views of the result point into it.
DetectionExample decode_detection_example(std::string_view serialized);

// The index of the first box (a group of four bboxes values) holding a NaN or an infinity,
// or -1 when every value is finite. Such a box would reach training as it is.
long first_non_finite_box(const DetectionExample& example);

// Encodes the features above (objects and bboxes are written even when empty).
std::string encode_detection_example(std::string_view image, std::string_view image_name, std::int64_t width,
                                     std::int64_t height, const std::int64_t* objects, std::size_t num_objects,
                                     const float* bboxes, std::size_t num_bbox_values);

}  // namespace kx::records
