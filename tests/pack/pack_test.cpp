// The packer's output is read back with the launcher's own reader and decoded with libzstd; what
// the format cannot carry is refused; the same inputs give the same bytes.
#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zstd.h>
#include <zstd_errors.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app_tree.h"
#include "attached_reader.h"
#include "attached_writer.h"
#include "binary_images.h"
#include "cli.h"
#include "common/extras.h"
#include "common/state.h"
#include "extras_record.h"
#include "file_table.h"
#include "host.h"
#include "cli_capture.h"
#include "pack_test_support.h"
#include "payload/attached_data.h"
#include "payload/extract.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

using pack_test::main_binary_image;
using pack_test::random_bytes;
using pack_test::read;
using pack_test::run_cli;
using pack_test::ScopedEnvironment;
using pack_test::TempDir;
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
        const bool executable =
            access((dir_ / ("app/" + unix_name)).c_str(), X_OK) == 0 &&
            (fs::status(dir_ / ("app/" + unix_name)).permissions() & fs::perms::owner_exec) != fs::perms::none;
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
        if (!fs::exists(kit / "share/onefile" / target / (std::string(target) == "windows" ? "launcher.exe" : "launcher"))) {
            if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) ADD_FAILURE() << target << " kit missing";
            continue;
        }
        // The packer takes only a main binary built for the target.
        write(dir_ / "app/main.bin", main_binary_image(target, 5000, 1));
        const std::string one = (dir_ / (std::string(target) + "-1")).string();
        const std::string two = (dir_ / (std::string(target) + "-2")).string();
        ASSERT_EQ(
            run_cli({"--quiet", "--target", target, "--level", "3", "-o", one, (dir_ / "app").string(), "main.bin"}),
            0);
        ASSERT_EQ(
            run_cli({"--quiet", "--target", target, "--level", "3", "-o", two, (dir_ / "app").string(), "main.bin"}),
            0);
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

// --- damage in the compressed stream ----------------------------------------------------------------

std::string verify_failure(const fs::path& file) {
    try {
        onefile::pack::verify_attached(file);
    } catch (const onefile::pack::PackError& error) {
        return error.what();
    }
    return "";
}

// The files of the table that a message names, in the order it names them.
std::vector<std::string> named_files(const std::string& message, const std::vector<std::string>& names) {
    std::vector<std::pair<size_t, std::string>> found;
    for (const std::string& name : names) {
        const size_t at = message.find("'" + name + "'");
        if (at != std::string::npos) found.emplace_back(at, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (const auto& [at, name] : found) out.push_back(name);
    return out;
}

// Decodes with the checksum ignored, as far as the decoder goes: what a launcher that does not
// check it would extract. A call that fails does not report its output, so each call gets one byte
// more: then it decodes at most one block, and a block fits the output buffer.
std::string decode_ignoring_checksum(const std::string& stream) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(context, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
    ZSTD_inBuffer input{stream.data(), 0, 0};
    std::string out;
    std::vector<char> buffer(1 << 18);
    for (;;) {
        input.size = std::min(stream.size(), input.pos + 1);
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        const size_t result = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(result)) break;
        out.append(buffer.data(), output.pos);
        if (output.pos == 0 && input.pos == stream.size()) break;
    }
    ZSTD_freeDCtx(context);
    return out;
}

// Text from a small vocabulary: Huffman-coded literals and many matches, unlike random bytes,
// which are stored as they are.
std::string words(size_t size, unsigned seed) {
    static const char* const vocabulary[] = {"launcher", "packer", "frame", "block",    "window", "table",
                                             "entry",    "name",   "size",  "stream",   "the",    "a",
                                             "of",       "and",    "to",    "checksum", "file",   "directory",
                                             "extract",  "verify", "byte",  "offset",   "zstd"};
    std::mt19937 generator(seed);
    std::string out;
    while (out.size() < size) {
        out += vocabulary[generator() % std::size(vocabulary)];
        out += generator() % 9 == 0 ? '\n' : ' ';
    }
    out.resize(size);
    return out;
}

TEST(VerifyDamage, FindsEveryFlippedByteOfTheStreamAndNamesTheFileWhereItShows) {
    TempDir dir;
    // Table order: the main binary, then by name. Over 128 KiB, so the frame has several blocks.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"main.bin", random_bytes(5000, 21)},      {"a-words.txt", words(150000, 22)},
        {"b-random.bin", random_bytes(20000, 23)}, {"c-empty", ""},
        {"d-words.txt", words(60000, 24)},
    };
    std::vector<std::string> names;
    std::string content;
    std::vector<uint64_t> ends;  // where each file's bytes end in the content
    for (const auto& [name, bytes] : files) {
        write(dir / "app" / name, bytes);
        names.push_back(name);
        content += bytes;
        ends.push_back(content.size());
    }
    auto file_at = [&](uint64_t offset) {
        const size_t index = std::upper_bound(ends.begin(), ends.end(), offset) - ends.begin();
        return std::min(index, names.size() - 1);
    };
    const fs::path attached = dir / "attached.bin";
    onefile::pack::write_attached_data(dir / "app", "main.bin", 9, attached, {});
    const std::string intact = read(attached);
    const uint64_t stream_start = 16 + le64(intact, 0);
    const uint64_t stream_size = le64(intact, 8);
    ASSERT_EQ(verify_failure(attached), "");

    // The 4 bytes of the frame's magic number, then 40 positions from the first block header to the
    // last byte of the checksum, evenly spread: block headers, stored and compressed blocks, the
    // checksum. The frame header's other 2 bytes are left out on purpose: one bit of the descriptor
    // is unused by the format, and the window descriptor may change to another window of at most
    // 2^27 bytes without changing what decodes. Neither is damage a decoder can see or a launcher
    // suffers from.
    std::vector<uint64_t> positions = {0, 1, 2, 3};
    const uint64_t first = 6;
    for (uint64_t i = 0; i < 40; ++i) positions.push_back(first + i * (stream_size - 1 - first) / 39);
    ASSERT_EQ(positions.back(), stream_size - 1);

    int checksum_failures = 0, decode_failures = 0;
    for (size_t i = 0; i < positions.size(); ++i) {
        // A single bit or a whole byte, by turns.
        const unsigned char mask = i % 2 == 0 ? static_cast<unsigned char>(1u << (i / 2 % 8)) : 0xFF;
        std::string damaged = intact;
        damaged[stream_start + positions[i]] = static_cast<char>(damaged[stream_start + positions[i]] ^ mask);
        const fs::path file = dir / ("damaged-" + std::to_string(i) + ".bin");
        write(file, damaged);
        SCOPED_TRACE("stream byte " + std::to_string(positions[i]) + " of " + std::to_string(stream_size) + " xor " +
                     std::to_string(mask));

        const std::string message = verify_failure(file);
        ASSERT_FALSE(message.empty()) << "the damage went unnoticed";
        const std::vector<std::string> named = named_files(message, names);
        ASSERT_FALSE(named.empty()) << message;
        const size_t first_named = std::find(names.begin(), names.end(), named.front()) - names.begin();

        // Where the damage shows first: the first byte a decoder that ignores the checksum gets
        // wrong, or where it gives up.
        const std::string decoded = decode_ignoring_checksum(damaged.substr(stream_start, stream_size));
        const uint64_t shows =
            std::mismatch(decoded.begin(), decoded.end(), content.begin(), content.end()).first - decoded.begin();
        if (message.starts_with("the content checksum does not match")) {
            ++checksum_failures;
            // The checksum cannot say where: the files of the frame are named, first and last, and
            // the damage lies between them.
            EXPECT_EQ(named.front(), "main.bin") << message;
            const size_t last_named = std::find(names.begin(), names.end(), named.back()) - names.begin();
            EXPECT_LE(file_at(shows), last_named) << message;
        } else {
            ++decode_failures;
            // Named first: the file where decoding fails. The damage can show before it, in bytes
            // that decoded without complaint; the message then names the frame's first file too.
            EXPECT_EQ(first_named, file_at(decoded.size())) << message;
            EXPECT_LE(file_at(shows), first_named) << message;
            if (shows < decoded.size()) {
                EXPECT_NE(message.find("the damage may also lie in the frame's earlier bytes, from 'main.bin' on"),
                          std::string::npos)
                    << message;
            }
        }

        // The command line fails with the same message, on one line.
        std::string out, err;
        EXPECT_EQ(run_cli({"--verify", file.string()}, &out, &err), 2);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "onefile-pack: " + message + "\n");
    }
    // Both kinds were met: stored bytes hide their damage from everything but the checksum.
    EXPECT_GT(checksum_failures, 0);
    EXPECT_GT(decode_failures, 4);
}

// Attached data built by hand: `frames` are the compressed stream, `sizes` the file sizes of the
// table (files "f0", "f1", ...; the first the main binary), and `extra` follows the frames.
std::string compress_frame(const std::string& content, bool checksum) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    std::string out(ZSTD_compressBound(content.size()), '\0');
    const size_t size = ZSTD_compress2(context, out.data(), out.size(), content.data(), content.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(size);
    return out;
}

