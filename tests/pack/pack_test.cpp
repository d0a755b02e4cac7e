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

#include "attached_reader.h"
#include "attached_writer.h"
#include "file_table.h"
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
    static const char* const vocabulary[] = {"launcher", "packer", "frame", "block", "window", "table", "entry",
                                             "name", "size", "stream", "the", "a", "of", "and", "to", "checksum",
                                             "file", "directory", "extract", "verify", "byte", "offset", "zstd"};
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
        {"main.bin", random_bytes(5000, 21)},     {"a-words.txt", words(150000, 22)},
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
