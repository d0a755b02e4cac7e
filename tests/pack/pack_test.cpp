// The packer's output is read back with the launcher's own reader and decoded with libzstd; what
// the format cannot carry is refused; the same inputs give the same bytes.
#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "attached_writer.h"
#include "pack_test_support.h"
#include "cli.h"
#include "payload/attached_data.h"

namespace fs = std::filesystem;

namespace {

using pack_test::TempDir;
using pack_test::random_bytes;
using pack_test::read;
using pack_test::write;

uint64_t le64(const std::string& data, size_t offset) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[offset + i]);
    return value;
}

struct Parsed {
    std::string name;  // backslash separators, as stored
    uint64_t size;
    uint32_t flags;
};

// Walks the table with the launcher's reader, exactly as extraction does.
std::vector<Parsed> read_with_launcher(const std::string& attached) {
    set_attached_data(reinterpret_cast<const uint8_t*>(attached.data()), attached.size());
    validate_attached_data_header();
    std::vector<Parsed> entries;
    if (file_table_empty()) return entries;
    for (;;) {
        const FileEntry entry = read_file_entry();
        std::string name;
        for (size_t i = 0; i < entry.name_length; ++i) {
            const wchar_t unit = entry_name_unit(entry, i);
            EXPECT_LT(unit, 0x80) << "test names are ASCII";
            name += static_cast<char>(unit);
        }
        entries.push_back({name, entry.size, entry.flags});
        if ((entry.flags & ENTRY_FLAG_LAST) != 0) break;
    }
    file_table_fully_read();
    return entries;
}

std::string decompress_stream(const std::string& attached) {
    const auto* start = compressed_stream_start();
    const size_t size = static_cast<size_t>(compressed_stream_size());
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_inBuffer input{start, size, 0};
    std::string out;
    std::vector<char> buffer(1 << 17);
    for (;;) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        const size_t result = ZSTD_decompressStream(context, &output, &input);
        EXPECT_FALSE(ZSTD_isError(result)) << ZSTD_getErrorName(result);
        out.append(buffer.data(), output.pos);
        if (ZSTD_isError(result) || (result == 0 && input.pos == input.size && output.pos < output.size)) break;
    }
    ZSTD_freeDCtx(context);
    (void)attached;
    return out;
}

int run_cli(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::ostringstream out_stream, err_stream;
    const int status = onefile::pack::run_cli(args, out_stream, err_stream);
    if (out != nullptr) *out = out_stream.str();
    if (err != nullptr) *err = err_stream.str();
    return status;
}

class PackedApplication : public ::testing::Test {
protected:
    void SetUp() override {
        files_ = {
            {"main.bin", random_bytes(5000, 1)},
            {"zeta.txt", std::string(100000, 'z')},
            {"sub/empty", ""},
            {"sub/deeper/chunk.bin", random_bytes(32769, 2)},
            {"a.txt", "first file after the main binary in sorted order\n"},
        };
        for (const auto& [name, content] : files_) write(dir_ / ("app/" + name), content);
        chmod((dir_ / "app/sub/deeper/chunk.bin").c_str(), 0755);
        chmod((dir_ / "app/a.txt").c_str(), 0644);
    }

    std::string pack_attached(int level = 3) {
        const fs::path out = dir_ / "attached.bin";
        onefile::pack::write_attached_data(dir_ / "app", "main.bin", level, out, {});
        return read(out);
    }

    TempDir dir_;
    std::vector<std::pair<std::string, std::string>> files_;
};

TEST_F(PackedApplication, RoundTripsThroughTheLaunchersReaderAndLibzstd) {
    const std::string attached = pack_attached();
    const auto entries = read_with_launcher(attached);

    // The main binary first, then every other file sorted by its stored name.
    const std::vector<std::string> expected_order = {"main.bin", "a.txt", "sub\\deeper\\chunk.bin", "sub\\empty",
                                                     "zeta.txt"};
    ASSERT_EQ(entries.size(), expected_order.size());
    std::string expected_stream;
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected_order[i]);
        std::string unix_name = expected_order[i];
        std::replace(unix_name.begin(), unix_name.end(), '\\', '/');
        const auto it = std::find_if(files_.begin(), files_.end(), [&](const auto& f) { return f.first == unix_name; });
        ASSERT_NE(it, files_.end());
        EXPECT_EQ(entries[i].size, it->second.size()) << unix_name;
        expected_stream += it->second;
        // Only the last entry is marked last; only owner-executable files carry the executable bit.
        const bool last = i + 1 == entries.size();
        EXPECT_EQ((entries[i].flags & ENTRY_FLAG_LAST) != 0, last) << unix_name;
        EXPECT_EQ((entries[i].flags & ENTRY_FLAG_LINK), 0u);
        const bool executable = access((dir_ / ("app/" + unix_name)).c_str(), X_OK) == 0 &&
                                (fs::status(dir_ / ("app/" + unix_name)).permissions() & fs::perms::owner_exec) !=
                                    fs::perms::none;
        EXPECT_EQ((entries[i].flags & ENTRY_FLAG_BIT0) != 0, executable) << unix_name;
    }
    EXPECT_EQ(decompress_stream(attached), expected_stream);
}