std::string assemble(const std::vector<onefile::pack::TableEntry>& entries, const std::string& stream) {
    const auto table = onefile::pack::encode_file_table(entries);
    const auto header = onefile::pack::encode_attached_header(table.size(), stream.size());
    const auto trailer = onefile::pack::encode_attached_trailer(table.size(), stream.size());
    return std::string(header.begin(), header.end()) + std::string(table.begin(), table.end()) + stream +
           std::string(trailer.begin(), trailer.end());
}

std::vector<onefile::pack::TableEntry> table_of(const std::vector<uint64_t>& sizes) {
    std::vector<onefile::pack::TableEntry> entries;
    for (size_t i = 0; i < sizes.size(); ++i) {
        onefile::pack::TableEntry entry;
        entry.size = sizes[i];
        const std::string name = "f" + std::to_string(i);
        entry.name.assign(name.begin(), name.end());
        entries.push_back(entry);
    }
    entries.back().flags |= ENTRY_FLAG_LAST;
    return entries;
}

TEST(VerifyOlderData, AFrameWithoutChecksumStillVerifies) {
    TempDir dir;
    // As packers before the checksum wrote it: one frame, no content size, no checksum.
    const std::string content = random_bytes(3000, 7) + std::string(5000, 'x');
    const std::string frame = compress_frame(content, false);
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
    ASSERT_EQ(header.checksumFlag, 0u);
    write(dir / "old.bin", assemble(table_of({3000, 5000}), frame));

    const onefile::pack::VerifyReport report = onefile::pack::verify_attached(dir / "old.bin");
    EXPECT_EQ(report.content_size, 8000u);
    EXPECT_EQ(report.frame_count, 1u);
    EXPECT_EQ(report.checksummed_frames, 0u);
    std::string out;
    ASSERT_EQ(run_cli({"--verify", (dir / "old.bin").string()}, &out), 0);
    EXPECT_NE(out.find("in 1 frame, without content checksum\n"), std::string::npos) << out;

    // The same with the checksum says so.
    write(dir / "new.bin", assemble(table_of({3000, 5000}), compress_frame(content, true)));
    ASSERT_EQ(run_cli({"--verify", (dir / "new.bin").string()}, &out), 0);
    EXPECT_NE(out.find("in 1 frame, content checksum matches\n"), std::string::npos) << out;
}

struct StreamDefect {
    const char* label;
    std::vector<uint64_t> sizes;  // the file table's sizes
    std::string (*stream)();      // the compressed stream
    const char* message;          // what verify_attached says, names included
};

void PrintTo(const StreamDefect& defect, std::ostream* out) { *out << defect.label; }

class StreamDefects : public ::testing::TestWithParam<StreamDefect> {};

TEST_P(StreamDefects, FailVerificationNamingTheFile) {
    TempDir dir;
    write(dir / "attached.bin", assemble(table_of(GetParam().sizes), GetParam().stream()));
    EXPECT_EQ(verify_failure(dir / "attached.bin"), GetParam().message);
}

const std::string kFirst = random_bytes(1000, 11);
const std::string kSecond = std::string(3000, 's');
const std::string kThird = random_bytes(2000, 12);

