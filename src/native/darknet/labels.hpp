// Darknet annotation text: one box per line, "class x_centre y_centre width
// height", the coordinates as fractions of the image size. Whitespace
// separates the values, '#' starts a comment, blank lines are skipped; a file
// without data lines holds no boxes. Pure function; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::darknet {

constexpr std::size_t kLabelValues = 5;

// What a well-formed file must also satisfy.
struct LabelRules {
    long num_classes = -1;          // class ids must lie in 0..num_classes-1 (-1: no limit)
    bool unit_coordinates = false;  // x, y, width and height must lie in 0..1
};

// The first fault of a file: its 1-based line and what is wrong there.
struct LabelFault {
    std::size_t line = 0;
    std::string reason;
};

struct Labels {
    std::vector<double> values;  // kLabelValues per box, in file order
    std::optional<LabelFault> fault;
    std::size_t boxes() const { return values.size() / kLabelValues; }
};

// Parses annotation text. Every value must be a finite number, every data
// line must hold exactly five values, the class id must be a whole number
// (and within the rules' classes). A UTF-8 byte-order mark at the start is
// skipped. Parsing stops at the first fault; `values` then holds the lines
// before it.
Labels parse_labels(std::string_view text, const LabelRules& rules = {});

// Reads and parses one annotation file. Returns false with the system's
// reason in `error` when the file cannot be read.
bool read_labels(const std::string& path, const LabelRules& rules, Labels* labels, std::string* error);

}  // namespace kx::darknet
