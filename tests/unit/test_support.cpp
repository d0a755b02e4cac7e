#include "test_support.h"

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <system_error>

#include "common/state.h"
#include "environment/env_bridge.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/extract.h"
#include "platform/platform.h"
#include "test_platform.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>

// What the launcher keeps until the process ends, by design: the assignment strings handed to the
// runtimes' environments, the system's text of an error code and the child's argument array.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:run_runtime_bridge\n"
           "leak:platform_system_error_text\n"
           "leak:platform_command_line_arguments\n";
}
// Death tests compare standard error exactly: no summary of the suppressions used.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace unit {

namespace {

// Death-test children find the parent's scratch directory here instead of making their own.
constexpr char SCRATCH_VARIABLE[] = "ONEFILE_UNIT_SCRATCH";

fs::path g_scratch_root;

std::wstring env_text(const char* name) {
    wchar_t* value = get_env_wide(name);
    if (value == nullptr) return std::wstring();
    std::wstring text(value);
    free(value);
    return text;
}

class PredicateMatcher : public ::testing::MatcherInterface<const std::string&> {
public:
    PredicateMatcher(std::function<bool(const std::string&)> predicate, std::string description)
        : predicate_(std::move(predicate)), description_(std::move(description)) {}

    bool MatchAndExplain(const std::string& text, ::testing::MatchResultListener* listener) const override {
        *listener << "the output was \"" << text << "\"";
        return predicate_(text);
    }
    void DescribeTo(std::ostream* os) const override { *os << description_; }

private:
    std::function<bool(const std::string&)> predicate_;
    std::string description_;
};

// Every test starts on the plain platform: what one test planned never reaches the next.
class TestPlatformReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { test_platform::reset(); }
    void OnTestEnd(const ::testing::TestInfo&) override { test_platform::reset(); }
};

}  // namespace

int run_all_tests_in_scratch() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new TestPlatformReset);
    const std::wstring inherited = env_text(SCRATCH_VARIABLE);
    const bool owner = inherited.empty();
    if (owner) {
        // Not "onefile_..." : the end-to-end suite watches the temporary directory for that prefix.
        g_scratch_root = fs::temp_directory_path() / ("ofu-" + std::to_string(platform_current_process_id()));
        std::error_code error;
        fs::remove_all(g_scratch_root, error);
        fs::create_directories(g_scratch_root);
        set_bridged_env(SCRATCH_VARIABLE, wide(g_scratch_root).c_str());
    } else {
        g_scratch_root = path_of(inherited);
    }
    const int result = RUN_ALL_TESTS();
    if (owner) {
        std::error_code error;
        fs::remove_all(g_scratch_root, error);
    }
    return result;
}

fs::path scratch_root() { return g_scratch_root; }

fs::path test_path(const std::string& tag) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    name += "." + tag;
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        if (!plain) c = '_';
    }
    return g_scratch_root / name;
}

std::wstring wide(const fs::path& path) {
    const std::u8string bytes = path.u8string();
    std::wstring out;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k <= extra && i + k < bytes.size(); ++k) cp = (cp << 6) | (bytes[i + k] & 0x3F);
        i += static_cast<size_t>(extra) + 1;
        if (cp >= 0x10000 && sizeof(wchar_t) == 2) {
            out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
    }
    return out;
}

fs::path path_of(const std::wstring& text) {
    std::u8string bytes;
    auto put = [&bytes](uint32_t c) { bytes += static_cast<char8_t>(c); };
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = static_cast<uint32_t>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
        }
        if (cp < 0x80) {
            put(cp);
        } else if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
            put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        }
    }
    return fs::path(bytes);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path.string();
        return std::string();
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << path.string();
}

bool is_directory(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(fs::symlink_status(path, error));
}

bool exists_or_is_link(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

std::vector<std::wstring> list_tree(const fs::path& root) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        names.push_back(wide(fs::path(it->path().lexically_relative(root).generic_u8string())));
    }
    std::sort(names.begin(), names.end());
    return names;
}