INSTANTIATE_TEST_SUITE_P(
    Verify, StreamDefects,
    ::testing::Values(
        StreamDefect{"TrailingBytesAfterTheFrame",
                     {1000, 3000},
                     [] { return compress_frame(kFirst + kSecond, true) + "junk"; },
                     "4 bytes follow the last frame of the compressed stream, after all 4000 bytes of the files "
                     "(the last is 'f1')"},
        StreamDefect{"AnEmptyFrameAfterTheContent",
                     {1000, 3000},
                     [] { return compress_frame(kFirst + kSecond, true) + compress_frame("", true); },
                     "13 bytes follow the last frame of the compressed stream, after all 4000 bytes of the files "
                     "(the last is 'f1')"},
        StreamDefect{"FrameCutShort",
                     {1000, 3000},
                     [] {
                         const std::string frame = compress_frame(kFirst + kSecond, true);
                         return frame.substr(0, frame.size() - 2);  // half the checksum
                     },
                     "the compressed stream ends in the middle of a frame, after the end of the last file 'f1'"},
        StreamDefect{"FrameCutInTheFirstFile",
                     {1000, 3000},
                     [] { return compress_frame(kFirst + kSecond, true).substr(0, 300); },
                     "the compressed stream ends in the middle of a frame, in 'f0' (at byte 0 of its 1000)"},
        StreamDefect{"FramesEndBeforeTheFilesDo",
                     {1000, 3000, 2000},
                     [] { return compress_frame(kFirst, true) + compress_frame(kSecond, true); },
                     "the compressed stream yields only 4000 of the 6000 bytes the file sizes add up to: it ends "
                     "in 'f2' (at byte 0 of its 2000)"},
        StreamDefect{"MoreOutputThanTheFileSizes",
                     {1000, 2999},
                     [] { return compress_frame(kFirst + kSecond, true); },
                     "the compressed stream yields more than the 3999 bytes the file sizes add up to: the bytes "
                     "of one or more files from 'f0' to 'f1' are damaged (or a size in the file table is)"},
        StreamDefect{"GarbageWhereTheSecondFrameBegins",
                     {1000, 3000, 2000},
                     [] {
                         return compress_frame(kFirst, true) + "\x01\x02\x03\x04\x05\x06\x07\x08" +
                                compress_frame(kSecond + kThird, true);
                     },
                     "the compressed stream is damaged: decoding fails in 'f1' (at byte 0 of its 3000): Unknown "
                     "frame descriptor"},
        StreamDefect{"ChecksumOfTheSecondFrame",
                     {1000, 3000, 2000},
                     [] {
                         std::string second = compress_frame(kSecond + kThird, true);
                         second.back() = static_cast<char>(second.back() ^ 1);
                         return compress_frame(kFirst, true) + second;
                     },
                     "the content checksum does not match: the bytes of one or more files from 'f1' to 'f2' are "
                     "damaged (or the checksum itself is)"},
        StreamDefect{"ChecksumOfAFrameOfOneFile",
                     {1000, 3000, 2000},
                     [] {
                         std::string first = compress_frame(kFirst, true);
                         first.back() = static_cast<char>(first.back() ^ 1);
                         return first + compress_frame(kSecond + kThird, true);
                     },
                     "the content checksum does not match: the bytes of 'f0' are damaged (or the checksum itself "
                     "is)"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(VerifyNames, RefusesEveryNameTheLauncherRefuses) {
    TempDir dir;
    for (const auto& [name, problem] : std::vector<std::pair<std::u16string, std::string>>{
             {u"x:notes.txt", "begins with 'x:', which the launcher takes for a drive"},
             {u"C:\\evil.dll", "begins with 'C:', which the launcher takes for a drive"},
             {u"\\rooted", "begins with a separator, which roots it outside the target directory"},
             {u"/rooted", "begins with a separator, which roots it outside the target directory"},
             {u"sub\\..\\..\\up", "has a '..' component, which leads out of the target directory"},
             {u"sub/..", "has a '..' component, which leads out of the target directory"}}) {
        std::vector<onefile::pack::TableEntry> entries = table_of({1, 1});
        entries[1].name = name;
        write(dir / "bad.bin", assemble(entries, compress_frame("ab", true)));
        const std::string shown(name.begin(), name.end());
        EXPECT_EQ(verify_failure(dir / "bad.bin"), "the launcher refuses the name '" + shown + "': it " + problem);
    }
    // What the rule leaves alone verifies.
    std::vector<onefile::pack::TableEntry> entries = table_of({1, 1});
    entries[1].name = u"sub\\x:y..z\\..a";
    write(dir / "good.bin", assemble(entries, compress_frame("ab", true)));
    EXPECT_EQ(verify_failure(dir / "good.bin"), "");
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
    write(dir / "app/main.bin", main_binary_image(GetParam().target));
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
void add_symlink(const fs::path& app) { fs::create_directory_symlink("/", app / "link"); }
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
void add_drive_form_main(const fs::path& app) { write(app / "1:main", main_binary_image("linux")); }
void add_drive_form_directory(const fs::path& app) { write(app / "c:" / "lib" / "data.bin", "data"); }

INSTANTIATE_TEST_SUITE_P(
    Packer, Refusals,
    ::testing::Values(Refusal{"MissingMainBinary", "absent.bin", nothing, 2},
                      Refusal{"AbsoluteMainBinary", "/etc/passwd", nothing, 2},
                      Refusal{"MainBinaryOutsideTheDirectory", "../main.bin", nothing, 2},
                      Refusal{"MainBinaryIsADirectory", ".", nothing, 2},
                      Refusal{"SymbolicLinkOutOfTheTree", "main.bin", add_symlink, 2, "windows",
                              "'APP/link' (a symbolic link to '/') leads to '/', outside the application "
                              "directory"},
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
    const std::string main = main_binary_image("linux");
    write(dir / "app/main.bin", main);
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
    EXPECT_EQ(out, "main.bin\t" + std::to_string(main.size()) + "\t0\nab:c\t26\t0\nsub\\x:notes.txt\t24\t4\n");
    EXPECT_EQ(run_cli({"--quiet", "--verify", output.string()}), 0);
}

// --- file modification times -------------------------------------------------------------------------

using onefile::pack::FileTime;

void set_times(const fs::path& path, FileTime modified) {
    // An access time unlike every modification time: reading the wrong one of the two shows.
    const timespec times[2] = {{1234567890, 987654321},
                               {static_cast<time_t>(modified.seconds), static_cast<long>(modified.nanoseconds)}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    // The file system must keep what the tests compare with.
    ASSERT_EQ(info.st_mtim.tv_sec, modified.seconds) << path;
    ASSERT_EQ(info.st_mtim.tv_nsec, static_cast<long>(modified.nanoseconds)) << path;
}

// The record right behind the attached data of a packed executable, as the launcher would be given
// it: from the attached data's end to the end of the file (the launcher gets its own size from
// onefile_extras_size; the record states it too). Empty when nothing there begins with the magic.
std::string record_behind_attached_data(const std::string& executable) {
    const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(executable.data()),
                                               executable.size());
    const std::optional<onefile::pack::AttachedListing> listing = onefile::pack::locate_attached(bytes);
    EXPECT_TRUE(listing.has_value());
    if (!listing) return "";
    const std::string behind = executable.substr(listing->offset + listing->length);
    if (behind.size() < 16 || behind.compare(0, 8, "ONEFILEX") != 0) return "";
    return behind.substr(0, le64(behind, 8));
}

// The times in a record, read with the launcher's own reader.
std::vector<FileTime> times_in_record(const std::string& record) {
    FileTimes times{};
    EXPECT_TRUE(read_file_times(reinterpret_cast<const uint8_t*>(record.data()), record.size(), &times));
    std::vector<FileTime> out;
    for (uint64_t i = 0; i < times.count; ++i) {
        FileTime time;
        EXPECT_TRUE(file_time_at(times, i, &time.seconds, &time.nanoseconds)) << i;
        out.push_back(time);
    }
    return out;
}

std::string windows_kit() {
    return (fs::path(ONEFILE_PACK_PATH).parent_path().parent_path().parent_path() / "windows/share/onefile/windows")
        .string();
}

// The kits to pack with: the Linux one of this build, and the Windows one of the sibling build
// when there is one (required with ONEFILE_E2E_REQUIRE_WINDOWS).
std::vector<std::vector<std::string>> kit_arguments() {
    std::vector<std::vector<std::string>> out = {{"--target", "linux"}};
    if (fs::exists(fs::path(windows_kit()) / "launcher.exe")) {
        out.push_back({"--target", "windows", "--kit", windows_kit()});
    } else if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) {
        ADD_FAILURE() << "no Windows kit in " << windows_kit();
    }
    return out;
}

class PackedTimes : public ::testing::Test {
protected:
    // 2026-12-08T23:34:45.123456789Z, ten years of 365 days before 1970 and half a second,
    // 1 ns after 1970 began, and two around SOURCE_DATE_EPOCH 1700000000.
    static constexpr FileTime kMain{1796772885, 123456789};
    static constexpr FileTime kBefore1970{-86400LL * 365 * 10, 500000000};
    static constexpr FileTime kOneNanosecond{0, 1};
    static constexpr FileTime kEpoch{1700000000, 0};
    static constexpr FileTime kAfterEpoch{1700000000, 250000000};

    void SetUp() override {
        write(dir_ / "app/main.bin", main_binary_image("linux", 3000, 5));
        write(dir_ / "app/a.py", "print('a')\n");
        write(dir_ / "app/lib/b.py", "print('b')\n");
        write(dir_ / "app/lib/c.dat", std::string(5000, 'c'));
        write(dir_ / "app/lib/d.txt", "d");
        set_times_of_app(dir_ / "app");
    }
    static void set_times_of_app(const fs::path& app) {
        // Set in another order than the table's, so that an order of setting cannot pass for it.
        set_times(app / "lib/d.txt", kAfterEpoch);
        set_times(app / "a.py", kBefore1970);
        set_times(app / "main.bin", kMain);
        set_times(app / "lib/c.dat", kEpoch);
        set_times(app / "lib/b.py", kOneNanosecond);
    }
    std::string pack(const std::vector<std::string>& kit, const std::string& name,
                     const std::vector<std::string>& extra = {}, const fs::path& app = {}) {
        std::vector<std::string> args = kit;
        args.insert(args.end(), extra.begin(), extra.end());
        put_main_binary((app.empty() ? dir_ / "app" : app) / "main.bin", kit[1]);
        const fs::path output = dir_ / name;
        for (const std::string& arg :
             {std::string("--quiet"), std::string("--level"), std::string("3"), std::string("-o"), output.string(),
              (app.empty() ? dir_ / "app" : app).string(), std::string("main.bin")}) {
            args.push_back(arg);
        }
        std::string err;
        EXPECT_EQ(run_cli(args, nullptr, &err), 0) << err;
        return read(output);
    }

    // The packer takes only a main binary built for the kit's target: the one for it replaces the
    // other, keeping the time the test gave the file.
    static void put_main_binary(const fs::path& path, const std::string& target) {
        const std::string image = main_binary_image(target, 3000, 5);
        if (read(path) == image) return;
        onefile::pack::FileStatus status;
        ASSERT_TRUE(onefile::pack::host_status(path, true, status));
        write(path, image);
        set_times(path, status.modified);
    }

    // The table order: the main binary, then by stored name.
    const std::vector<std::string> names_ = {"main.bin", "a.py", "lib\\b.py", "lib\\c.dat", "lib\\d.txt"};
    const std::vector<FileTime> times_ = {kMain, kBefore1970, kOneNanosecond, kEpoch, kAfterEpoch};
    // As recorded: to 100 ns, what a Windows host sees of the same files.
    const std::vector<FileTime> recorded_ = {{kMain.seconds, 123456700}, kBefore1970, {0, 0}, kEpoch, kAfterEpoch};
    TempDir dir_;
    // Whatever the environment says, these tests decide about clamping.
    ScopedEnvironment no_epoch_{"SOURCE_DATE_EPOCH", std::nullopt};
};

TEST_F(PackedTimes, TheRecordRightBehindTheAttachedDataHoldsEveryTimeExactly) {
    for (const auto& kit : kit_arguments()) {
        SCOPED_TRACE(kit[1]);
        const std::string executable = pack(kit, kit[1]);
        const std::string record = record_behind_attached_data(executable);
        ASSERT_FALSE(record.empty()) << "no record right behind the attached data";
        // The magic, the size, one field: tag 1, its size, the count and 12 bytes a file.
        ASSERT_EQ(record.size(), 16u + 12 + 8 + 12 * names_.size());
        EXPECT_EQ(le64(record, 16) & 0xFFFFFFFFu, EXTRAS_TAG_FILE_TIMES);
        EXPECT_EQ(le64(record, 20), 8 + 12 * names_.size());

        const auto listing = onefile::pack::list_attached(dir_ / kit[1]);
        ASSERT_EQ(listing.entries.size(), names_.size());
        for (size_t i = 0; i < names_.size(); ++i) {
            EXPECT_EQ(listing.entries[i].name, std::u16string(names_[i].begin(), names_[i].end()));
        }
        const std::vector<FileTime> times = times_in_record(record);
        ASSERT_EQ(times.size(), recorded_.size());
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(times[i].seconds, recorded_[i].seconds) << names_[i];
            EXPECT_EQ(times[i].nanoseconds, recorded_[i].nanoseconds) << names_[i];
        }
        std::string out;
        EXPECT_EQ(run_cli({"--verify", (dir_ / kit[1]).string()}, &out), 0);
        EXPECT_TRUE(out.ends_with(", file times recorded\n")) << out;
    }
}

TEST_F(PackedTimes, SourceDateEpochClampsTheLaterTimesToItself) {
    for (const auto& kit : kit_arguments()) {
        SCOPED_TRACE(kit[1]);
        std::string executable;
        {
            ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
            executable = pack(kit, kit[1]);
        }
        EXPECT_EQ(getenv("SOURCE_DATE_EPOCH"), nullptr) << "the test's environment was not restored";
        // Later times become the epoch, nanoseconds and all; the epoch itself and earlier ones stay.
        const std::vector<FileTime> expected = {kEpoch, kBefore1970, {0, 0}, kEpoch, kEpoch};
        EXPECT_EQ(times_in_record(record_behind_attached_data(executable)), expected);
    }
    // The files themselves are left alone.
    struct stat info {};
    ASSERT_EQ(stat((dir_ / "app/main.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_nsec, 123456789);
}

TEST_F(PackedTimes, AMalformedSourceDateEpochIsRefusedAndAnEmptyOneIgnored) {
    const fs::path output = dir_ / "out";
    for (const char* value : {"1700000000.5", "17e8", " 1700000000", "+1700000000", "noon", "99999999999999999999"}) {
        SCOPED_TRACE(value);
        ScopedEnvironment epoch("SOURCE_DATE_EPOCH", value);
        std::string err;
        EXPECT_EQ(
            run_cli({"--target", "linux", "-o", output.string(), (dir_ / "app").string(), "main.bin"}, nullptr, &err),
            2);
        EXPECT_EQ(err, std::string("onefile-pack: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, "
                                   "not '") +
                           value + "'\n");
        EXPECT_FALSE(fs::exists(output));
    }
    {
        // A negative epoch is a time like any other: every time here but one lies after it.
        ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "-315360001");
        const std::vector<FileTime> expected(5, FileTime{-315360001, 0});
        EXPECT_EQ(times_in_record(record_behind_attached_data(pack({"--target", "linux"}, "negative"))), expected);
    }
    ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "");
    EXPECT_EQ(times_in_record(record_behind_attached_data(pack({"--target", "linux"}, "empty"))), recorded_);
}

TEST_F(PackedTimes, NoTimesAndRawAttachedDataLinkNoRecord) {
    for (const auto& kit : kit_arguments()) {
        SCOPED_TRACE(kit[1]);
        EXPECT_EQ(record_behind_attached_data(pack(kit, kit[1] + "-no-times", {"--no-times"})), "");
        std::string out;
        ASSERT_EQ(run_cli({"--list", (dir_ / (kit[1] + "-no-times")).string()}, &out), 0);
        EXPECT_EQ(out, "main.bin\t3000\t0\na.py\t11\t0\nlib\\b.py\t11\t0\nlib\\c.dat\t5000\t0\nlib\\d.txt\t1\t4\n");
        ASSERT_EQ(run_cli({"--verify", (dir_ / (kit[1] + "-no-times")).string()}, &out), 0);
        EXPECT_EQ(out.find("file times"), std::string::npos) << out;

        // Attached data linked as it is: nothing is known of its files' times.
        const fs::path attached = dir_ / "attached.bin";
        std::string err;
        ASSERT_EQ(run_cli({"--quiet", "--attached-only", attached.string(), (dir_ / "app").string(), "main.bin"},
                          nullptr, &err),
                  0)
            << err;
        const fs::path raw = dir_ / (kit[1] + "-raw");
        std::vector<std::string> args = kit;
        for (const std::string& arg : {std::string("--quiet"), std::string("--raw-attached"), attached.string(),
                                       std::string("-o"), raw.string()}) {
            args.push_back(arg);
        }
        ASSERT_EQ(run_cli(args, nullptr, &err), 0) << err;
        EXPECT_EQ(record_behind_attached_data(read(raw)), "");
    }
}

TEST_F(PackedTimes, SameInputsAndEpochGiveIdenticalExecutablesWhateverTheTimesAfterIt) {
    // A copy whose files have other times than the original's, all after the epoch used below
    // where the original's are, and the same where they are not.
    fs::copy(dir_ / "app", dir_ / "copy", fs::copy_options::recursive);
    set_times(dir_ / "copy/main.bin", FileTime{1800000000, 5});
    set_times(dir_ / "copy/lib/c.dat", FileTime{1000000000, 1});
    set_times(dir_ / "copy/lib/d.txt", FileTime{1000000001, 0});
    set_times(dir_ / "copy/a.py", kBefore1970);
    set_times(dir_ / "copy/lib/b.py", kOneNanosecond);
    for (const auto& kit : kit_arguments()) {
        SCOPED_TRACE(kit[1]);
        // Without an epoch the times differ, and so do the executables: the times are in them.
        EXPECT_TRUE(pack(kit, "original") != pack(kit, "of-the-copy", {}, dir_ / "copy"));

        ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1000000000");
        const std::string original = pack(kit, "original-epoch");
        EXPECT_TRUE(pack(kit, "original-epoch-again") == original) << "the same inputs gave another executable";
        EXPECT_TRUE(pack(kit, "of-the-copy-epoch", {}, dir_ / "copy") == original)
            << "times after SOURCE_DATE_EPOCH made a difference";
    }
}

TEST_F(PackedTimes, AFileWhoseTimeChangesOnceListedIsRefused) {
    // Between the walk and the read.
    std::vector<onefile::pack::SourceFile> files =
        onefile::pack::collect_app_files(dir_ / "app", "main.bin", onefile::pack::Target::Linux);
    ASSERT_EQ(files[3].name, "lib\\c.dat");
    EXPECT_EQ(files[3].modified, kEpoch);
    set_times(dir_ / "app/lib/c.dat", FileTime{1700000000, 1});
    auto discard = [](const void*, size_t) {};
    onefile::pack::PackOptions before_read;
    uint64_t read_at_most = 0;
    before_read.progress = [&](uint64_t done, uint64_t) { read_at_most = done; };
    try {
        onefile::pack::write_attached_data(files, 3, discard, before_read);
        ADD_FAILURE() << "a changed time went unnoticed";
    } catch (const onefile::pack::PackError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "'" + (dir_ / "app/lib/c.dat").string() + "' changed while it was being packed");
    }
    // Noticed before a byte of it was read: only main.bin, a.py and lib/b.py were.
    EXPECT_EQ(read_at_most, 3000u + 11 + 11);

    // While it is read: the size stays, the time does not.
    files = onefile::pack::collect_app_files(dir_ / "app", "main.bin", onefile::pack::Target::Linux);
    onefile::pack::PackOptions options;
    options.chunk_size = 1000;
    bool touched = false;
    options.progress = [&](uint64_t done, uint64_t) {
        if (done > 0 && !touched) {  // the first 1000 bytes of main.bin are read
            touched = true;
            set_times(dir_ / "app/main.bin", FileTime{1796772885, 123456790});
        }
    };
    try {
        onefile::pack::write_attached_data(files, 3, discard, options);
        ADD_FAILURE() << "a time changed during the read went unnoticed";
    } catch (const onefile::pack::PackError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "'" + (dir_ / "app/main.bin").string() + "' changed while it was being packed");
    }
    EXPECT_TRUE(touched);
}

TEST(FileTimeText, IsIso8601InUtcForEveryYear) {
    using onefile::pack::format_file_time;
    EXPECT_EQ(format_file_time({0, 0}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(format_file_time({0, 1}), "1970-01-01T00:00:00.000000001Z");
    EXPECT_EQ(format_file_time({1796772885, 123456789}), "2026-12-08T23:34:45.123456789Z");
    EXPECT_EQ(format_file_time({1700000000, 0}), "2023-11-14T22:13:20Z");
    // Before 1970 the second of the day still counts forward from midnight.
    EXPECT_EQ(format_file_time({-1, 999999999}), "1969-12-31T23:59:59.999999999Z");
    EXPECT_EQ(format_file_time({-86400LL * 365 * 10, 500000000}), "1960-01-04T00:00:00.500000000Z");
    // Leap years: every fourth, not every hundredth, every four hundredth.
    EXPECT_EQ(format_file_time({951782400, 0}), "2000-02-29T00:00:00Z");
    EXPECT_EQ(format_file_time({-2203891200, 0}), "1900-03-01T00:00:00Z");
    EXPECT_EQ(format_file_time({-2203891201, 0}), "1900-02-28T23:59:59Z");
    EXPECT_EQ(format_file_time({253402300799, 0}), "9999-12-31T23:59:59Z");
    EXPECT_EQ(format_file_time({253402300800, 0}), "+10000-01-01T00:00:00Z");
    EXPECT_EQ(format_file_time({-62135596800, 0}), "0001-01-01T00:00:00Z");
    EXPECT_EQ(format_file_time({-62167219200, 0}), "0000-01-01T00:00:00Z");
    EXPECT_EQ(format_file_time({-62167219201, 0}), "-0001-12-31T23:59:59Z");
    // The extremes of the field still give a date.
    EXPECT_TRUE(format_file_time({INT64_MAX, 999999999}).ends_with(":07.999999999Z"));
    EXPECT_TRUE(format_file_time({INT64_MIN, 0}).starts_with("-"));
}

// --- a damaged record --------------------------------------------------------------------------------

class DamagedRecord : public PackedTimes {
protected:
    void SetUp() override {
        PackedTimes::SetUp();
        executable_ = pack({"--target", "linux"}, "intact");
        const auto bytes = std::span(reinterpret_cast<const unsigned char*>(executable_.data()), executable_.size());
        const auto listing = onefile::pack::locate_attached(bytes);
        ASSERT_TRUE(listing.has_value());
        record_at_ = listing->offset + listing->length;
        ASSERT_EQ(executable_.compare(record_at_, 8, "ONEFILEX"), 0);
    }
    // The executable with `record` written over its own, and what --verify and --list say of it.
    std::string verify_with(const std::string& record, std::string* list_err = nullptr) {
        std::string changed = executable_;
        changed.replace(record_at_, record.size(), record);
        write(dir_ / "changed", changed);
        std::string out, err;
        const int status = run_cli({"--verify", (dir_ / "changed").string()}, &out, &err);
        std::string listed_err;
        const int list_status = run_cli({"--list", (dir_ / "changed").string()}, &out, &listed_err);
        EXPECT_EQ(list_status, status) << listed_err;
        EXPECT_EQ(listed_err, err);
        if (list_err != nullptr) *list_err = listed_err;
        return status == 0 ? "" : err;
    }
    std::string record_of(const std::vector<FileTime>& times) {
        const auto bytes = onefile::pack::encode_file_times_record(times, std::nullopt);
        return std::string(bytes.begin(), bytes.end());
    }
    static void put_le(std::string& bytes, size_t at, uint64_t value, int size) {
        for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    }

    std::string executable_;
    size_t record_at_ = 0;
};

TEST_F(DamagedRecord, TheIntactRecordPasses) { EXPECT_EQ(verify_with(record_of(times_)), ""); }

TEST_F(DamagedRecord, TimesForAnotherNumberOfFilesAreRefused) {
    const std::vector<FileTime> four(times_.begin(), times_.begin() + 4);
    EXPECT_EQ(verify_with(record_of(four)),
              "onefile-pack: the record behind the attached data is damaged: it holds the times of 4 files, but the "
              "file table has 5\n");
}

TEST_F(DamagedRecord, ASizeRunningPastTheFileIsRefused) {
    std::string record = record_of(times_);
    const uint64_t past = executable_.size() - record_at_ + 1;
    put_le(record, 8, past, 8);
    EXPECT_EQ(verify_with(record), "onefile-pack: the record behind the attached data is damaged: its stated size, " +
                                       std::to_string(past) + " bytes, runs past the end of the file, " +
                                       std::to_string(past - 1) + " bytes behind the attached data\n");
    put_le(record, 8, 15, 8);
    EXPECT_NE(verify_with(record).find("its stated size, 15 bytes, is less than its own header"), std::string::npos);
}

TEST_F(DamagedRecord, AFieldRunningPastTheRecordIsRefused) {
    std::string record = record_of(times_);
    put_le(record, 20, 8 + 12 * 5 + 1, 8);
    EXPECT_EQ(verify_with(record),
              "onefile-pack: the record behind the attached data is damaged: the field at byte 16 (tag 1) is 69 bytes "
              "long, but only 68 bytes of the record follow its header\n");
}

TEST_F(DamagedRecord, ATimesFieldOfTheWrongSizeIsRefused) {
    // One byte more than its count needs, the record's size grown alike.
    std::string record = record_of(times_);
    record.resize(record.size() + 1);
    put_le(record, 8, record.size(), 8);
    put_le(record, 20, 8 + 12 * 5 + 1, 8);
    EXPECT_EQ(verify_with(record),
              "onefile-pack: the record behind the attached data is damaged: its file times field is 69 bytes long, "
              "which is not 8 bytes and 12 for each of the 5 times it counts\n");
}

TEST_F(DamagedRecord, LeftoverBytesTooFewForAFieldAreRefused) {
    std::string record = record_of(times_);
    record.resize(record.size() + 11);
    put_le(record, 8, record.size(), 8);
    EXPECT_EQ(verify_with(record),
              "onefile-pack: the record behind the attached data is damaged: its last 11 bytes are too few for a "
              "field\n");
}

TEST_F(DamagedRecord, ASecondTimesFieldIsRefused) {
    const std::string one = record_of(times_);
    std::string record = one + one.substr(16);
    put_le(record, 8, record.size(), 8);
    EXPECT_EQ(verify_with(record),
              "onefile-pack: the record behind the attached data is damaged: it holds the file times twice\n");
}

TEST_F(DamagedRecord, ASecondOrMoreOfNanosecondsIsRefused) {
    std::string record = record_of(times_);
    put_le(record, 16 + 12 + 8 + 12 * 2 + 8, 1000000000, 4);  // lib\b.py's nanoseconds
    EXPECT_EQ(verify_with(record),
              "onefile-pack: the record behind the attached data is damaged: the time of 'lib\\b.py' has 1000000000 "
              "nanoseconds, not fewer than 1000000000\n");
}

TEST_F(DamagedRecord, FieldsOfOtherTagsAreSkipped) {
    // A field of a tag this packer does not know, in front of the times: what a later packer may write.
    const std::string times = record_of(times_);
    std::string record = times.substr(0, 16) + std::string("\x63\0\0\0\x03\0\0\0\0\0\0\0xyz", 15) + times.substr(16);
    put_le(record, 8, record.size(), 8);
    EXPECT_EQ(verify_with(record), "");
    std::string out;
    ASSERT_EQ(run_cli({"--list", (dir_ / "changed").string()}, &out), 0);
    EXPECT_NE(out.find("main.bin\t3000\t0\t2026-12-08T23:34:45.123456700Z\n"), std::string::npos) << out;

    // And a record of such fields alone holds no times: the listing has none to show.
    record = times.substr(0, 16) + std::string("\x63\0\0\0\x03\0\0\0\0\0\0\0xyz", 15);
    put_le(record, 8, record.size(), 8);
    EXPECT_EQ(verify_with(record), "");
    ASSERT_EQ(run_cli({"--list", (dir_ / "changed").string()}, &out), 0);
    EXPECT_EQ(out.find('Z'), std::string::npos) << out;
}

// --- symbolic links -----------------------------------------------------------------------------------

// What the attached data holds: each entry's name, contents and flags, in table order.
struct Unpacked {
    std::string name;
    std::string content;
    uint32_t flags;
    bool operator==(const Unpacked&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Unpacked& entry) {
    return out << "{" << entry.name << ", " << entry.content.size() << " bytes, flags " << entry.flags << "}";
}

std::vector<Unpacked> unpack(const std::string& attached) {
    const auto entries = read_with_launcher(attached);
    const std::string stream = decompress_stream(attached);
    std::vector<Unpacked> out;
    size_t at = 0;
    for (const Parsed& entry : entries) {
        out.push_back({entry.name, stream.substr(at, entry.size), entry.flags & ~ENTRY_FLAG_LAST});
        at += entry.size;
    }
    EXPECT_EQ(at, stream.size());
    return out;
}

// A test's directory: the application in "app", and "outside" beside it for what links may reach.
struct LinkCase {
    const char* label;
    void (*prepare)(const fs::path& app, const fs::path& outside);
    std::vector<std::string> options;
    // Packed: the entries after main.bin, in table order. Refused: empty.
    std::vector<Unpacked> entries;
    // Refused: text the message holds ("APP" and "OUTSIDE" stand for the two directories).
    std::string message = "";
    const char* target = "linux";
};

void PrintTo(const LinkCase& param, std::ostream* out) { *out << param.label; }

class SymbolicLinks : public ::testing::TestWithParam<LinkCase> {};

TEST_P(SymbolicLinks, AreCopiedInsideAndRefusedWhereTheyCannotBe) {
    const LinkCase& param = GetParam();
    TempDir dir;
    const fs::path app = dir / "app";
    const fs::path outside = dir / "outside";
    const std::string main = main_binary_image(param.target);
    write(app / "main.bin", main);
    fs::create_directories(outside);
    param.prepare(app, outside);

    const fs::path output = dir / "out.bin";
    std::vector<std::string> args = {"--quiet", "--target", param.target};
    args.insert(args.end(), param.options.begin(), param.options.end());
    args.insert(args.end(), {"--attached-only", output.string(), app.string(), "main.bin"});
    std::string err;
    const int status = run_cli(args, nullptr, &err);
    if (!param.message.empty()) {
        EXPECT_EQ(status, 2) << err;
        std::string message = param.message;
        for (const auto& [word, path] : {std::pair{"APP", app}, std::pair{"OUTSIDE", outside}}) {
            for (size_t at = message.find(word); at != std::string::npos; at = message.find(word)) {
                message.replace(at, std::string(word).size(), path.string());
            }
        }
        EXPECT_NE(err.find(message), std::string::npos) << err;
        EXPECT_EQ(err.rfind("onefile-pack: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_FALSE(fs::exists(output));
        return;
    }
    ASSERT_EQ(status, 0) << err;
    std::vector<Unpacked> expected = {{"main.bin", main, 0}};
    expected.insert(expected.end(), param.entries.begin(), param.entries.end());
    EXPECT_EQ(unpack(read(output)), expected);
}

void link_to_file(const fs::path& app, const fs::path&) {
    write(app / "lib/real.txt", "real contents");
    fs::permissions(app / "lib/real.txt", fs::perms::owner_all);
    fs::create_symlink("lib/real.txt", app / "link.txt");
}
void link_to_directory(const fs::path& app, const fs::path&) {
    write(app / "data/a.txt", "a");
    write(app / "data/sub/b.txt", "b");
    fs::create_directory_symlink("data", app / "alias");
}
void chain_of_links(const fs::path& app, const fs::path&) {
    write(app / "real.txt", "at the end of the chain");
    fs::create_symlink("second", app / "first");
    fs::create_symlink("sub/../real.txt", app / "second");
    fs::create_directories(app / "sub");
}
void link_outside(const fs::path& app, const fs::path& outside) {
    write(outside / "secret.txt", "from outside");
    fs::create_symlink("../outside/secret.txt", app / "out.txt");
}
void chain_leading_outside(const fs::path& app, const fs::path& outside) {
    write(outside / "secret.txt", "from outside");
    fs::create_symlink("z.txt", app / "a.txt");
    fs::create_symlink(outside / "secret.txt", app / "z.txt");
}
void chain_leading_back_inside(const fs::path& app, const fs::path& outside) {
    write(app / "real.txt", "back inside");
    fs::create_symlink(outside / "hop", app / "a.txt");
    fs::create_symlink(app / "real.txt", outside / "hop");
}
void directory_link_outside(const fs::path& app, const fs::path& outside) {
    write(outside / "tree/x.txt", "x");
    fs::create_directory_symlink(outside / "tree", app / "ext");
}
void dangling_link(const fs::path& app, const fs::path&) { fs::create_symlink("nothing.txt", app / "gone"); }
void link_to_ancestor(const fs::path& app, const fs::path&) {
    write(app / "sub/file.txt", "f");
    fs::create_directory_symlink("..", app / "sub/up");
}
void link_to_application_directory(const fs::path& app, const fs::path&) {
    fs::create_directory_symlink(app, app / "self");
}
void links_in_a_ring(const fs::path& app, const fs::path&) {
    fs::create_symlink("ring2", app / "ring1");
    fs::create_symlink("ring1", app / "ring2");
}
void loop_outside(const fs::path& app, const fs::path& outside) {
    write(outside / "tree/x.txt", "x");
    fs::create_directory_symlink("../tree", outside / "tree/back");
    fs::create_directory_symlink(outside / "tree", app / "ext");
}
void link_to_device(const fs::path& app, const fs::path&) { fs::create_symlink("/dev/null", app / "null"); }
void library_layout(const fs::path& app, const fs::path&) {
    write(app / "lib/libfoo.so.1.2.3", "the library");
    fs::permissions(app / "lib/libfoo.so.1.2.3", fs::perms::owner_all);
    fs::create_symlink("libfoo.so.1.2.3", app / "lib/libfoo.so.1");
    fs::create_symlink("libfoo.so.1", app / "lib/libfoo.so");
}
void case_clash_through_link(const fs::path& app, const fs::path&) {
    write(app / "Data/a.txt", "a");
    fs::create_directory_symlink("Data", app / "data");
}
void device_name_link(const fs::path& app, const fs::path&) { fs::create_symlink("main.bin", app / "aux.txt"); }
void file_case_clash_through_link(const fs::path& app, const fs::path&) {
    write(app / "README", "r");
    fs::create_symlink("README", app / "readme");
}

INSTANTIATE_TEST_SUITE_P(
    Packer, SymbolicLinks,
    ::testing::Values(
        LinkCase{"ToAFileInside", link_to_file, {}, {{"lib\\real.txt", "real contents", 1}, {"link.txt", "real contents", 1}}},
        LinkCase{"ToADirectoryInside",
                 link_to_directory,
                 {},
                 {{"alias\\a.txt", "a", 0}, {"alias\\sub\\b.txt", "b", 0}, {"data\\a.txt", "a", 0}, {"data\\sub\\b.txt", "b", 0}}},
        LinkCase{"ChainOfLinks",
                 chain_of_links,
                 {},
                 {{"first", "at the end of the chain", 0},
                  {"real.txt", "at the end of the chain", 0},
                  {"second", "at the end of the chain", 0}}},
        LinkCase{"ChainLeavingAndComingBack", chain_leading_back_inside, {}, {{"a.txt", "back inside", 0}, {"real.txt", "back inside", 0}}},
        LinkCase{"ToAFileOutside", link_outside, {}, {},
                 "'APP/out.txt' (a symbolic link to '../outside/secret.txt') leads to 'OUTSIDE/secret.txt', outside the "
                 "application directory; --follow-links copies it all the same\n"},
        LinkCase{"ToAFileOutsideFollowed", link_outside, {"--follow-links"}, {{"out.txt", "from outside", 0}}},
        LinkCase{"ChainLeadingOutside", chain_leading_outside, {}, {},
                 "'APP/a.txt' (a symbolic link to 'z.txt') leads to 'OUTSIDE/secret.txt', outside the application "
                 "directory"},
        LinkCase{"ChainLeadingOutsideFollowed",
                 chain_leading_outside,
                 {"--follow-links"},
                 {{"a.txt", "from outside", 0}, {"z.txt", "from outside", 0}}},
        LinkCase{"ToADirectoryOutside", directory_link_outside, {}, {}, "'APP/ext' (a symbolic link to 'OUTSIDE/tree') leads to"},
        LinkCase{"ToADirectoryOutsideFollowed", directory_link_outside, {"--follow-links"}, {{"ext\\x.txt", "x", 0}}},
        LinkCase{"Dangling", dangling_link, {}, {},
                 "'APP/gone' (a symbolic link to 'nothing.txt') is dangling: what it points to does not exist\n"},
        LinkCase{"DanglingFollowed", dangling_link, {"--follow-links"}, {}, "'APP/gone' (a symbolic link to 'nothing.txt') is dangling"},
        LinkCase{"ToAnAncestor", link_to_ancestor, {}, {},
                 "'APP/sub/up' (a symbolic link to '..') leads to a directory that contains it: copying it would never end\n"},
        LinkCase{"ToTheApplicationDirectory", link_to_application_directory, {}, {},
                 "'APP/self' (a symbolic link to 'APP') leads to a directory that contains it"},
        LinkCase{"RingOfLinks", links_in_a_ring, {}, {}, "'APP/ring1' (a symbolic link to 'ring2') never reaches a file"},
        LinkCase{"LoopOutsideFollowed", loop_outside, {"--follow-links"}, {},
                 "'APP/ext/back' (a symbolic link to '../tree') leads to a directory that contains it"},
        LinkCase{"ToADevice", link_to_device, {"--follow-links"}, {},
                 "'APP/null' (a symbolic link to '/dev/null') leads to '/dev/null', which is not a regular file or directory"},
        LinkCase{"LibraryLayout",
                 library_layout,
                 {},
                 {{"lib\\libfoo.so", "the library", 1}, {"lib\\libfoo.so.1", "the library", 1}, {"lib\\libfoo.so.1.2.3", "the library", 1}}},
        LinkCase{"CaseClashThroughALinkForWindows", case_clash_through_link, {}, {},
                 "'Data' and 'data' differ only in case", "windows"},
        LinkCase{"FileCaseClashThroughALinkForWindows", file_case_clash_through_link, {}, {},
                 "'README' and 'readme' differ only in case", "windows"},
        LinkCase{"WindowsDeviceNameOfALink", device_name_link, {}, {},
                 "the name of 'APP/aux.txt' cannot be used on Windows: it is a reserved device name", "windows"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SymbolicLinks, ALinkedFileTakesItsTargetsSizePermissionsAndTime) {
    TempDir dir;
    write(dir / "app/main.bin", main_binary_image("linux"));
    library_layout(dir / "app", dir.path());
    fs::permissions(dir / "app/lib/libfoo.so.1.2.3", fs::perms::owner_read | fs::perms::owner_exec);
    const timespec times[2] = {{1234567890, 0}, {1600000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "app/lib/libfoo.so.1.2.3").c_str(), times, 0), 0);
    // The links' own times differ from the target's; the packer must not take them.
    const timespec link_times[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "app/lib/libfoo.so").c_str(), link_times, AT_SYMLINK_NOFOLLOW), 0);

    const auto files = onefile::pack::collect_app_files(dir / "app", "main.bin", onefile::pack::Target::Linux);
    ASSERT_EQ(files.size(), 4u);
    for (size_t i = 1; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].name);
        EXPECT_EQ(files[i].size, 11u);
        EXPECT_TRUE(files[i].executable);
        EXPECT_EQ(files[i].modified.seconds, 1600000000);
        EXPECT_EQ(files[i].modified.nanoseconds, 123456789u);
        EXPECT_EQ(read(files[i].path), "the library");
    }
    EXPECT_EQ(files[1].name, "lib\\libfoo.so");
}

TEST(SymbolicLinks, TheMainBinaryMayBeALink) {
    TempDir dir;
    const std::string main = main_binary_image("linux");
    write(dir / "app/main.so.1", main);
    fs::create_symlink("main.so.1", dir / "app/main.so");
    const fs::path output = dir / "out.bin";
    std::string err;
    // No --target: the main binary's own, read through the link.
    ASSERT_EQ(run_cli({"--quiet", "--attached-only", output.string(), (dir / "app").string(), "main.so"}, nullptr, &err),
              0)
        << err;
    const std::vector<Unpacked> expected = {{"main.so", main, 0}, {"main.so.1", main, 0}};
    EXPECT_EQ(unpack(read(output)), expected);
    // The main binary's check reads it through the link too: a Linux library is no Windows main binary.
    EXPECT_EQ(run_cli({"--quiet", "--target", "windows", "--attached-only", (dir / "other.bin").string(),
                       (dir / "app").string(), "main.so"},
                      nullptr, &err),
              2);
    EXPECT_NE(err.find("is a Linux (ELF) file, but --target windows was given"), std::string::npos) << err;
}

TEST(SymbolicLinks, FollowLinksIsOnlyForPacking) {
    std::string err;
    EXPECT_EQ(run_cli({"--follow-links", "--list", "x"}, nullptr, &err), 1);
    EXPECT_NE(err.find("--follow-links is not used with --list"), std::string::npos) << err;
}

// --exec: what would not run as the program, or would collide with the files --exec adds, is
// refused before anything is written.
struct ExecRefusal {
    const char* label;
    std::string program;
    void (*prepare)(const fs::path& app);
    const char* target;
    // Text the message must hold ("APP" stands for the application directory).
    std::string message;
};
void PrintTo(const ExecRefusal& refusal, std::ostream* out) { *out << refusal.label; }

class ExecRefusals : public ::testing::TestWithParam<ExecRefusal> {};

TEST_P(ExecRefusals, ExitWithAClearMessageAndWriteNothing) {
    TempDir dir;
    write(dir / "app/bin/prog", "program");
    chmod((dir / "app/bin/prog").c_str(), 0755);
    write(dir / "outside", "not in the application");
    chmod((dir / "outside").c_str(), 0755);
    GetParam().prepare(dir / "app");
    std::string out, err;
    const fs::path output = dir / "out.bin";
    const int status = run_cli({"--target", GetParam().target, "--exec", "--attached-only", output.string(),
                                (dir / "app").string(), GetParam().program},
                               &out, &err);
    EXPECT_EQ(status, 2) << err;
    std::string message = GetParam().message;
    if (const size_t app = message.find("APP"); app != std::string::npos) {
        message.replace(app, 3, (dir / "app").string());
    }
    EXPECT_EQ(err.rfind("onefile-pack: ", 0), 0u) << err;
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(fs::exists(output));
}

void add_exec_main_linux(const fs::path& app) { write(app / "onefile_exec_main.so", "mine"); }
void add_exec_main_windows_upper(const fs::path& app) { write(app / "ONEFILE_EXEC_MAIN.DLL", "mine"); }
void add_program_file(const fs::path& app) { write(app / "onefile_exec_program.txt", "mine"); }
void add_program_file_directory(const fs::path& app) { write(app / "onefile_exec_program.txt" / "x", "mine"); }
void make_program_plain(const fs::path& app) { chmod((app / "bin/prog").c_str(), 0644); }
void add_program_link(const fs::path& app) { fs::create_symlink("prog", app / "bin/link"); }

INSTANTIATE_TEST_SUITE_P(
    Packer, ExecRefusals,
    ::testing::Values(
        ExecRefusal{"MissingProgram", "bin/absent", nothing, "linux", "the program 'APP/bin/absent' does not exist\n"},
        ExecRefusal{"ProgramOutsideTheDirectory", "../outside", nothing, "linux",
                    "the program '../outside' is not inside the application directory 'APP'"},
        ExecRefusal{"ProgramLeavingThroughASubdirectory", "bin/../../outside", nothing, "windows",
                    "the program 'bin/../../outside' is not inside the application directory 'APP'"},
        ExecRefusal{"AbsoluteProgram", "/bin/sh", nothing, "linux",
                    "the program '/bin/sh' is not inside the application directory 'APP'"},
        ExecRefusal{"DriveProgram", "C:\\prog.exe", nothing, "windows",
                    "the program 'C:\\prog.exe' is not inside the application directory 'APP'"},
        ExecRefusal{"ProgramIsADirectory", "bin", nothing, "linux", "the program 'APP/bin' is a directory"},
        ExecRefusal{"ProgramIsTheDirectoryItself", ".", nothing, "windows", "the program '.' does not name a file"},
        ExecRefusal{"ProgramIsALink", "bin/link", add_program_link, "linux",
                    "the program 'APP/bin/link' is a symbolic link"},
        ExecRefusal{"ProgramNotExecutableForLinux", "bin/prog", make_program_plain, "linux",
                    "the program 'APP/bin/prog' is not executable"},
        ExecRefusal{"ReservedMainBinaryName", "bin/prog", add_exec_main_linux, "linux",
                    "the application directory already holds 'APP/onefile_exec_main.so'"},
        ExecRefusal{"ReservedMainBinaryNameInAnotherCaseForWindows", "bin/prog", add_exec_main_windows_upper,
                    "windows", "the application directory already holds 'APP/ONEFILE_EXEC_MAIN.DLL'"},
        ExecRefusal{"ReservedProgramFileName", "bin/prog", add_program_file, "windows",
                    "the application directory already holds 'APP/onefile_exec_program.txt'"},
        ExecRefusal{"ReservedNameAsADirectory", "bin/prog", add_program_file_directory, "linux",
                    "the application directory already holds 'APP/onefile_exec_program.txt'"}),
    [](const auto& info) { return std::string(info.param.label); });

// A program that is not executable is still packed for Windows, where no such bit exists; and what
// is packed is the kit's exec main binary first, the application as it is, and the program's name.
TEST(ExecPack, PutsTheExecMainBinaryFirstAndNamesTheProgramBesideIt) {
    TempDir dir;
    write(dir / "app/bin/prog", "program bytes");
    chmod((dir / "app/bin/prog").c_str(), 0755);
    write(dir / "app/data.txt", "data");
    write(dir / "app/z/last.txt", "last");
    const fs::path output = dir / "attached.bin";
    std::string err;
    ASSERT_EQ(run_cli({"--target", "linux", "--exec", "--attached-only", output.string(), (dir / "app").string(),
                       "./bin//prog"},
                      nullptr, &err),
              0)
        << err;
    const std::string attached = read(output);
    const std::vector<Parsed> entries = read_with_launcher(attached);
    std::vector<std::string> names;
    for (const Parsed& entry : entries) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"onefile_exec_main.so", "bin\\prog", "data.txt",
                                               "onefile_exec_program.txt", "z\\last.txt"}));
    const std::string contents = decompress_stream(attached);
    // The program file is the fourth entry: its bytes sit behind the three before it.
    uint64_t offset = 0;
    for (size_t i = 0; i < 3; ++i) offset += entries[i].size;
    EXPECT_EQ(contents.substr(offset, entries[3].size), "bin\\prog\n");
    // The program keeps its execute bit; the exec main binary is the kit's own file.
    EXPECT_NE(entries[1].flags & 1u, 0u);
    EXPECT_GT(entries[0].size, 1000u);
    EXPECT_EQ(contents.substr(entries[0].size, entries[1].size), "program bytes");
}

// The program file is written anew for every pack; it carries the program's time, not the time
// of the pack, so the executable stays the same.
TEST(ExecPack, SameInputsGiveIdenticalExecutables) {
    TempDir dir;
    write(dir / "app/bin/prog", "program bytes");
    chmod((dir / "app/bin/prog").c_str(), 0755);
    std::string err;
    for (const char* name : {"first", "second"}) {
        ASSERT_EQ(run_cli({"--target", "linux", "--quiet", "-o", (dir / name).string(), "--exec",
                           (dir / "app").string(), "bin/prog"},
                          nullptr, &err),
                  0)
            << err;
    }
    const std::string first = read(dir / "first");
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(first == read(dir / "second")) << "the two executables differ";
}

TEST(PackerCommandLine, UsageErrorsExitWithOne) {
    std::string err;
    EXPECT_EQ(run_cli({"--level", "99", "--attached-only", "x", "app", "main"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"--target", "beos", "-o", "x", "app", "main"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"-o", "x", "app"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"--no-such-option"}, nullptr, &err), 1) << err;
    EXPECT_EQ(run_cli({"--exec", "-o", "x", "app"}, nullptr, &err), 1) << err;
    EXPECT_NE(err.find("expected APP_DIR and PROGRAM"), std::string::npos) << err;
    EXPECT_EQ(run_cli({"--exec", "--list", "x"}, nullptr, &err), 1) << err;
    EXPECT_NE(err.find("--exec is not used with --list"), std::string::npos) << err;
    EXPECT_EQ(run_cli({"--exec=yes", "-o", "x", "app", "prog"}, nullptr, &err), 1) << err;
    std::string out;
    EXPECT_EQ(run_cli({"--version"}, &out), 0);
    EXPECT_EQ(out.rfind("onefile-pack ", 0), 0u) << out;
}

}  // namespace

