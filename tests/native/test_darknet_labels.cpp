// Darknet annotation text: the values of well-formed files and the first
// fault of malformed ones, with its line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "darknet/labels.hpp"

using kx::darknet::LabelRules;
using kx::darknet::parse_labels;

TEST(DarknetLabels, ReadsWellFormedText) {
    struct Case {
        std::string text;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"# only a comment\n\n   \n", {}},
        {"0 0.5 0.5 1.0 1.0", {0, 0.5, 0.5, 1.0, 1.0}},
        {"1 .25 +0.5 5e-1 1.\r\n\r\n2\t0.1  0.2 0.3 0.4 # note\r", {1, .25, .5, .5, 1, 2, .1, .2, .3, .4}},
        {"\xEF\xBB\xBF" "3 0 0 0 0\n", {3, 0, 0, 0, 0}},
        {"-0 1e0 1E-0 0.0 0#x", {0, 1, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto labels = parse_labels(c.text);
        EXPECT_FALSE(labels.fault.has_value()) << c.text << ": " << labels.fault->reason;
        EXPECT_EQ(labels.values, c.values) << c.text;
    }
}

TEST(DarknetLabels, NamesTheFirstFaultyLine) {
    struct Case {
        std::string text;
        LabelRules rules;
        std::size_t line;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"0 0.5 0.5 0.1 0.1\n0 0.5 abc 0.1 0.1\n", {}, 2, "the y centre 'abc' is not a number"},
        {"# c\n\n0 0.5 0.5 0.1\n", {}, 3, "holds 4 values instead of 5 (class x_centre y_centre width height)"},
        {"0 0.5 0.5 0.1 0.1 0.9", {}, 1, "holds 6 values instead of 5 (class x_centre y_centre width height)"},
        {"0 nan 0.5 0.1 0.1", {}, 1, "the x centre 'nan' is not finite"},
        {"0 0.5 0.5 -inf 0.1", {}, 1, "the width '-inf' is not finite"},
        {"0 0.5 0.5 0.1 1e999", {}, 1, "the height '1e999' is not finite"},
        {"0 0.5 0.5 0.1 +-1", {}, 1, "the height '+-1' is not a number"},
        {"0,5 0.5 0.5 0.1 0.1", {}, 1, "the class id '0,5' is not a number"},
        {"1.5 0.5 0.5 0.1 0.1", {}, 1, "the class id '1.5' is not a whole number"},
        {"\r0 0 0 0 0\r3 0.5 0.5 0.1 0.1", {3, false}, 3,
         "the class id 3 lies outside the dataset's 3 classes (valid ids: 0 to 2)"},
        {"-1 0.5 0.5 0.1 0.1", {3, false}, 1, "the class id -1 lies outside the dataset's 3 classes (valid ids: 0 to 2)"},
        {"0 0.5 0.5 0.1 0.1", {0, false}, 1, "the class id 0 lies outside the dataset's 0 classes (valid ids: none)"},
        {"0 1.2 0.5 0.1 0.1", {3, true}, 1, "the x centre '1.2' lies outside 0..1"},
        {"0 0.5 \xff\x01 0.1 0.1", {}, 1, "the y centre '\\xff\\x01' is not a number"},
    };
    for (const Case& c : cases) {
        const auto labels = parse_labels(c.text, c.rules);
        ASSERT_TRUE(labels.fault.has_value()) << c.text;
        EXPECT_EQ(labels.fault->line, c.line) << c.text;
        EXPECT_EQ(labels.fault->reason, c.reason) << c.text;
    }
    // Out-of-range coordinates are only a fault when the rules ask for it.
    EXPECT_FALSE(parse_labels("0 1.2 -0.1 0.1 0.1", {3, false}).fault.has_value());
}

TEST(DarknetLabels, LongTokensAreShortenedInMessages) {
    const auto labels = parse_labels("0 0.5 0.5 0.1 " + std::string(100, 'x'));
    ASSERT_TRUE(labels.fault.has_value());
    EXPECT_EQ(labels.fault->reason, "the height '" + std::string(32, 'x') + "...' is not a number");
}
