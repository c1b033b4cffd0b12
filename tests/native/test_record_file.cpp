// Record framing: round trips, damage detection with the record located, and
// the atomic writer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "records/crc32c.hpp"
#include "records/record_file.hpp"

namespace fs = std::filesystem;
using namespace kx::records;

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kx_records_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    static std::string slurp(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void spit(const std::string& p, const std::string& data) {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << data;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        return names;
    }

    fs::path dir_;
};

std::vector<std::string> sample_payloads() {
    std::string big(3 * 1024 * 1024 + 5, '\0');  // larger than the reader's buffer
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    return {"first", "", std::string(1, '\0'), big, "last record"};
}

std::string write_file(const std::string& p, const std::vector<std::string>& payloads) {
    RecordFileWriter writer(p);
    for (const auto& payload : payloads) writer.write(payload);
    writer.commit();
    return p;
}

}  // namespace

using RecordFile = TempDir;

TEST_F(RecordFile, WriterAndReaderRoundTrip) {
    const auto payloads = sample_payloads();
    const std::string p = write_file(path("a.tfrecord"), payloads);
    EXPECT_EQ(count_records(p), payloads.size());
    for (std::size_t buffer : {std::size_t(64), std::size_t(1) << 20}) {
        RecordReader reader(p, buffer);
        std::string got;
        for (const auto& expected : payloads) {
            ASSERT_TRUE(reader.next(&got));
            EXPECT_EQ(got, expected);
        }
        EXPECT_FALSE(reader.next(&got));
        EXPECT_EQ(reader.records_read(), payloads.size());
    }
}

TEST_F(RecordFile, FramingMatchesTheFormat) {
    const std::string framed = frame_record("abc");
    ASSERT_EQ(framed.size(), kHeaderSize + 3 + kFooterSize);
    EXPECT_EQ(framed.substr(0, 8), std::string("\x03\0\0\0\0\0\0\0", 8));
    auto le32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(framed[at + static_cast<std::size_t>(i)]);
        return v;
    };
    EXPECT_EQ(le32(8), mask_crc(crc32c(framed.data(), 8)));
    EXPECT_EQ(le32(15), mask_crc(crc32c("abc", 3)));
    // The writer produces exactly the concatenated frames.
    const std::string p = write_file(path("f.tfrecord"), {"abc", ""});
    EXPECT_EQ(slurp(p), frame_record("abc") + frame_record(""));
}

TEST_F(RecordFile, EmptyFileHasNoRecords) {
    const std::string p = write_file(path("empty.tfrecord"), {});
    EXPECT_EQ(fs::file_size(p), 0u);
    EXPECT_EQ(count_records(p), 0u);
}

TEST_F(RecordFile, EveryTruncationIsReportedAtTheRightRecord) {
    const std::vector<std::string> payloads = {"alpha", "bravo!", "c"};
    const std::string full = frame_record(payloads[0]) + frame_record(payloads[1]) + frame_record(payloads[2]);
    const std::size_t second = frame_record(payloads[0]).size();
    const std::size_t third = second + frame_record(payloads[1]).size();
    const std::string p = path("t.tfrecord");
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        spit(p, full.substr(0, cut));
        if (cut == 0 || cut == second || cut == third) {
            EXPECT_EQ(count_records(p), cut == 0 ? 0u : (cut == second ? 1u : 2u));
            continue;
        }
        try {
            count_records(p);
            ADD_FAILURE() << "truncation at " << cut << " not detected";
        } catch (const RecordError& e) {
            const std::uint64_t index = cut < second ? 0 : (cut < third ? 1 : 2);
            EXPECT_EQ(e.index(), index) << cut;
            EXPECT_EQ(e.offset(), index == 0 ? 0 : (index == 1 ? second : third)) << cut;
            EXPECT_EQ(e.path(), p);
            EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(p), std::string::npos);
        }
    }
}

TEST_F(RecordFile, EveryBitFlipIsDetected) {
    const std::string full = frame_record("payload one") + frame_record("two");
    const std::string p = path("flip.tfrecord");
    for (std::size_t byte = 0; byte < full.size(); ++byte) {
        for (int bit : {0, 7}) {
            std::string damaged = full;
            damaged[byte] = static_cast<char>(damaged[byte] ^ (1 << bit));
            spit(p, damaged);
            EXPECT_THROW(count_records(p), RecordError) << "byte " << byte << " bit " << bit;
        }
    }
}