// ---- frames of whole files --------------------------------------------------------------------------

namespace {

struct FramePlanCase {
    const char* what;
    std::vector<uint64_t> sizes;
    size_t frames;
    std::vector<size_t> starts;
};

class FramePlans : public ::testing::TestWithParam<FramePlanCase> {};

constexpr uint64_t MiB = uint64_t{1} << 20;

TEST_P(FramePlans, HoldWholeFilesAndStartAtAFileWithContent) {
    const FramePlanCase& c = GetParam();
    EXPECT_EQ(onefile::pack::plan_frames(c.sizes, c.frames), c.starts);
}

INSTANTIATE_TEST_SUITE_P(
    Packer, FramePlans,
    ::testing::Values(
        FramePlanCase{"auto keeps a small application in one frame", {5 * MiB, 20 * MiB, 6 * MiB}, 0, {0}},
        FramePlanCase{
            "auto cuts a large one into frames of about 16 MiB", {10 * MiB, 10 * MiB, 10 * MiB, 10 * MiB}, 0, {0, 2}},
        FramePlanCase{"a file larger than the target gets a frame of its own",
                      {1 * MiB, 40 * MiB, 1 * MiB, 1 * MiB},
                      0,
                      {0, 1, 2}},
        FramePlanCase{"one frame on request", {40 * MiB, 40 * MiB}, 1, {0}},
        FramePlanCase{"N frames of about a N-th each", {10, 10, 10, 10, 10, 10}, 3, {0, 2, 4}},
        FramePlanCase{"never more frames than asked for", {10, 10, 10, 10, 10, 10, 10}, 2, {0, 4}},
        FramePlanCase{"empty files never begin a frame", {10, 0, 0, 10, 0}, 5, {0, 3}},
        FramePlanCase{"no content at all is one frame", {0, 0}, 4, {0}},
        FramePlanCase{"no files is one frame", {}, 4, {0}}),
    [](const ::testing::TestParamInfo<FramePlanCase>& info) { return "case" + std::to_string(info.index); });

// The frames of a compressed stream, as a decoder walks them: each one's compressed size and
// header.
std::vector<std::pair<size_t, ZSTD_frameHeader>> frames_of(const char* stream, size_t size) {
    std::vector<std::pair<size_t, ZSTD_frameHeader>> frames;
    size_t offset = 0;
    while (offset < size) {
        ZSTD_frameHeader header{};
        EXPECT_EQ(ZSTD_getFrameHeader(&header, stream + offset, size - offset), 0u);
        const size_t length = ZSTD_findFrameCompressedSize(stream + offset, size - offset);
        EXPECT_FALSE(ZSTD_isError(length));
        if (ZSTD_isError(length)) break;
        frames.emplace_back(length, header);
        offset += length;
    }
    return frames;
}

}  // namespace

