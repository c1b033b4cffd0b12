// Folder pairing and image probes on real files in a temporary folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "darknet/check.hpp"
#include "darknet/files.hpp"
#include "darknet/image_probe.hpp"
#include "darknet/scan.hpp"

namespace dn = kx::darknet;

namespace {

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/darknet-scan-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string path(const std::string& name = "") const { return name.empty() ? path_ : path_ + "/" + name; }
    std::string make_dir(const std::string& name) const {
        ::mkdir(path(name).c_str(), 0755);
        return path(name);
    }
    void write(const std::string& name, const std::string& content = "") const {
        std::ofstream(path(name), std::ios::binary) << content;
    }

private:
    std::string path_;
};

// The names in directory order, filtered as the scan filters them.
std::vector<std::string> listed_in_order(const std::string& folder, const std::vector<std::string>& wanted) {
    std::vector<dn::Entry> listing;
    dn::list_folder(folder, &listing);
    std::vector<std::string> names;
    for (const auto& entry : listing)
        if (std::find(wanted.begin(), wanted.end(), entry.name) != wanted.end()) names.push_back(entry.name);
    return names;
}

std::string jpeg(bool with_end) {
    // SOI, APP0, SOF0 64x48x3, SOS, two bytes of scan data, [EOI].
    std::string data = "\xFF\xD8\xFF\xE0" + std::string("\x00\x04\x4A\x46", 4) +
                       std::string("\xFF\xC0\x00\x11\x08\x00\x30\x00\x40\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 19) +
                       std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x12\x34", 12);
    return with_end ? data + "\xFF\xD9" : data;
}

std::string png(bool with_end) {
    std::string data = "\x89PNG\r\n\x1a\n" + std::string("\x00\x00\x00\x0DIHDR\x00\x00\x00\x40\x00\x00\x00\x30\x08\x02\x00\x00\x00", 21) +
                       "CRC!" + std::string("\x00\x00\x00\x01IDATxCRC!", 13);
    return with_end ? data + std::string("\x00\x00\x00\x00IEND\xAE\x42\x60\x82", 12) : data;
}

}  // namespace

TEST(DarknetScan, PairsByStemInExtensionGroupOrder) {
    TempFolder tmp;
    const std::string images = tmp.make_dir("img[1]*?");  // taken literally
    const std::string labels = tmp.make_dir("labels");
    for (const char* name : {"b.PNG", "a.jpg", "c.jpeg", "d.gif", "x.y.jpg", "e.png", "e.JpG", ".h.jpg", "noext"})
        tmp.write(std::string("img[1]*?/") + name);
    ::mkdir((images + "/dir.jpg").c_str(), 0755);
    for (const char* name : {"a.txt", "c.txt", "x.y.txt", "e.txt", "h.txt", "orphan.txt"})
        tmp.write(std::string("labels/") + name);

    const dn::SplitScan scan = dn::scan_split(images, labels, true);
    std::vector<std::string> expected = listed_in_order(images, {"b.PNG", "e.png"});
    for (const auto& group : {listed_in_order(images, {"a.jpg", "x.y.jpg", "e.JpG"}), listed_in_order(images, {"c.jpeg"})})
        expected.insert(expected.end(), group.begin(), group.end());
    EXPECT_EQ(scan.images, expected);
    for (std::size_t i = 0; i < scan.images.size(); ++i) {
        EXPECT_EQ(scan.paired[i] != 0, scan.images[i] != "b.PNG") << scan.images[i];
        EXPECT_EQ(scan.annotations[i], scan.images[i].substr(0, scan.images[i].rfind('.')) + ".txt");
    }
    std::vector<std::string> texts = scan.text_files;
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"a.txt", "c.txt", "e.txt", "h.txt", "orphan.txt", "x.y.txt"}));
}

