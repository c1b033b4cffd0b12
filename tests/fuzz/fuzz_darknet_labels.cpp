// Fuzz target: the Darknet annotation parser (darknet/labels.*) over arbitrary
// bytes.
//
// Checked on every input, besides what the sanitizers catch: the values come
// in whole boxes; every value kept is finite and every class id a whole
// number within the classes; a fault names a line that exists; and the
// stricter rules never accept what the looser ones reject.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "darknet/labels.hpp"

namespace dn = kx::darknet;

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

std::size_t line_count(std::string_view text) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const dn::Labels loose = dn::parse_labels(input);
    const dn::Labels strict = dn::parse_labels(input, dn::LabelRules{3, true});
    for (const dn::Labels* labels : {&loose, &strict}) {
        if (labels->values.size() % dn::kLabelValues != 0) violated("values do not come in whole boxes");
        if (labels->fault && (labels->fault->line == 0 || labels->fault->line > line_count(input)))
            violated("a fault names a line the text does not have");
        for (std::size_t i = 0; i < labels->values.size(); ++i) {
            const double value = labels->values[i];
            if (!std::isfinite(value)) violated("a kept value is not finite");
            if (i % dn::kLabelValues == 0 && value != std::floor(value)) violated("a kept class id is not whole");
        }
    }
    for (std::size_t i = 0; i < strict.values.size(); ++i) {
        const double value = strict.values[i];
        if (i % dn::kLabelValues == 0 ? (value < 0 || value >= 3) : (value < 0 || value > 1))
            violated("a kept value breaks the rules");
    }
    if (!strict.fault && loose.fault) violated("the strict rules accepted what the loose ones rejected");
    if (!strict.fault && strict.values != loose.values) violated("the rules changed the values read");
    return 0;
}