TEST_F(PackedApplication, FramesOfSeveralHoldWholeFilesWithTheirSizeAndASmallWindow) {
    onefile::pack::PackOptions options;
    options.frames = 3;
    const fs::path out = dir_ / "framed.bin";
    const onefile::pack::PackSummary summary =
        onefile::pack::write_attached_data(dir_ / "app", "main.bin", 3, out, options);
    const std::string attached = read(out);
    const auto entries = read_with_launcher(attached);
    ASSERT_EQ(entries.size(), 5u);
    // 5000, 49, 32769, 0, 100000 bytes: a third of the whole is about 45939 bytes, so the first
    // frame ends after the 32769-byte file and the last holds the empty file and the 100000.
    const auto frames = frames_of(reinterpret_cast<const char*>(compressed_stream_start()), compressed_stream_size());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(summary.frame_count, 2u);
    EXPECT_EQ(frames[0].second.frameContentSize, entries[0].size + entries[1].size + entries[2].size);
    EXPECT_EQ(frames[1].second.frameContentSize, entries[3].size + entries[4].size);
    for (const auto& [length, header] : frames) {
        EXPECT_EQ(header.checksumFlag, 1u);
        EXPECT_EQ(header.dictID, 0u);
        // No larger than the smallest window the packer gives a frame of several, which holds
        // each of these frames whole.
        EXPECT_LE(header.windowSize, uint64_t{1} << onefile::pack::MIN_FRAME_WINDOW_LOG);
        EXPECT_GE(header.windowSize, header.frameContentSize);
    }
    std::string expected;
    for (const auto& entry : entries) {
        std::string name = entry.name;
        std::replace(name.begin(), name.end(), '\\', '/');
        expected += read(dir_ / ("app/" + name));
    }
    // Frames back to back are one stream to a decoder that reads them in order.
    EXPECT_EQ(decompress_stream(attached), expected);
    std::string report;
    EXPECT_EQ(run_cli({"--verify", out.string()}, &report), 0);
    EXPECT_NE(report.find("in 2 frames, content checksum matches"), std::string::npos) << report;
}