#ifdef __SANITIZE_ADDRESS__
LeakCheckPause::LeakCheckPause() { __lsan_disable(); }
LeakCheckPause::~LeakCheckPause() { __lsan_enable(); }
#else
LeakCheckPause::LeakCheckPause() {}
LeakCheckPause::~LeakCheckPause() {}
#endif

EnvGuard::EnvGuard(const char* name) : name_(name) {
    wchar_t* value = get_env_wide(name);
    present_ = value != nullptr;
    if (present_) value_ = value;
    free(value);
}

EnvGuard::~EnvGuard() {
    if (present_) {
        set_bridged_env(name_.c_str(), value_.c_str());
    } else {
        unset_bridged_env(name_.c_str());
    }
}

ArgvZeroGuard::ArgvZeroGuard(const wchar_t* replacement) : saved_(nullptr) {
    wchar_t** argv = platform_wargv();
    if (argv == nullptr || platform_argc() < 1) {
        ADD_FAILURE() << "the runtime has no argument vector";
        return;
    }
    saved_ = argv[0];
    if (replacement == nullptr) {
        argv[0] = nullptr;
    } else {
        text_ = replacement;
        argv[0] = text_.data();
    }
}

ArgvZeroGuard::~ArgvZeroGuard() {
    wchar_t** argv = platform_wargv();
    if (argv != nullptr && platform_argc() >= 1) argv[0] = saved_;
}

::testing::Matcher<const std::string&> output_satisfies(std::function<bool(const std::string&)> predicate,
                                                        const std::string& description) {
    return ::testing::MakeMatcher(new PredicateMatcher(std::move(predicate), description));
}

std::string without_carriage_returns(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        result += text[i];
    }
    return result;
}

::testing::Matcher<const std::string&> output_is(const std::string& expected) {
    return output_satisfies([expected](const std::string& text) { return without_carriage_returns(text) == expected; },
                            "is \"" + expected + "\"");
}

void set_target_directory(const fs::path& target) {
    const std::wstring text = wide(target);
    ASSERT_LT(text.size(), PATH_CAPACITY);
    wmemcpy(g_state.target_directory, text.c_str(), text.size() + 1);
}

void ExtractionTest::SetUp() {
    directory_cache_reset();
    g_state.main_binary_path[0] = L'\0';
}

void ExtractionTest::TearDown() {
    set_attached_extras(nullptr, 0);
    release_decoder();
    directory_cache_reset();
}

fs::path ExtractionTest::use_target(const std::string& tag) {
    const fs::path target = test_path(tag);
    set_target_directory(target);
    return target;
}

void ExtractionTest::extract(const std::vector<uint8_t>& blob) {
    set_attached_data(blob.data(), blob.size());
    validate_attached_data_header();
    extract_attached_data(Role::Parent);
}

::testing::Matcher<const std::string&> plain_message(const std::string& message) { return output_is(message + "\n"); }

void stdout_to_stderr() { test_platform::join_stdout_to_stderr(); }