TEST(DarknetScan, SharedFoldersLinksAndMissingFolders) {
    TempFolder tmp;
    const std::string both = tmp.make_dir("both");
    tmp.write("both/a.jpg");
    tmp.write("both/a.txt");
    tmp.write("both/b.jpg");
    tmp.write("both/real.txt");
    ASSERT_EQ(::symlink("real.txt", (both + "/b.txt").c_str()), 0);
    tmp.write("both/c.jpg");
    ASSERT_EQ(::symlink("missing.txt", (both + "/c.txt").c_str()), 0);  // broken link: does not exist
    dn::SplitScan scan = dn::scan_split(both, both);
    ASSERT_EQ(scan.images.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(scan.paired[i] != 0, scan.images[i] != "c.jpg") << scan.images[i];

    EXPECT_TRUE(dn::scan_split(tmp.path("absent"), both).images.empty());
    // Another spelling of the same folder is listed again, with the same pairs.
    scan = dn::scan_split(both, both + "/");
    EXPECT_EQ(std::count(scan.paired.begin(), scan.paired.end(), 1), 2);
    EXPECT_EQ(dn::join_path("", "a"), "a");
    EXPECT_EQ(dn::join_path("d/", "a"), "d/a");
}

TEST(DarknetScan, PipesAreSkippedOrRefusedNeverOpenedForReading) {
    // A named pipe without a writer blocks a plain open() for ever: the test would hang.
    TempFolder tmp;
    const std::string both = tmp.make_dir("both");
    tmp.write("both/a.jpg");
    ASSERT_EQ(::mkfifo((both + "/a.txt").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((both + "/p.jpg").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("p.jpg", (both + "/q.png").c_str()), 0);  // a link to the pipe
    ASSERT_EQ(::mkfifo((both + "/lone.txt").c_str(), 0644), 0);
    const dn::SplitScan scan = dn::scan_split(both, both, true);
    EXPECT_EQ(scan.images, std::vector<std::string>{"a.jpg"});
    std::vector<std::string> skipped = scan.skipped;
    std::sort(skipped.begin(), skipped.end());
    EXPECT_EQ(skipped, (std::vector<std::string>{"p.jpg", "q.png"}));
    EXPECT_TRUE(scan.text_files.empty());
    ASSERT_EQ(scan.paired, std::vector<char>{1});  // its reader refuses it, by name
    dn::Labels labels;
    std::string error;
    EXPECT_FALSE(dn::read_labels(both + "/a.txt", {}, &labels, &error));
    EXPECT_EQ(error, "not a regular file (a named pipe, socket or device)");
    EXPECT_EQ(dn::probe_image(both + "/p.jpg").problem, "cannot be read: " + error);
}

TEST(DarknetProbe, TellsSoundTruncatedAndForeignFiles) {
    TempFolder tmp;
    struct Case {
        const char* name;
        std::string content;
        dn::ImageProbe::Format format;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"ok.jpg", jpeg(true), dn::ImageProbe::Format::kJpeg, ""},
        {"trailing.jpg", jpeg(true) + "extra", dn::ImageProbe::Format::kJpeg, ""},
        {"cut.jpg", jpeg(false), dn::ImageProbe::Format::kJpeg, "is truncated (no JPEG end-of-image marker)"},
        {"header.jpg", jpeg(true).substr(0, 12), dn::ImageProbe::Format::kJpeg,
         "is truncated (the JPEG header ends before the image data)"},
        {"ok.png", png(true), dn::ImageProbe::Format::kPng, ""},
        {"cut.png", png(false), dn::ImageProbe::Format::kPng, "is truncated (no PNG end chunk)"},
        {"empty.jpg", "", dn::ImageProbe::Format::kOther, "is empty (0 bytes)"},
        {"gif.jpg", "GIF89a....", dn::ImageProbe::Format::kOther, ""},
    };
    std::vector<std::string> paths;
    for (const Case& c : cases) {
        tmp.write(c.name, c.content);
        paths.push_back(tmp.path(c.name));
    }
    std::vector<dn::ImageProbe> probes;
    std::vector<dn::LabelCheck> labels;
    tmp.write("l.txt", "0 0.5 0.5 0.1 0.1\n1 2 0 0 0\n");
    std::size_t last = 0;
    dn::check_files(paths, {tmp.path("l.txt"), tmp.path("none.txt")}, {3, true}, &probes, &labels,
                    [&](std::size_t done) { last = done; }, 2, 1);
    EXPECT_EQ(last, cases.size() + 2);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(probes[i].format, cases[i].format) << cases[i].name;
        EXPECT_EQ(probes[i].problem, cases[i].problem) << cases[i].name;
    }
    EXPECT_EQ(probes[0].width, 64);
    EXPECT_EQ(probes[0].height, 48);
    EXPECT_EQ(probes[4].width, 64);
    ASSERT_TRUE(labels[0].readable && labels[0].labels.fault.has_value());
    EXPECT_EQ(labels[0].labels.fault->line, 2u);
    EXPECT_FALSE(labels[1].readable);
    EXPECT_EQ(dn::probe_image(tmp.path("absent.jpg")).problem, "cannot be read: No such file or directory");
}

TEST(DarknetProbe, AReportThatThrowsStopsTheCheck) {
    TempFolder tmp;
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) {
        tmp.write("l" + std::to_string(i) + ".txt", "0 0.5 0.5 0.1 0.1\n");
        paths.push_back(tmp.path("l" + std::to_string(i) + ".txt"));
    }
    std::vector<dn::ImageProbe> probes;
    std::vector<dn::LabelCheck> labels;
    struct Stop {};
    EXPECT_THROW(dn::check_files({}, paths, {1, true}, &probes, &labels, [](std::size_t) { throw Stop{}; }, 4, 0),
                 Stop);  // and the workers were joined: an unjoined thread would end the process
}
