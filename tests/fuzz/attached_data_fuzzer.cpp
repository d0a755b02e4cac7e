// Feeds arbitrary bytes to the launcher as its attached data and runs the header check, the file
// table walk and the whole extraction, over a platform that writes nothing. The launcher must end
// every input either normally or through one of its reported failures: never a crash, never a read
// or write outside a buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/state.h"
#include "fuzz_platform.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/extract.h"

namespace {

struct Outcome {
    int ending;  // 0: extraction returned; else the status + 1
    uint64_t written;
};

Outcome extract(const std::vector<uint8_t>& attached, uint32_t processors) {
    g_fuzz_processor_count = processors;
    g_fuzz_written = 0;
    g_state.cleanup_armed = false;
    g_state.main_binary_path[0] = L'\0';
    wcscpy(g_state.target_directory, L"/tmp/onefile_1_000000_AAAAAAAAAAA");
    const int outcome = setjmp(g_fuzz_exit);
    if (outcome == 0) {
        set_attached_data(attached.data(), attached.size());
        validate_attached_data_header();
        extract_attached_data(Role::Parent);
    } else if (outcome != 2 + 1) {
        // Only the reported failures (status 2) are acceptable endings; a fatal stop here would
        // mean a bound the attached data can reach.
        abort();
    }
    release_decoder();
    directory_cache_reset();
    return Outcome{outcome, g_fuzz_written.load()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that a read past its end is caught.
    const std::vector<uint8_t> attached(data, data + size);
    // Several workers where the stream has several frames, then the sequential reader: both end
    // alike, and when they succeed they have written the same files with the same bytes.
    const Outcome parallel = extract(attached, 3);
    const Outcome sequential = extract(attached, 1);
    if (parallel.ending != sequential.ending) abort();
    if (parallel.ending == 0 && parallel.written != sequential.written) abort();
    return 0;
}