TEST_F(PackedApplication, AFrameOfSeveralGetsTheWindowItsContentNeeds) {
    write(dir_ / "app/big.bin", random_bytes(3 * MiB + 5, 7));
    onefile::pack::PackOptions options;
    options.frames = 2;
    const fs::path out = dir_ / "framed.bin";
    onefile::pack::write_attached_data(dir_ / "app", "main.bin", 1, out, options);
    const std::string attached = read(out);
    const auto entries = read_with_launcher(attached);
    const auto frames = frames_of(reinterpret_cast<const char*>(compressed_stream_start()), compressed_stream_size());
    ASSERT_EQ(frames.size(), 2u);
    // main.bin and a.txt, then big.bin, which fills a frame alone, with the rest: just over
    // 3 MiB, so at most a 4 MiB window (the library may take the content size itself), not the
    // 128 MiB of a single frame.
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[2].name, "big.bin");
    EXPECT_EQ(frames[0].second.frameContentSize, entries[0].size + entries[1].size);
    const uint64_t second = entries[2].size + entries[3].size + entries[4].size + entries[5].size;
    EXPECT_EQ(frames[1].second.frameContentSize, second);
    EXPECT_LE(frames[1].second.windowSize, 4 * MiB);
    EXPECT_GE(frames[1].second.windowSize, second);
}

