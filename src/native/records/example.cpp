// Example wire-format encoder and decoder for the detection schema.
#include "records/example.hpp"

#include "records/wire.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace kx::records {
namespace {

using namespace wire;

// A bounds-checked cursor over one message.
class Reader {
public:
    Reader(std::string_view data, std::string what) : data_(data), what_(std::move(what)) {}

    bool done() const { return pos_ >= data_.size(); }

    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos_ >= data_.size()) fail("truncated varint");
            const auto byte = static_cast<unsigned char>(data_[pos_++]);
            v |= std::uint64_t(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) return v;
        }
        fail("varint longer than 10 bytes");
    }

    std::string_view bytes() {
        const std::uint64_t n = varint();
        if (n > data_.size() - pos_) fail("length-delimited field runs past the end of its message");
        std::string_view out = data_.substr(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return out;
    }

    std::uint32_t fixed32() {
        if (data_.size() - pos_ < 4) fail("truncated fixed32 field");
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data_[pos_ + static_cast<std::size_t>(i)]);
        pos_ += 4;
        return v;
    }

    // Reads a tag; returns the field number and sets *type.
    unsigned tag(WireType* type) {
        const std::uint64_t t = varint();
        const std::uint64_t field = t >> 3;
        if (field == 0 || field > 0x1fffffff) fail("invalid field number");
        const auto wire = static_cast<unsigned>(t & 7);
        if (wire > kFixed32) fail("invalid wire type " + std::to_string(wire));
        *type = static_cast<WireType>(wire);
        return static_cast<unsigned>(field);
    }

    void skip(unsigned field, WireType type, int depth = 0) {
        switch (type) {
            case kVarint: varint(); return;
            case kFixed64:
                if (data_.size() - pos_ < 8) fail("truncated fixed64 field");
                pos_ += 8;
                return;
            case kLengthDelimited: bytes(); return;
            case kFixed32: fixed32(); return;
            case kStartGroup: {
                if (depth > 64) fail("groups nested too deeply");
                for (;;) {
                    if (done()) fail("unterminated group");
                    WireType inner;
                    const unsigned f = tag(&inner);
                    if (inner == kEndGroup) {
                        if (f != field) fail("mismatched end of group");
                        return;
                    }
                    skip(f, inner, depth + 1);
                }
            }
            case kEndGroup: fail("unexpected end of group");
        }
    }

    [[noreturn]] void fail(const std::string& problem) const {
        throw ExampleError("malformed Example record: " + problem + " (in " + what_ + ", at byte " +
                           std::to_string(pos_) + " of " + std::to_string(data_.size()) + ")");
    }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
    std::string what_;
};

// ---------------------------------------------------------------- decoding

enum class Kind { kNone = 0, kBytes = 1, kFloat = 2, kInt64 = 3 };

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::kBytes: return "bytes_list";
        case Kind::kFloat: return "float_list";
        case Kind::kInt64: return "int64_list";
        case Kind::kNone: break;
    }
    return "no value";
}

// One decoded Feature. A oneof keeps the last member set; repeated
// occurrences of the same member merge (their values concatenate).
struct FeatureValues {
    Kind kind = Kind::kNone;
    std::vector<std::string_view> bytes;
    std::vector<std::int64_t> ints;
    std::vector<float> floats;

    void switch_to(Kind k) {
        if (kind == k) return;
        kind = k;
        bytes.clear();
        ints.clear();
        floats.clear();
    }
};

float float_from_bits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void decode_list(std::string_view list, Kind kind, FeatureValues& out, const std::string& key) {
    Reader r(list, "feature '" + key + "'");
    while (!r.done()) {
        WireType type;
        const unsigned field = r.tag(&type);
        if (field != 1) {
            r.skip(field, type);
            continue;
        }
        switch (kind) {
            case Kind::kBytes:
                if (type != kLengthDelimited) r.fail("bytes value with wire type " + std::to_string(type));
                out.bytes.push_back(r.bytes());
                break;
            case Kind::kInt64:
                if (type == kVarint) {
                    out.ints.push_back(static_cast<std::int64_t>(r.varint()));
                } else if (type == kLengthDelimited) {
                    Reader packed(r.bytes(), "packed int64 values of '" + key + "'");
                    while (!packed.done()) out.ints.push_back(static_cast<std::int64_t>(packed.varint()));
                } else {
                    r.fail("int64 value with wire type " + std::to_string(type));
                }
                break;
            case Kind::kFloat:
                if (type == kFixed32) {
                    out.floats.push_back(float_from_bits(r.fixed32()));
                } else if (type == kLengthDelimited) {
                    Reader packed(r.bytes(), "packed float values of '" + key + "'");
                    while (!packed.done()) out.floats.push_back(float_from_bits(packed.fixed32()));
                } else {
                    r.fail("float value with wire type " + std::to_string(type));
                }
                break;
            case Kind::kNone: break;
        }
    }
}

