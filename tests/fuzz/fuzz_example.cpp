// Fuzz target: the Example decoder (records/example.*) over arbitrary bytes.
//
// Checked on every input, besides what the sanitizers catch: decoding either
// succeeds or fails with ExampleError (any other exception escapes and is
// reported by libFuzzer), its string views lie inside the input, and a
// decoded example encoded again decodes to the same values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "records/example.hpp"

namespace rec = kx::records;

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// Floats compared bit for bit: NaN payloads must survive the round trip too.
bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    rec::DetectionExample decoded;
    try {
        decoded = rec::decode_detection_example(input);
    } catch (const rec::ExampleError&) {
        return 0;
    }
    if (!inside(decoded.image, input) || !inside(decoded.image_name, input)) violated("view outside the input");

    const std::string again = rec::encode_detection_example(
        decoded.image, decoded.image_name, decoded.width, decoded.height, decoded.objects.data(),
        decoded.objects.size(), decoded.bboxes.data(), decoded.bboxes.size());
    const rec::DetectionExample back = rec::decode_detection_example(again);  // must not throw
    if (back.image != decoded.image || back.image_name != decoded.image_name || back.width != decoded.width ||
        back.height != decoded.height || back.objects != decoded.objects || !same_floats(back.bboxes, decoded.bboxes))
        violated("encode(decode(x)) decodes to other values");
    return 0;
}
