// COCO instances files: what the index keeps, and the fault named for each
// kind of bad file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "annotations/coco.hpp"

namespace {

using kx::annotations::parse_coco;

const char* const kGood = R"({
  "info": {"year": 2020}, "licenses": [],
  "categories": [{"id": 7, "name": "dog"}, {"id": 3, "name": "cat"}, {"id": 90, "name": "bird"}],
  "images": [{"id": 10, "file_name": "a/x.jpg", "width": 100, "height": 50},
             {"id": 11, "file_name": "y.jpg", "width": 20, "height": 20, "extra": {"k": [1, 2]}}],
  "annotations": [
    {"id": 1, "image_id": 10, "category_id": 7, "bbox": [10, 5, 20, 10], "segmentation": [[1, 2, 3]], "area": 200},
    {"id": 2, "image_id": 10, "category_id": 3, "bbox": [90, 40, 20, 20], "iscrowd": 1},
    {"id": 3, "image_id": 10, "category_id": 90, "bbox": [0, 0, 0, 5]},
    {"id": 4, "image_id": 10, "category_id": 90, "bbox": [200, 0, 5, 5]}
  ]})";

TEST(Coco, IndexKeepsImagesClassesAndClippedBoxes) {
    auto index = parse_coco(kGood, {});
    ASSERT_TRUE(index.errors.empty()) << index.errors.front();
    ASSERT_EQ(index.images.size(), 2u);
    EXPECT_EQ(index.images[0].file_name, "a/x.jpg");
    EXPECT_EQ(index.classes, (std::vector<std::string>{"cat", "dog", "bird"}));  // id order
    EXPECT_EQ(index.category_ids, (std::vector<std::int64_t>{3, 7, 90}));
    const auto& t = index.table;
    ASSERT_EQ(t.first, (std::vector<std::size_t>{0, 2, 2}));  // image 11 is background
    EXPECT_EQ(t.objects[0].cls, 1);
    EXPECT_FALSE(t.objects[0].ignore);
    EXPECT_TRUE(t.objects[1].ignore);                          // crowd
    EXPECT_DOUBLE_EQ(t.objects[1].w, 10);                      // clipped to the 100 x 50 image
    EXPECT_DOUBLE_EQ(t.objects[1].h, 10);
    EXPECT_EQ(t.counts.clipped, 1u);
    EXPECT_EQ(t.counts.dropped, 2u);                           // zero width; wholly outside
    EXPECT_EQ(t.counts.ignored, 1u);

    auto chosen = parse_coco(kGood, {"bird", "dog"});
    ASSERT_TRUE(chosen.errors.empty());
    EXPECT_EQ(chosen.category_ids, (std::vector<std::int64_t>{90, 7}));
    EXPECT_EQ(chosen.table.counts.left_out, 1u);  // the cat
    EXPECT_EQ(chosen.table.objects.at(0).cls, 1);
}

struct Fault {
    const char* json;
    const char* message;
};

class CocoFaults : public testing::TestWithParam<Fault> {};

TEST_P(CocoFaults, AreNamed) {
    auto index = parse_coco(GetParam().json, {});
    ASSERT_FALSE(index.errors.empty());
    EXPECT_NE(index.errors.front().find(GetParam().message), std::string::npos) << index.errors.front();
}

#define HEAD R"("categories": [{"id": 1, "name": "a"}], "images": [{"id": 1, "file_name": "x.jpg", "width": 9, "height": 9}])"
INSTANTIATE_TEST_SUITE_P(
    Table, CocoFaults,
    testing::Values(
        Fault{"[1, 2]", "the top level is a list"},
        Fault{R"({"images": [], "categories": []})", "no 'annotations' list"},
        Fault{R"({"images": {}, "annotations": [], "categories": []})", "'images' is not a list"},
        Fault{R"({"images": [3], "annotations": [], "categories": []})", "image entry 0 of 'images' is not an object"},
        Fault{R"({"images": [}, "annotations": [], "categories": []})", "not valid JSON"},
        Fault{"{" HEAD R"(, "annotations": [{"id": 5, "image_id": 2, "category_id": 1, "bbox": [0, 0, 1, 1]}]})",
              "annotation id 5: image_id 2 is not an image of the file"},
        Fault{"{" HEAD R"(, "annotations": [{"id": 5, "image_id": 1, "category_id": 4, "bbox": [0, 0, 1, 1]}]})",
              "annotation id 5: category_id 4 is not a category of the file"},
        Fault{"{" HEAD R"(, "annotations": [{"id": 5, "image_id": 1, "category_id": 1, "bbox": [0, 0, -1, 1]}]})",
              "annotation id 5: bbox has a negative width or height"},
        Fault{"{" HEAD R"(, "annotations": [{"id": 5, "image_id": 1, "category_id": 1, "bbox": [0, 0, 1e999, 1]}]})",
              "number overflow parsing '1e999'"},
        Fault{"{" HEAD R"(, "annotations": [{"id": 5, "image_id": 1, "category_id": 1, "bbox": [0, 0, 1]}]})",
              "annotation id 5: bbox must be a list of 4 numbers"},
        Fault{R"({"categories": [], "annotations": [], "images": [{"id": 1, "file_name": "x.jpg"}, {"id": 1, "file_name": "y.jpg"}]})",
              "image id 1 appears twice"},
        Fault{R"({"categories": [], "annotations": [], "images": [{"id": 4, "file_name": "x.jpg", "width": -3}]})",
              "image id 4: width must be a positive finite number"},
        Fault{R"({"categories": [], "annotations": [], "images": [{"id": "4", "file_name": "x.jpg"}]})",
              "image entry 0: id is missing or not an integer"}));
#undef HEAD

TEST(Coco, UnknownDescriptorClassIsAFault) {
    auto index = parse_coco(kGood, {"horse"});
    ASSERT_EQ(index.errors.size(), 1u);
    EXPECT_EQ(index.errors[0], "class 'horse' is not a category of the file");
}

}  // namespace
