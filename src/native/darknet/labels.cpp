// Annotation text parser: lines, comments, whitespace-separated numbers.
#include "darknet/labels.hpp"

#include "darknet/files.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace kx::darknet {
namespace {

constexpr std::array<const char*, kLabelValues> kValueNames = {"class id", "x centre", "y centre", "width", "height"};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// A token as it may be shown in a message: at most 32 characters, bytes
// outside printable ASCII escaped.
std::string shown(std::string_view token) {
    std::string out;
    for (std::size_t i = 0; i < token.size() && i < 32; ++i) {
        const unsigned char c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (token.size() > 32) out += "...";
    return "'" + out + "'";
}

// A number as Python's float() reads it (an optional sign, digits with a
// decimal point and exponent, inf, nan), and nothing after it.
bool parse_number(std::string_view token, double* value) {
    const char* first = token.data();
    const char* last = first + token.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && (*first == '+' || *first == '-')) return false;
    }
    const auto [end, error] = std::from_chars(first, last, *value);
    if (end != last) return false;
    if (error == std::errc::result_out_of_range) {
        // Python reads 1e999 as inf and 1e-999 as 0; so does strtod.
        *value = std::strtod(std::string(first, last).c_str(), nullptr);
        return true;
    }
    return error == std::errc();
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

Labels parse_labels(std::string_view text, const LabelRules& rules) {
    Labels labels;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::size_t line_number = 0;
    std::size_t pos = 0;
    auto fail = [&](std::string reason) {
        labels.fault = LabelFault{line_number, std::move(reason)};
        return labels;
    };
    while (pos < text.size()) {
        // Lines end at \n, \r\n or a lone \r, as in Python's text mode.
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (end < text.size() && text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
        ++line_number;

        const std::size_t comment = line.find('#');
        if (comment != std::string_view::npos) line = line.substr(0, comment);
        std::array<std::string_view, kLabelValues> tokens;
        std::size_t count = 0;
        for (std::size_t i = 0; i < line.size();) {
            while (i < line.size() && is_space(line[i])) ++i;
            if (i == line.size()) break;
            const std::size_t start = i;
            while (i < line.size() && !is_space(line[i])) ++i;
            if (count < kLabelValues) tokens[count] = line.substr(start, i - start);
            ++count;
        }
        if (count == 0) continue;
        if (count != kLabelValues)
            return fail("holds " + std::to_string(count) + " values instead of 5 (class x_centre y_centre width height)");

        std::array<double, kLabelValues> values{};
        for (std::size_t k = 0; k < kLabelValues; ++k) {
            if (!parse_number(tokens[k], &values[k]))
                return fail(std::string("the ") + kValueNames[k] + " " + shown(tokens[k]) + " is not a number");
            if (!std::isfinite(values[k]))
                return fail(std::string("the ") + kValueNames[k] + " " + shown(tokens[k]) + " is not finite");
        }
        const double id = values[0];
        if (id != std::floor(id)) return fail("the class id " + shown(tokens[0]) + " is not a whole number");
        if (rules.num_classes >= 0 && (id < 0 || id >= static_cast<double>(rules.num_classes))) {
            const std::string range = rules.num_classes > 0 ? "0 to " + std::to_string(rules.num_classes - 1) : "none";
            return fail("the class id " + number_text(id) + " lies outside the dataset's " +
                        std::to_string(rules.num_classes) + " classes (valid ids: " + range + ")");
        }
        if (rules.unit_coordinates)
            for (std::size_t k = 1; k < kLabelValues; ++k)
                if (values[k] < 0.0 || values[k] > 1.0)
                    return fail(std::string("the ") + kValueNames[k] + " " + shown(tokens[k]) + " lies outside 0..1");
        labels.values.insert(labels.values.end(), values.begin(), values.end());
    }
    return labels;
}

bool read_labels(const std::string& path, const LabelRules& rules, Labels* labels, std::string* error) {
    std::string text;
    if (!read_file(path, &text, error)) return false;
    *labels = parse_labels(text, rules);
    return true;
}

}  // namespace kx::darknet