TEST_F(RecordFile, HugeLengthInAValidHeaderIsATruncationNotAnAllocation) {
    unsigned char header[kHeaderSize];
    frame_header(std::uint64_t(1) << 60, header);
    const std::string p = path("huge.tfrecord");
    spit(p, std::string(reinterpret_cast<const char*>(header), kHeaderSize) + "tiny");
    RecordReader reader(p);
    std::string payload;
    EXPECT_THROW(reader.next(&payload), RecordError);
}

TEST_F(RecordFile, MissingFileOrFolderIsAFileError) {
    try {
        count_records(path("missing.tfrecord"));
        ADD_FAILURE();
    } catch (const FileError& e) {
        EXPECT_EQ(e.errno_value(), ENOENT);
        EXPECT_EQ(e.path(), path("missing.tfrecord"));
    }
    try {
        count_records(dir_.string());
        ADD_FAILURE();
    } catch (const FileError& e) {
        EXPECT_EQ(e.errno_value(), EISDIR);
    }
    EXPECT_THROW(RecordFileWriter(path("no/such/folder/x.tfrecord")), FileError);
}

TEST_F(RecordFile, ManyFilesCountInParallelAndTheFirstFailingFileIsReported) {
    std::vector<std::string> files;
    std::uint64_t expected = 0;
    for (int i = 0; i < 9; ++i) {
        std::vector<std::string> payloads(static_cast<std::size_t>(i * 7 + 1), std::string(100 + i, 'x'));
        files.push_back(write_file(path("f" + std::to_string(i) + ".tfrecord"), payloads));
        expected += payloads.size();
    }
    for (unsigned threads : {1u, 2u, 4u, 0u}) EXPECT_EQ(count_records(files, threads), expected);

    // Damage two files: the error names the earlier one in the list, whatever thread saw it.
    for (int i : {3, 6}) spit(files[i], slurp(files[i]).substr(0, 50));
    for (unsigned threads : {1u, 4u}) {
        try {
            count_records(files, threads);
            ADD_FAILURE();
        } catch (const RecordError& e) {
            EXPECT_NE(std::string(e.what()).find(files[3]), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(count_records(std::vector<std::string>{}, 0), 0u);
}

TEST_F(RecordFile, UncommittedWriterLeavesNothingAndKeepsTheOldFile) {
    const std::string p = write_file(path("keep.tfrecord"), {"old"});
    {
        RecordFileWriter writer(p);
        writer.write("new");
        EXPECT_EQ(fs::path(writer.temp_path()).parent_path(), dir_);
        EXPECT_EQ(fs::path(writer.temp_path()).filename().string()[0], '.');  // hidden from *.tfrecord globs
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.tfrecord"});
    RecordReader reader(p);
    std::string got;
    ASSERT_TRUE(reader.next(&got));
    EXPECT_EQ(got, "old");
}

TEST_F(RecordFile, TemporaryNamesTellTheirWriter) {
    {
        RecordFileWriter writer(path("x.tfrecord"));
        EXPECT_EQ(kx::records::record_temp_pid(fs::path(writer.temp_path()).filename().string()), ::getpid());
    }
    for (const char* other : {"x.tfrecord", ".x.tfrecord.tmp-12-0badcafe1", ".x.tfrecord.tmp--0badcafe",
                              ".x.tfrecord.tmp-1a-0badcafe", "x.tfrecord.tmp-12-0badcafe", ".x.7.tmp.h5"})
        EXPECT_EQ(kx::records::record_temp_pid(other), -1) << other;
}

TEST_F(RecordFile, CommitReplacesTheTargetOrAnotherName) {
    write_file(path("x.tfrecord"), {"old", "old"});
    write_file(path("x.tfrecord"), {"new"});
    EXPECT_EQ(count_records(path("x.tfrecord")), 1u);
    RecordFileWriter writer(path("y.tfrecord"));
    writer.write("r");
    writer.commit_as(path("z.tfrecord"));
    EXPECT_EQ(writer.records_written(), 1u);
    EXPECT_FALSE(fs::exists(path("y.tfrecord")));
    EXPECT_EQ(count_records(path("z.tfrecord")), 1u);
    EXPECT_THROW(writer.write("late"), std::logic_error);
}