TEST_F(PackedApplication, OneFrameOnRequestIsWhatAutoWritesForASmallApplication) {
    const std::string automatic = pack_attached();
    onefile::pack::PackOptions options;
    options.frames = 1;
    onefile::pack::write_attached_data(dir_ / "app", "main.bin", 3, dir_ / "one.bin", options);
    EXPECT_EQ(read(dir_ / "one.bin"), automatic);
    options.frames = 4;
    onefile::pack::write_attached_data(dir_ / "app", "main.bin", 3, dir_ / "four.bin", options);
    EXPECT_NE(read(dir_ / "four.bin"), automatic);
}

TEST(PackerCommandLine, FramesTakeAutoOrACount) {
    TempDir dir;
    write(dir / "app/main.bin", main_binary_image("linux"));
    write(dir / "app/data.bin", random_bytes(3000, 4));
    const std::string out = (dir / "out.bin").string();
    std::string report;
    ASSERT_EQ(run_cli({"--frames", "2", "--attached-only", out, (dir / "app").string(), "main.bin"}), 0);
    ASSERT_EQ(run_cli({"--verify", out}, &report), 0);
    EXPECT_NE(report.find(" in 2 frames"), std::string::npos) << report;
    ASSERT_EQ(run_cli({"--frames=auto", "--attached-only", out, (dir / "app").string(), "main.bin"}), 0);
    ASSERT_EQ(run_cli({"--verify", out}, &report), 0);
    EXPECT_NE(report.find(" in 1 frame,"), std::string::npos) << report;
    for (const char* bad : {"0", "-1", "two", "2x", ""}) {
        std::string err;
        EXPECT_EQ(run_cli({"--frames", bad, "--attached-only", out, (dir / "app").string(), "main.bin"}, nullptr, &err),
                  1)
            << bad;
        EXPECT_NE(err.find("--frames takes auto or a number"), std::string::npos) << err;
    }
}

