// Fuzz target: the record file reader (records/record_file.*) over arbitrary
// file contents.
//
// Checked on every input, besides what the sanitizers catch: reading either
// ends cleanly or fails with RecordError (any other exception escapes and is
// reported by libFuzzer); the error names a record and an offset inside the
// file; a clean read framed again gives back the input byte for byte; and the
// reader's buffer size (derived from the input length, so that records
// straddle buffer refills in many ways) does not change the outcome, which
// count_records() reproduces. The input goes to an anonymous in-memory file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "records/record_file.hpp"

namespace rec = kx::records;

namespace {

// Where the reader stopped: the record count of a clean read, or the index
// and offset of the record it rejected.
struct Outcome {
    bool clean = false;
    std::uint64_t records = 0;
    std::uint64_t offset = 0;
    bool operator==(const Outcome& o) const { return clean == o.clean && records == o.records && offset == o.offset; }
};

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

const std::string& input_file(int* fd_out) {
    static int fd = -1;
    static std::string path;
    if (fd < 0) {
        fd = ::memfd_create("fuzz_record_file", 0);
        if (fd < 0) violated("memfd_create failed");
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    *fd_out = fd;
    return path;
}

Outcome read_all(const std::string& path, std::size_t buffer_size, std::string* reframed) {
    Outcome out;
    rec::RecordReader reader(path, buffer_size);
    try {
        std::string payload;
        while (reader.next(&payload)) reframed->append(rec::frame_record(payload));
        out.clean = true;
        out.records = reader.records_read();
    } catch (const rec::RecordError& e) {
        if (e.index() != reader.records_read()) violated("error names another record than the one being read");
        out.records = e.index();
        out.offset = e.offset();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fd = -1;
    const std::string& path = input_file(&fd);
    if (::ftruncate(fd, 0) != 0 || (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        violated("cannot write the input file");

    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string reframed;
    const Outcome small = read_all(path, 64 + size % 193, &reframed);
    if (small.clean && reframed != input) violated("payloads framed again differ from the file");
    if (!small.clean && small.offset >= size) violated("error offset lies outside the file");

    std::string ignored;
    if (!(read_all(path, std::size_t(1) << 20, &ignored) == small)) violated("outcome depends on the buffer size");
    try {
        if (rec::count_records(path) != small.records || !small.clean) violated("count_records disagrees");
    } catch (const rec::RecordError& e) {
        if (small.clean || e.index() != small.records || e.offset() != small.offset)
            violated("count_records fails differently");
    }
    return 0;
}