TEST_F(PackedApplication, WritesOneFrameWithTheLauncherWindowAndTheContentChecksum) {
    const std::string attached = pack_attached(19);
    const uint64_t table_size = le64(attached, 0);
    const uint64_t compressed_size = le64(attached, 8);
    const char* frame = attached.data() + 16 + table_size;

    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, frame, compressed_size), 0u);
    EXPECT_EQ(header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(header.windowSize, 1ull << 27);
    EXPECT_EQ(header.checksumFlag, 1u);
    EXPECT_EQ(header.dictID, 0u);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(frame, compressed_size), compressed_size) << "exactly one frame";
    // The checksum is the frame's last 4 bytes: a change there is a checksum error for libzstd.
    std::string changed(frame, compressed_size);
    changed.back() = static_cast<char>(changed.back() ^ 0x10);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    std::vector<char> out(1 << 20);
    const size_t result = ZSTD_decompressDCtx(context, out.data(), out.size(), changed.data(), changed.size());
    ZSTD_freeDCtx(context);
    EXPECT_EQ(ZSTD_getErrorCode(result), ZSTD_error_checksum_wrong) << ZSTD_getErrorName(result);

    // Nine trailing bytes: a zero, then the offset of the 64-bit value itself.
    ASSERT_EQ(attached.size(), 16 + table_size + compressed_size + 9);
    EXPECT_EQ(attached[attached.size() - 9], '\0');
    EXPECT_EQ(le64(attached, attached.size() - 8), attached.size() - 8);
}

TEST_F(PackedApplication, SameInputsGiveIdenticalAttachedData) {
    const std::string first = pack_attached();
    // New timestamps and a copy elsewhere must not change a byte.
    fs::copy(dir_ / "app", dir_ / "copy", fs::copy_options::recursive);
    fs::last_write_time(dir_ / "copy/zeta.txt", fs::file_time_type::clock::now() - std::chrono::hours(24));
    onefile::pack::write_attached_data(dir_ / "copy", "main.bin", 3, dir_ / "again.bin", {});
    EXPECT_EQ(read(dir_ / "again.bin"), first);
}

TEST_F(PackedApplication, SameInputsGiveIdenticalExecutables) {
    for (const char* target : {"linux", "windows"}) {
        SCOPED_TRACE(target);
        const fs::path kit = fs::path(ONEFILE_PACK_PATH).parent_path().parent_path().parent_path() / target;
        if (!fs::exists(kit / "share/onefile" / target / "link.txt")) {
            if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) ADD_FAILURE() << target << " kit missing";
            continue;
        }
        const std::string one = (dir_ / (std::string(target) + "-1")).string();
        const std::string two = (dir_ / (std::string(target) + "-2")).string();
        ASSERT_EQ(run_cli({"--quiet", "--target", target, "--level", "3", "-o", one, (dir_ / "app").string(), "main.bin"}), 0);
        ASSERT_EQ(run_cli({"--quiet", "--target", target, "--level", "3", "-o", two, (dir_ / "app").string(), "main.bin"}), 0);
        EXPECT_EQ(read(one), read(two));
        EXPECT_GT(fs::file_size(one), 16u);
    }
}

TEST_F(PackedApplication, ListShowsTheTableOfAPackedFile) {
    const fs::path attached = dir_ / "attached.bin";
    onefile::pack::write_attached_data(dir_ / "app", "main.bin", 3, attached, {});
    std::string out;
    ASSERT_EQ(run_cli({"--list", attached.string()}, &out), 0);
    EXPECT_NE(out.find("main.bin\t5000\t"), std::string::npos) << out;
    EXPECT_NE(out.find("sub\\deeper\\chunk.bin\t32769\t"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5);
}

TEST_F(PackedApplication, VerifyAcceptsIntactDataAndRefusesDamage) {
    const fs::path attached = dir_ / "attached.bin";
    onefile::pack::write_attached_data(dir_ / "app", "main.bin", 3, attached, {});
    EXPECT_EQ(run_cli({"--quiet", "--verify", attached.string()}), 0);

    std::string bytes = read(attached);
    const uint64_t table_size = le64(bytes, 0);
    const uint64_t compressed_size = le64(bytes, 8);
    // A stream cut in half: the header still fits, but the frame ends before the files do.
    const uint64_t cut = compressed_size / 2;
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<char>((cut >> (8 * i)) & 0xFF);
    (void)table_size;
    write(dir_ / "damaged.bin", bytes);
    std::string err;
    EXPECT_EQ(run_cli({"--quiet", "--verify", (dir_ / "damaged.bin").string()}, nullptr, &err), 2);
    EXPECT_EQ(err.rfind("onefile-pack: ", 0), 0u) << err;
}

struct Refusal {
    const char* label;
    std::string main_binary;
    void (*prepare)(const fs::path& app);
    int status;
    const char* target = "windows";
    // Text the message must hold ("APP" stands for the application directory); empty: any message.
    std::string message = "";
};

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, ExitWithAClearMessageAndWriteNothing) {
    TempDir dir;
    write(dir / "app/main.bin", "main");
    GetParam().prepare(dir / "app");
    std::string out, err;
    const fs::path output = dir / "out.bin";
    const int status = run_cli({"--target", GetParam().target, "--attached-only", output.string(),
                                (dir / "app").string(), GetParam().main_binary},
                               &out, &err);
    EXPECT_EQ(status, GetParam().status) << err;
    EXPECT_EQ(err.rfind("onefile-pack: ", 0), 0u) << err;
    std::string message = GetParam().message;
    if (const size_t app = message.find("APP"); app != std::string::npos) {
        message.replace(app, 3, (dir / "app").string());
    }
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(fs::exists(output));
}