FeatureValues decode_feature(const std::vector<std::string_view>& chunks, const std::string& key) {
    FeatureValues values;
    for (std::string_view chunk : chunks) {
        Reader r(chunk, "feature '" + key + "'");
        while (!r.done()) {
            WireType type;
            const unsigned field = r.tag(&type);
            if (field >= 1 && field <= 3 && type == kLengthDelimited) {
                const auto kind = static_cast<Kind>(field);
                values.switch_to(kind);
                decode_list(r.bytes(), kind, values, key);
            } else {
                r.skip(field, type);
            }
        }
    }
    return values;
}

constexpr std::array<const char*, 6> kKeys = {"image", "image_name", "width", "height", "objects", "bboxes"};

int key_index(std::string_view key) {
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (key == kKeys[i]) return static_cast<int>(i);
    return -1;
}

// Checks the kind of a present feature and, for the fixed-length ones, that
// it holds exactly one value.
void expect_kind(const FeatureValues& v, Kind kind, const char* key, const std::string& record) {
    if (v.kind != kind)
        throw ExampleError(record + ": feature '" + key + "' holds " + kind_name(v.kind) + ", expected " +
                           kind_name(kind));
}

void expect_single(std::size_t count, const char* key, const std::string& record) {
    if (count != 1)
        throw ExampleError(record + ": feature '" + key + "' must hold exactly one value, got " +
                           std::to_string(count));
}

// Bytes for a message: printable ASCII as it is, anything else as \xNN, so
// that a message is valid text whatever the record holds.
std::string printable(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    constexpr std::size_t kLongest = 200;
    for (const char c : bytes) {
        if (out.size() >= kLongest) {
            out += "...";
            break;
        }
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && b != '\\') {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 15]);
        }
    }
    return out;
}

// ---------------------------------------------------------------- encoding

// One map entry holding a Feature of `kind` whose list message has
// `list_size` bytes; writes everything up to the list's content.
std::size_t entry_size(std::string_view key, std::size_t list_size) {
    const std::size_t feature = delimited_size(list_size);
    return delimited_size(key.size()) + delimited_size(feature);
}

void put_entry_header(std::string& out, std::string_view key, unsigned kind_field, std::size_t list_size) {
    const std::size_t feature = delimited_size(list_size);
    put_delimited_header(out, 1, entry_size(key, list_size));  // Features.feature entry
    put_delimited_header(out, 1, key.size());                   // entry key
    out.append(key);
    put_delimited_header(out, 2, feature);      // entry value: Feature
    put_delimited_header(out, kind_field, list_size);  // Feature.<kind>_list
}

std::size_t packed_list_size(std::size_t payload) { return payload == 0 ? 0 : delimited_size(payload); }

std::size_t int64_payload(const std::int64_t* v, std::size_t n) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += varint_size(static_cast<std::uint64_t>(v[i]));
    return total;
}

void put_int64_feature(std::string& out, std::string_view key, const std::int64_t* v, std::size_t n) {
    const std::size_t payload = int64_payload(v, n);
    put_entry_header(out, key, 3, packed_list_size(payload));
    if (n == 0) return;
    put_delimited_header(out, 1, payload);
    for (std::size_t i = 0; i < n; ++i) put_varint(out, static_cast<std::uint64_t>(v[i]));
}

void put_float_feature(std::string& out, std::string_view key, const float* v, std::size_t n) {
    const std::size_t payload = 4 * n;
    put_entry_header(out, key, 2, packed_list_size(payload));
    if (n == 0) return;
    put_delimited_header(out, 1, payload);
    for (std::size_t i = 0; i < n; ++i) put_fixed32(out, v[i]);
}

void put_bytes_feature(std::string& out, std::string_view key, std::string_view value) {
    put_entry_header(out, key, 1, delimited_size(value.size()));
    put_delimited_header(out, 1, value.size());
    out.append(value);
}

}  // namespace