void put_u32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_u64(std::vector<uint8_t>& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_utf16(std::vector<uint8_t>& out, const std::u16string& text) {
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
}

std::vector<uint8_t> encode_entry(uint32_t flags, uint64_t size, const std::u16string& name,
                                  const std::u16string& second) {
    std::vector<uint8_t> out;
    put_u32(out, flags);
    put_u64(out, size);
    put_utf16(out, name);
    put_utf16(out, std::u16string(1, u'\0'));
    if ((flags & 2) != 0) {
        put_utf16(out, second);
        put_utf16(out, std::u16string(1, u'\0'));
    }
    return out;
}

std::vector<uint8_t> make_blob_with_header(uint64_t table_size, uint64_t compressed_size,
                                           const std::vector<uint8_t>& rest) {
    std::vector<uint8_t> blob;
    put_u64(blob, table_size);
    put_u64(blob, compressed_size);
    blob.insert(blob.end(), rest.begin(), rest.end());
    return blob;
}

std::vector<uint8_t> make_blob(const std::vector<uint8_t>& table, const std::vector<uint8_t>& compressed,
                               const std::vector<uint8_t>& trailing) {
    std::vector<uint8_t> rest(table);
    rest.insert(rest.end(), compressed.begin(), compressed.end());
    rest.insert(rest.end(), trailing.begin(), trailing.end());
    return make_blob_with_header(table.size(), compressed.size(), rest);
}

namespace {

// One frame of `content`, without dictionary id; `window_log` 0 leaves the window to the level.
std::vector<uint8_t> compress_frame(const std::string& content, int level, bool content_size, bool checksum,
                                    int window_log) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, content_size ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0);
    if (window_log != 0) ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
    std::vector<uint8_t> out(ZSTD_compressBound(content.size()));
    const size_t size = ZSTD_compress2(context, out.data(), out.size(), content.data(), content.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(size)) << ZSTD_getErrorName(size);
    out.resize(ZSTD_isError(size) ? 0 : size);
    return out;
}

}  // namespace

std::vector<uint8_t> zstd_frame(const std::string& content, int level, bool checksum) {
    return compress_frame(content, level, false, checksum, 0);
}

std::vector<uint8_t> make_application(const std::vector<AppFile>& files, bool checksum) {
    std::vector<uint8_t> table;
    std::string content;
    for (size_t i = 0; i < files.size(); ++i) {
        const uint32_t flags = files[i].flags | (i + 1 == files.size() ? 4u : 0u);
        const std::vector<uint8_t> entry = encode_entry(flags, files[i].content.size(), files[i].name);
        table.insert(table.end(), entry.begin(), entry.end());
        content += files[i].content;
    }
    return make_blob(table, zstd_frame(content, 3, checksum));
}

std::vector<uint8_t> sized_frame(const std::string& content, int level, int window_log) {
    return compress_frame(content, level, true, true, window_log);
}

std::vector<uint8_t> make_framed_application(const std::vector<AppFile>& files, const std::vector<size_t>& frame_starts) {
    std::vector<uint8_t> table;
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < files.size(); ++i) {
        const uint32_t flags = files[i].flags | (i + 1 == files.size() ? 4u : 0u);
        const std::vector<uint8_t> entry = encode_entry(flags, files[i].content.size(), files[i].name);
        table.insert(table.end(), entry.begin(), entry.end());
    }
    for (size_t f = 0; f < frame_starts.size(); ++f) {
        const size_t end = f + 1 < frame_starts.size() ? frame_starts[f + 1] : files.size();
        std::string content;
        for (size_t i = frame_starts[f]; i < end; ++i) content += files[i].content;
        const std::vector<uint8_t> frame = sized_frame(content);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return make_blob(table, stream);
}

std::vector<std::pair<size_t, size_t>> frame_positions(const std::vector<uint8_t>& blob) {
    uint64_t table_size = 0;
    uint64_t compressed_size = 0;
    for (int i = 7; i >= 0; --i) table_size = (table_size << 8) | blob[i];
    for (int i = 7; i >= 0; --i) compressed_size = (compressed_size << 8) | blob[8 + i];
    std::vector<std::pair<size_t, size_t>> frames;
    size_t offset = 16 + table_size;
    const size_t end = offset + compressed_size;
    while (offset < end) {
        const size_t length = ZSTD_findFrameCompressedSize(blob.data() + offset, end - offset);
        EXPECT_FALSE(ZSTD_isError(length));
        if (ZSTD_isError(length)) break;
        frames.emplace_back(offset, length);
        offset += length;
    }
    return frames;
}

std::string noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t state = seed == 0 ? 1 : seed;
    for (char& c : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state >> 11);
    }
    return out;
}

}  // namespace unit