void nothing(const fs::path&) {}
void add_symlink(const fs::path& app) { fs::create_symlink("main.bin", app / "link.bin"); }
void add_long_name(const fs::path& app) {
    // Twenty components of 205 characters: a stored name past 4095 code units. The host path is
    // longer than the system accepts in one call, so the levels are made relative to each other.
    int directory = open(app.c_str(), O_RDONLY | O_DIRECTORY);
    const std::string component(205, 'd');
    for (int level = 0; level < 20; ++level) {
        mkdirat(directory, component.c_str(), 0755);
        const int next = openat(directory, component.c_str(), O_RDONLY | O_DIRECTORY);
        close(directory);
        directory = next;
    }
    const int file = openat(directory, "f", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(directory);
}

// A stored name that begins "x:" is drive-relative to the launcher, whatever the target: on Linux
// ':' is an ordinary character, so only the launcher's own rule keeps such a name out.
void add_drive_form_file(const fs::path& app) { write(app / "x:notes.txt", "notes"); }
void add_drive_form_main(const fs::path& app) { write(app / "1:main", "main"); }
void add_drive_form_directory(const fs::path& app) { write(app / "c:" / "lib" / "data.bin", "data"); }

INSTANTIATE_TEST_SUITE_P(
    Packer, Refusals,
    ::testing::Values(Refusal{"MissingMainBinary", "absent.bin", nothing, 2},
                      Refusal{"AbsoluteMainBinary", "/etc/passwd", nothing, 2},
                      Refusal{"MainBinaryOutsideTheDirectory", "../main.bin", nothing, 2},
                      Refusal{"MainBinaryIsADirectory", ".", nothing, 2},
                      Refusal{"SymbolicLinkInTheTree", "main.bin", add_symlink, 2},
                      Refusal{"NameLongerThan4095Units", "main.bin", add_long_name, 2},
                      Refusal{"DriveFormNameForLinux", "main.bin", add_drive_form_file, 2, "linux",
                              "the name of 'APP/x:notes.txt' cannot be packed: its stored name 'x:notes.txt' "
                              "begins with 'x:', which the launcher takes for a drive\n"},
                      Refusal{"DriveFormDirectoryForLinux", "main.bin", add_drive_form_directory, 2, "linux",
                              "the name of 'APP/c:/lib/data.bin' cannot be packed: its stored name "
                              "'c:\\lib\\data.bin' begins with 'c:', which the launcher takes for a drive\n"},
                      Refusal{"DriveFormMainBinaryForLinux", "1:main", add_drive_form_main, 2, "linux",
                              "its stored name '1:main' begins with '1:', which the launcher takes for a drive"},
                      Refusal{"DriveFormNameForWindows", "main.bin", add_drive_form_file, 2, "windows",
                              "cannot be used on Windows: it contains ':'"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PackerNames, LinuxKeepsTheColonsTheLauncherAccepts) {
    TempDir dir;
    write(dir / "app/main.bin", "main");
    write(dir / "app/ab:c", "colon after two characters");
    write(dir / "app/sub/x:notes.txt", "drive form below the top");
    const fs::path output = dir / "out.bin";
    std::string err;
    ASSERT_EQ(run_cli({"--quiet", "--target", "linux", "--attached-only", output.string(), (dir / "app").string(),
                       "main.bin"},
                      nullptr, &err),
              0)
        << err;
    std::string out;
    ASSERT_EQ(run_cli({"--list", output.string()}, &out), 0);
    EXPECT_EQ(out, "main.bin\t4\t0\nab:c\t26\t0\nsub\\x:notes.txt\t24\t4\n");
    EXPECT_EQ(run_cli({"--quiet", "--verify", output.string()}), 0);
}

TEST(PackerCommandLine, UsageErrorsExitWithOne) {
    std::string err;
    EXPECT_EQ(run_cli({"--level", "99", "--attached-only", "x", "app", "main"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"--target", "beos", "-o", "x", "app", "main"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"-o", "x", "app"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"--no-such-option"}, nullptr, &err), 1) << err;
    std::string out;
    EXPECT_EQ(run_cli({"--version"}, &out), 0);
    EXPECT_EQ(out.rfind("onefile-pack ", 0), 0u) << out;
}

}  // namespace