DetectionExample decode_detection_example(std::string_view serialized) {
    // For each schema key, the Feature chunks of its last map entry (a later
    // entry with the same key replaces an earlier one, as in a protobuf map).
    std::array<std::vector<std::string_view>, kKeys.size()> chunks;
    std::array<bool, kKeys.size()> present{};

    Reader example(serialized, "Example");
    while (!example.done()) {
        WireType type;
        const unsigned field = example.tag(&type);
        if (field != 1 || type != kLengthDelimited) {
            example.skip(field, type);
            continue;
        }
        Reader features(example.bytes(), "Features");
        while (!features.done()) {
            WireType ftype;
            const unsigned ffield = features.tag(&ftype);
            if (ffield != 1 || ftype != kLengthDelimited) {
                features.skip(ffield, ftype);
                continue;
            }
            Reader entry(features.bytes(), "feature map entry");
            std::string_view key;
            std::vector<std::string_view> values;
            while (!entry.done()) {
                WireType etype;
                const unsigned efield = entry.tag(&etype);
                if (efield == 1 && etype == kLengthDelimited)
                    key = entry.bytes();
                else if (efield == 2 && etype == kLengthDelimited)
                    values.push_back(entry.bytes());
                else
                    entry.skip(efield, etype);
            }
            const int index = key_index(key);
            if (index < 0) continue;
            chunks[static_cast<std::size_t>(index)] = std::move(values);
            present[static_cast<std::size_t>(index)] = true;
        }
    }

    std::array<FeatureValues, kKeys.size()> values;
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (present[i]) values[i] = decode_feature(chunks[i], kKeys[i]);

    // Schema errors name the record by its image name when it has a usable one.
    std::string record = "Example record";
    if (present[1] && values[1].kind == Kind::kBytes && values[1].bytes.size() == 1)
        record += " '" + printable(values[1].bytes[0]) + "'";

    std::string missing;
    for (std::size_t i = 0; i < 4; ++i)
        if (!present[i] || values[i].kind == Kind::kNone) missing += std::string(missing.empty() ? "" : ", ") + kKeys[i];
    if (!missing.empty())
        throw ExampleError(record + ": required feature(s) missing: " + missing +
                           " (image, image_name, width and height have no defaults)");

    DetectionExample out;
    expect_kind(values[0], Kind::kBytes, "image", record);
    expect_single(values[0].bytes.size(), "image", record);
    out.image = values[0].bytes[0];
    expect_kind(values[1], Kind::kBytes, "image_name", record);
    expect_single(values[1].bytes.size(), "image_name", record);
    out.image_name = values[1].bytes[0];
    expect_kind(values[2], Kind::kInt64, "width", record);
    expect_single(values[2].ints.size(), "width", record);
    out.width = values[2].ints[0];
    expect_kind(values[3], Kind::kInt64, "height", record);
    expect_single(values[3].ints.size(), "height", record);
    out.height = values[3].ints[0];
    if (values[4].kind != Kind::kNone) {
        expect_kind(values[4], Kind::kInt64, "objects", record);
        out.objects = std::move(values[4].ints);
    }
    if (values[5].kind != Kind::kNone) {
        expect_kind(values[5], Kind::kFloat, "bboxes", record);
        out.bboxes = std::move(values[5].floats);
    }
    return out;
}

std::string encode_detection_example(std::string_view image, std::string_view image_name, std::int64_t width,
                                     std::int64_t height, const std::int64_t* objects, std::size_t num_objects,
                                     const float* bboxes, std::size_t num_bbox_values) {
    const std::size_t int64_one_w = packed_list_size(int64_payload(&width, 1));
    const std::size_t int64_one_h = packed_list_size(int64_payload(&height, 1));
    const std::size_t features_size =
        delimited_size(entry_size("image", delimited_size(image.size()))) +
        delimited_size(entry_size("image_name", delimited_size(image_name.size()))) +
        delimited_size(entry_size("width", int64_one_w)) + delimited_size(entry_size("height", int64_one_h)) +
        delimited_size(entry_size("objects", packed_list_size(int64_payload(objects, num_objects)))) +
        delimited_size(entry_size("bboxes", packed_list_size(4 * num_bbox_values)));

    std::string out;
    out.reserve(delimited_size(features_size));
    put_delimited_header(out, 1, features_size);  // Example.features
    put_bytes_feature(out, "image", image);
    put_bytes_feature(out, "image_name", image_name);
    put_int64_feature(out, "width", &width, 1);
    put_int64_feature(out, "height", &height, 1);
    put_int64_feature(out, "objects", objects, num_objects);
    put_float_feature(out, "bboxes", bboxes, num_bbox_values);
    return out;
}

long first_non_finite_box(const DetectionExample& example) {
    for (std::size_t i = 0; i < example.bboxes.size(); ++i)
        if (!std::isfinite(example.bboxes[i])) return static_cast<long>(i / 4);
    return -1;
}

}  // namespace kx::records