// ---- the launcher reads what the packer writes --------------------------------------------------------

namespace {

// Confines the process to `count` of the processors it may run on, for as long as it lives; the
// launcher sizes its extraction by that.
class ProcessorLimit {
public:
    explicit ProcessorLimit(int count) {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t limited;
        CPU_ZERO(&limited);
        int kept = 0;
        for (int cpu = 0; cpu < CPU_SETSIZE && kept < count; ++cpu) {
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &limited);
                ++kept;
            }
        }
        sched_setaffinity(0, sizeof limited, &limited);
    }
    ~ProcessorLimit() { sched_setaffinity(0, sizeof saved_, &saved_); }
    ProcessorLimit(const ProcessorLimit&) = delete;
    ProcessorLimit& operator=(const ProcessorLimit&) = delete;

private:
    cpu_set_t saved_;
};

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

TEST_F(PackedApplication, TheLaunchersSequentialAndParallelReadersExtractEveryFrameCount) {
    write(dir_ / "app/big.bin", random_bytes(300000, 8));
    write(dir_ / "app/sub/text.txt", std::string(200000, 't') + "end");
    for (const size_t frames : {size_t{1}, size_t{2}, size_t{5}}) {
        onefile::pack::PackOptions options;
        options.frames = frames;
        const fs::path out = dir_ / ("frames-" + std::to_string(frames) + ".bin");
        const onefile::pack::PackSummary summary =
            onefile::pack::write_attached_data(dir_ / "app", "main.bin", 3, out, options);
        EXPECT_EQ(summary.frame_count, frames);
        const std::string attached = read(out);
        // One processor: the sequential reader, which knows nothing of frames, reads them in order.
        // Two: a worker per frame where there are several.
        for (const int processors : {1, 2}) {
            SCOPED_TRACE(std::to_string(frames) + " frames, " + std::to_string(processors) + " processors");
            const ProcessorLimit limit(processors);
            const fs::path target = dir_ / ("target-" + std::to_string(frames) + "-" + std::to_string(processors));
            wcscpy(g_state.target_directory, widen(target.string()).c_str());
            g_state.main_binary_path[0] = L'\0';
            set_attached_data(reinterpret_cast<const uint8_t*>(attached.data()), attached.size());
            validate_attached_data_header();
            extract_attached_data(Role::Parent);
            for (const char* name :
                 {"main.bin", "a.txt", "big.bin", "sub/text.txt", "sub/empty", "zeta.txt", "sub/deeper/chunk.bin"}) {
                EXPECT_EQ(read(target / name), read(dir_ / "app" / name)) << name;
            }
            EXPECT_EQ(g_state.main_binary_path, widen((target / "main.bin").string()));
            platform_unmark_target_directory();
        }
    }
}
