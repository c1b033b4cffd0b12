// Event files: the Event bytes against those tf.summary writes, and the
// appending writer (lazy creation, shared folders, removed files, failed writes).
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "records/event_file.hpp"
#include "records/record_file.hpp"

namespace fs = std::filesystem;
using namespace kx::records;

namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

double from_bits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::vector<std::string> read_all(const std::string& path) {
    RecordReader reader(path);
    std::vector<std::string> records;
    std::string payload;
    while (reader.next(&payload)) records.push_back(payload);
    return records;
}

class EventDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kx_events_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().string());
        return names;
    }
    fs::path dir_;
};

const ScalarPoint kTwoPoints[] = {{"total-loss", 1.5f}, {"learning-rate", 0.001f}};

}  // namespace

// Expected bytes: records written by tf.summary in TensorFlow 2.21 (the
// scalar plugin's metadata, a float32 tensor of empty shape), wall times
// given by their bits.
TEST(EventEncoding, MatchesTheBytesTensorFlowWrites) {
    const double wall = from_bits(0x41dac5fa3b77f377ull);
    const std::string metadata = "4a0b0a090a077363616c617273";
    struct Case {
        std::int64_t step;
        std::string tag;
        float value;
        std::string hex;
    };
    const Case cases[] = {
        {1, "a", 2.5f, "0977f3773bfac5da41" "1001" "2a1e0a1c0a0161" "420a0801120022040000" "2040" + metadata},
        // Step 0 is left out, as protobuf leaves out zeros.
        {0, "b", 2.0f, "0977f3773bfac5da41" "2a1e0a1c0a0162" "420a0801120022040000" "0040" + metadata},
        // A step of several varint bytes, a negative one, a longer tag.
        {300, "mAP@0.5", -1.0f,
         "0977f3773bfac5da41" "10ac02" "2a240a220a076d415040302e35" "420a080112002204000080bf" + metadata},
        {-1, "x", 0.0f,
         "0977f3773bfac5da41" "10ffffffffffffffffff01" "2a1e0a1c0a0178" "420a0801120022040000" "0000" + metadata},
    };
    for (const Case& c : cases) EXPECT_EQ(encode_scalar_event(wall, c.step, c.tag, c.value), unhex(c.hex)) << c.tag;
    EXPECT_EQ(encode_file_version_event(from_bits(0x41dac5fa3b400000ull)),
              unhex("090000403bfac5da41" "1a0d627261696e2e4576656e743a32"));
}

TEST_F(EventDir, CreatedAtFirstAppendAndReadBack) {
    EventFileWriter writer(dir_.string(), ".scalars");
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(writer.path(), "");
    writer.append_scalars(1700000000.25, 0, kTwoPoints, 2);
    writer.append_scalars(1700000001.5, 1, kTwoPoints, 1);

    ASSERT_EQ(files().size(), 1u);
    const std::string path = writer.path();
    EXPECT_EQ(files()[0], path);
    const std::string name = fs::path(path).filename().string();
    EXPECT_EQ(name.rfind("events.out.tfevents.1700000000.", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 8), ".scalars");
    EXPECT_EQ(read_all(path), (std::vector<std::string>{
                                  encode_file_version_event(1700000000.0),
                                  encode_scalar_event(1700000000.25, 0, "total-loss", 1.5f),
                                  encode_scalar_event(1700000000.25, 0, "learning-rate", 0.001f),
                                  encode_scalar_event(1700000001.5, 1, "total-loss", 1.5f),
                              }));
}

TEST_F(EventDir, WritersSharingAFolderKeepTheirOwnFiles) {
    EventFileWriter first(dir_.string(), ".scalars");
    EventFileWriter second(dir_.string() + "/", ".scalars");
    first.append_scalars(1700000000.0, 0, kTwoPoints, 1);
    second.append_scalars(1700000000.0, 0, kTwoPoints + 1, 1);
    first.append_scalars(1700000000.0, 1, kTwoPoints, 1);
    EXPECT_NE(first.path(), second.path());
    EXPECT_EQ(files().size(), 2u);
    EXPECT_EQ(read_all(first.path()).size(), 3u);
    EXPECT_EQ(read_all(second.path()),
              (std::vector<std::string>{encode_file_version_event(1700000000.0),
                                        encode_scalar_event(1700000000.0, 0, "learning-rate", 0.001f)}));
}

TEST_F(EventDir, RemovedFileIsReplacedAndRemovedFolderIsAnError) {
    EventFileWriter writer(dir_.string(), ".scalars");
    writer.append_scalars(1700000000.0, 0, kTwoPoints, 1);
    const std::string old_path = writer.path();
    fs::remove(old_path);
    writer.append_scalars(1700000002.0, 1, kTwoPoints, 1);
    EXPECT_NE(writer.path(), old_path);
    EXPECT_EQ(read_all(writer.path()),
              (std::vector<std::string>{encode_file_version_event(1700000002.0),
                                        encode_scalar_event(1700000002.0, 1, "total-loss", 1.5f)}));

    fs::remove_all(dir_);
    try {
        writer.append_scalars(1700000003.0, 2, kTwoPoints, 1);
        FAIL() << "no error for a removed folder";
    } catch (const FileError& e) {
        EXPECT_EQ(e.errno_value(), ENOENT);
        EXPECT_EQ(fs::path(e.path()).parent_path(), dir_);
        const std::string expected = "cannot create event file '" + dir_.string() + "/events.out.tfevents.";
        EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
    }
}

// A write cut short by the file size limit (as by a full disk) fails, leaves
// only whole records, and the next append continues cleanly after them.
TEST_F(EventDir, FailedWriteLeavesNoTornRecord) {
    EventFileWriter writer(dir_.string(), ".scalars");
    writer.append_scalars(1700000000.0, 0, kTwoPoints, 2);
    const auto good_size = fs::file_size(writer.path());

    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = good_size + 20;  // room for part of the next record only
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string message;
    int error = 0;
    try {
        writer.append_scalars(1700000001.0, 1, kTwoPoints, 2);
    } catch (const FileError& e) {
        message = e.what();
        error = e.errno_value();
    }
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(message.rfind("cannot write event file '" + writer.path() + "': ", 0), 0u) << message;
    EXPECT_EQ(fs::file_size(writer.path()), good_size);
    writer.append_scalars(1700000002.0, 2, kTwoPoints, 1);
    const auto records = read_all(writer.path());
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3], encode_scalar_event(1700000002.0, 2, "total-loss", 1.5f));
}
