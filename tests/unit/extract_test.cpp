// Extraction in-process: real Zstandard streams unpacked into fresh target directories, streams
// that end short or are corrupt, window boundaries, the child role, and names that would leave the
// target directory.
#include <gtest/gtest.h>

// For ZSTD_frameHeaderSize; the library is linked statically.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/state.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/extract.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using unit::AppFile;
using unit::encode_entry;
using unit::make_application;
using unit::make_blob;
using unit::noise;
using unit::read_file;

const std::wstring S(1, PATH_SEPARATOR);

// Compressible text in which every line is different, so a byte out of place shows.
std::string text(size_t size, size_t first_line = 0) {
    std::string out;
    char line[64];
    for (size_t n = first_line; out.size() < size; ++n) {
        snprintf(line, sizeof line, "line %08zu: the quick brown fox jumps\n", n);
        out += line;
    }
    out.resize(size);
    return out;
}

std::vector<uint8_t> table_of(const std::vector<std::pair<std::u16string, uint64_t>>& files) {
    std::vector<uint8_t> table;
    for (size_t i = 0; i < files.size(); ++i) {
        const auto entry = encode_entry(i + 1 == files.size() ? ENTRY_FLAG_LAST : 0, files[i].second, files[i].first);
        table.insert(table.end(), entry.begin(), entry.end());
    }
    return table;
}

// One frame whose blocks end at each of `block_ends` (a flush ends the block). With `finish` the
// rest of the content follows and the frame is ended; without it the stream stops right after
// the last flushed block, in the middle of the frame.
std::vector<uint8_t> frame_with_block_ends(const std::string& content, const std::vector<size_t>& block_ends,
                                           bool finish) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
    std::vector<uint8_t> out(ZSTD_compressBound(content.size()) + 1024);
    ZSTD_outBuffer output{out.data(), out.size(), 0};
    size_t start = 0;
    for (size_t end : block_ends) {
        ZSTD_inBuffer input{content.data() + start, end - start, 0};
        size_t remaining;
        do {
            remaining = ZSTD_compressStream2(context, &output, &input, ZSTD_e_flush);
            EXPECT_FALSE(ZSTD_isError(remaining));
        } while (remaining != 0 && !ZSTD_isError(remaining));
        start = end;
    }
    if (finish) {
        ZSTD_inBuffer input{content.data() + start, content.size() - start, 0};
        size_t remaining;
        do {
            remaining = ZSTD_compressStream2(context, &output, &input, ZSTD_e_end);
            EXPECT_FALSE(ZSTD_isError(remaining));
        } while (remaining != 0 && !ZSTD_isError(remaining));
    }
    ZSTD_freeCCtx(context);
    out.resize(output.pos);
    return out;
}

// What a decoder with default parameters does with the stream when it is asked for one window
// after the other, as extraction asks it.
struct DecodeCall {
    size_t produced;
    size_t input_position;
    bool error;
};

std::vector<DecodeCall> decode_in_windows(const std::vector<uint8_t>& stream) {
    std::vector<DecodeCall> calls;
    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    ZSTD_inBuffer input{stream.data(), stream.size(), 0};
    std::vector<uint8_t> window(WINDOW_SIZE);
    for (int i = 0; i < 1000; ++i) {
        ZSTD_outBuffer output{window.data(), window.size(), 0};
        const size_t result = ZSTD_decompressStream(decoder, &output, &input);
        calls.push_back({output.pos, input.pos, ZSTD_isError(result) != 0});
        if (ZSTD_isError(result) || (output.pos == 0 && input.pos == input.size)) break;
    }
    ZSTD_freeDCtx(decoder);
    return calls;
}

// True when some call fills the whole window, has by then taken in the whole stream, and the
// decoder still gives output on the next call.
bool input_runs_out_while_output_is_held(const std::vector<uint8_t>& stream) {
    const std::vector<DecodeCall> calls = decode_in_windows(stream);
    for (size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i].produced == WINDOW_SIZE && calls[i].input_position == stream.size() && calls[i + 1].produced > 0) {
            return true;
        }
    }
    return false;
}

// Offset of the last block header of a single-frame stream.
size_t last_block_header(const std::vector<uint8_t>& frame) {
    size_t position = ZSTD_frameHeaderSize(frame.data(), frame.size());
    EXPECT_FALSE(ZSTD_isError(position));
    for (;;) {
        const uint32_t header = frame[position] | (frame[position + 1] << 8) | (frame[position + 2] << 16);
        const uint32_t type = (header >> 1) & 3;
        const uint32_t size = header >> 3;
        if ((header & 1) != 0) return position;
        position += 3 + (type == 1 ? 1 : size);
    }
}

class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        directory_cache_reset();
        g_state.main_binary_path[0] = L'\0';
        g_state.output_path[0] = L'\0';
        g_state.cleanup_armed.store(false);
    }

    // A target directory that does not exist yet (the Linux backend refuses one that does).
    fs::path use_target(const std::string& tag = "target") {
        const fs::path target = unit::test_path(tag);
        set_target(unit::wide(target));
        return target;
    }

    static void set_target(const std::wstring& target) {
        ASSERT_LT(target.size(), PATH_CAPACITY);
        wmemcpy(g_state.target_directory, target.c_str(), target.size() + 1);
    }

    static void extract(const std::vector<uint8_t>& blob, Role role = Role::Parent) {
        set_attached_data(blob.data(), blob.size());
        validate_attached_data_header();
        if (role == Role::Child) {
            // The child keeps the window and the decoder while the main binary runs; the next
            // extraction in this process drops them.
            unit::LeakCheckPause pause;
            extract_attached_data(role);
        } else {
            extract_attached_data(role);
        }
    }
};

// ---- files written --------------------------------------------------------------------------------------

TEST_F(Extraction, WritesEveryFileWithItsContent) {
    const fs::path target = use_target();
    const std::vector<AppFile> files = {
        {u"app.bin", noise(1000, 1), ENTRY_FLAG_BIT0},
        {u"sub\\dir\\data.txt", "hello"},
        {u"empty", ""},
        {u"chunk", noise(32768, 2)},
        {u"chunk_plus_one", noise(32769, 3)},
        {u"sub\\big", text(300000)},
        {u"caf\u00e9 \xD83D\xDE00.txt", "non-ASCII name"},
    };
    extract(make_application(files));

    EXPECT_EQ(std::wstring(g_state.main_binary_path), unit::wide(target / "app.bin"));
    EXPECT_EQ(read_file(target / "app.bin"), files[0].content);
    EXPECT_EQ(read_file(target / "sub" / "dir" / "data.txt"), "hello");
    EXPECT_EQ(read_file(target / "empty"), "");
    EXPECT_EQ(read_file(target / "chunk"), files[3].content);
    EXPECT_EQ(read_file(target / "chunk_plus_one"), files[4].content);
    EXPECT_EQ(read_file(target / "sub" / "big"), files[5].content);
    EXPECT_EQ(read_file(target / unit::path_of(L"caf\u00e9 \U0001F600.txt")), "non-ASCII name");
    EXPECT_EQ(unit::list_tree(target),
              (std::vector<std::wstring>{L"app.bin", L"caf\u00e9 \U0001F600.txt", L"chunk", L"chunk_plus_one",
                                         L"empty", L"sub", L"sub/big", L"sub/dir", L"sub/dir/data.txt"}));
}

TEST_F(Extraction, LaterEntryOfTheSameNameOverwrites) {
    const fs::path target = use_target();
    extract(make_application({{u"same", noise(5000, 4)}, {u"other", "x"}, {u"same", "short"}}));
    EXPECT_EQ(read_file(target / "same"), "short");
    EXPECT_EQ(read_file(target / "other"), "x");
}

TEST_F(Extraction, EmptyFilesNeverCallTheDecoder) {
    const fs::path target = use_target();
    // Not a Zstandard frame: any decompression call would fail.
    const std::vector<uint8_t> garbage = {0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2, 3};
    extract(make_blob(table_of({{u"main", 0}, {u"second", 0}}), garbage));
    EXPECT_EQ(read_file(target / "main"), "");
    EXPECT_EQ(read_file(target / "second"), "");
}

TEST_F(Extraction, EmptyTableWritesNothing) {
    const fs::path target = use_target();
    extract(make_blob({}, {0xDE, 0xAD}));
    EXPECT_EQ(g_state.main_binary_path[0], L'\0');
    EXPECT_FALSE(unit::exists_or_is_link(target));
}

TEST_F(Extraction, ExcessOutputOfTheStreamIsLeftUnread) {
    const fs::path target = use_target();
    const std::string content = text(200000);
    extract(make_blob(table_of({{u"part", 150000}}), unit::zstd_frame(content)));
    EXPECT_EQ(read_file(target / "part"), content.substr(0, 150000));
}

TEST_F(Extraction, SeveralFramesFormOneStream) {
    const fs::path target = use_target();
    const std::string a = text(70000), b = noise(200000, 5);
    std::vector<uint8_t> stream = unit::zstd_frame(a);
    const std::vector<uint8_t> second = unit::zstd_frame(b);
    stream.insert(stream.end(), second.begin(), second.end());
    // The file boundary lies inside the second frame.
    extract(make_blob(table_of({{u"one", 100000}, {u"two", 170000}}), stream));
    EXPECT_EQ(read_file(target / "one"), (a + b).substr(0, 100000));
    EXPECT_EQ(read_file(target / "two"), (a + b).substr(100000));
}

// ---- the decoder holding output after the whole stream went in ------------------------------------------

// A decompression call fills at most the 131072-byte window. When a block's output runs past the end
// of the window, the decoder keeps the rest; if it has by then also taken in the last byte of the
// stream, a later refill finds the input used up although output is still waiting. The library
// keeps back the final byte of a frame it has finished for exactly this reason, so the streams here
// stop right after a block in the middle of their frame: every byte the file table asks for is
// there, and nothing checks for the end of the stream.
//
// The files start at stream offset 0 and are read in 32768-byte chunks, four to a window, so the read
// that needs the bytes held back is a new call of read_stream_bytes that must refill before it has
// made a decompression call of its own. If the mark "the last call filled the window" were cleared
// at the start of every read, that read would find it clear with the input used up and end the
// process with "couldn't decode attached data" (status 2) although the data is intact; it must be
// the mark of the most recent decompression call.
struct BoundaryCase {
    const char* label;
    std::vector<size_t> block_ends;  // the stream stops after the last of these blocks
    std::vector<size_t> file_sizes;
};

TEST_F(Extraction, ReadsTheHeldOutputAfterTheInputRanOut) {
    const BoundaryCase cases[] = {
        // Blocks [0, 1000) and [1000, 132072): the second runs 1000 bytes past the first window.
        BoundaryCase{"one_file", {1000, 132072}, {132072}},
        // The held bytes begin the next file.
        BoundaryCase{"next_file", {1000, 132072}, {131072, 1000}},
        BoundaryCase{"many_files", {1000, 132072}, {32768, 32768, 32768, 32768, 1000}},
        // Two windows later: the last block runs past the end of the second window.
        BoundaryCase{"second_window", {1000, 132072, 263144}, {263144}},
        BoundaryCase{"one_byte_held", {1, 131073}, {131073}},
    };
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string content = text(c.block_ends.back());
        const std::vector<uint8_t> stream = frame_with_block_ends(content, c.block_ends, false);
        ASSERT_TRUE(input_runs_out_while_output_is_held(stream)) << "the stream does not set up the condition";

        std::vector<std::pair<std::u16string, uint64_t>> files;
        size_t total = 0;
        for (size_t i = 0; i < c.file_sizes.size(); ++i) {
            files.push_back({u"f" + std::u16string(1, static_cast<char16_t>(u'0' + i)), c.file_sizes[i]});
            total += c.file_sizes[i];
        }
        ASSERT_EQ(total, content.size());

        const fs::path target = use_target(c.label);
        extract(make_blob(table_of(files), stream));
        size_t offset = 0;
        for (size_t i = 0; i < c.file_sizes.size(); ++i) {
            EXPECT_EQ(read_file(target / ("f" + std::to_string(i))), content.substr(offset, c.file_sizes[i])) << i;
            offset += c.file_sizes[i];
        }
    }
}

TEST_F(Extraction, FinishedFrameWithBlockAcrossTheWindowEnd) {
    const fs::path target = use_target();
    const std::string content = text(132072);
    extract(make_blob(table_of({{u"f", content.size()}}), frame_with_block_ends(content, {1000}, true)));
    EXPECT_EQ(read_file(target / "f"), content);
}

TEST_F(Extraction, AskingPastTheHeldOutputIsADecodeError) {
    const fs::path target = use_target();
    const std::string content = text(132072);
    const std::vector<uint8_t> stream = frame_with_block_ends(content, {1000, 132072}, false);
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(make_blob(table_of({{u"f", content.size() + 1}}), stream));
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't decode attached data."));
}

// ---- streams that end short or are corrupt -------------------------------------------------------------

struct ShortCase {
    const char* label;
    std::string content;                                       // what the stream holds
    std::vector<std::pair<std::string, uint64_t>> files;       // what the table asks for (ASCII names)
    size_t complete_files;                                     // files fully written before the failure
};

TEST_F(Extraction, ShortStreamFailsWithStatus2AndKeepsWhatWasWritten) {
    const ShortCase cases[] = {
        ShortCase{"no_stream", "", {{"one", 1}}, 0},
        ShortCase{"one_byte_short", text(1000), {{"one", 1001}}, 0},
        ShortCase{"one_window_and_a_byte", text(WINDOW_SIZE), {{"one", WINDOW_SIZE + 1}}, 0},
        ShortCase{"second_file_short", text(50000), {{"one", 40000}, {"two", 10001}}, 1}
    };
    for (const ShortCase& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path target = use_target(c.label);
        const std::vector<uint8_t> stream = c.content.empty() ? std::vector<uint8_t>{} : unit::zstd_frame(c.content);
        std::vector<std::pair<std::u16string, uint64_t>> table;
        for (const auto& [name, size] : c.files) table.push_back({std::u16string(name.begin(), name.end()), size});
        const std::vector<uint8_t> blob = make_blob(table_of(table), stream);
        EXPECT_EXIT(
            {
                unit::stdout_to_stderr();
                extract(blob);
                exit(0);
            },
            unit::reported_failure(), unit::plain_message("Error, couldn't decode attached data."));
        // Nothing is removed on failure: the files written before it stay.
        size_t offset = 0;
        for (size_t i = 0; i < c.complete_files; ++i) {
            EXPECT_EQ(read_file(target / c.files[i].first), c.content.substr(offset, c.files[i].second));
            offset += c.files[i].second;
        }
        if (c.complete_files < c.files.size()) {
            EXPECT_TRUE(unit::exists_or_is_link(target / c.files[c.complete_files].first));
        }
    }
}

TEST_F(Extraction, StreamThatIsNoFrameIsADecodeError) {
    use_target();
    const std::vector<uint8_t> blob = make_blob(table_of({{u"one", 10}}), {'n', 'o', 't', ' ', 'z', 's', 't', 'd'});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't decode attached data."));
}

TEST_F(Extraction, CorruptBlockFailsAfterTheEarlierFilesAreWritten) {
    const fs::path target = use_target();
    const std::string content = text(600000);
    std::vector<uint8_t> stream = unit::zstd_frame(content);
    // Block type 3 is reserved: the decoder reports an error when it reaches the last block.
    stream[last_block_header(stream)] |= 6;
    const std::vector<DecodeCall> calls = decode_in_windows(stream);
    ASSERT_TRUE(calls.back().error);
    size_t produced_before_error = 0;
    for (size_t i = 0; i + 1 < calls.size(); ++i) produced_before_error += calls[i].produced;
    ASSERT_GE(produced_before_error, 300000u) << "the first file would not be complete before the error";

    const std::vector<uint8_t> blob = make_blob(table_of({{u"one", 300000}, {u"two", 300000}}), stream);
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't decode attached data."));
    EXPECT_EQ(read_file(target / "one"), content.substr(0, 300000));
    EXPECT_TRUE(unit::exists_or_is_link(target / "two"));
}

// ---- the child role and refused entries --------------------------------------------------------------

TEST_F(Extraction, ChildTakesTheFirstEntryAndWritesNothing) {
    const fs::path target = use_target();
    // A link entry, a corrupt stream and a malformed second entry: the child looks at none of them.
    std::vector<uint8_t> table = encode_entry(ENTRY_FLAG_LINK, 5, u"main.bin", u"elsewhere");
    table.insert(table.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    extract(make_blob(table, {0xDE, 0xAD}), Role::Child);
    EXPECT_EQ(std::wstring(g_state.main_binary_path), unit::wide(target) + S + L"main.bin");
    EXPECT_FALSE(unit::exists_or_is_link(target));
}

TEST_F(Extraction, ChildWithoutEntriesHasNoMainBinary) {
    use_target();
    const std::vector<uint8_t> blob = make_blob({}, {});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob, Role::Child);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
}

TEST_F(Extraction, ParentRefusesALinkEntryBeforeCreatingAnything) {
    const fs::path target = use_target();
    const std::vector<uint8_t> blob =
        make_blob(encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 0, u"main.bin", u"x"), {});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
    EXPECT_FALSE(unit::exists_or_is_link(target));
}

TEST_F(Extraction, ParentRefusesALinkEntryAfterEarlierFiles) {
    const fs::path target = use_target();
    std::vector<uint8_t> table = encode_entry(0, 3, u"main.bin");
    const auto link = encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 0, u"link", u"main.bin");
    table.insert(table.end(), link.begin(), link.end());
    const std::vector<uint8_t> blob = make_blob(table, unit::zstd_frame("abc"));
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
    EXPECT_EQ(read_file(target / "main.bin"), "abc");
    EXPECT_FALSE(unit::exists_or_is_link(target / "link"));
}

TEST_F(Extraction, TableNotEndingAfterTheLastEntryFailsAfterItsFile) {
    const fs::path target = use_target();
    std::vector<uint8_t> table = encode_entry(ENTRY_FLAG_LAST, 3, u"main.bin");
    table.insert(table.end(), {0, 0});
    const std::vector<uint8_t> blob = make_blob(table, unit::zstd_frame("abc"));
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
    EXPECT_EQ(read_file(target / "main.bin"), "abc");
}

// ---- composed path length (child role: nothing touches the disk) -------------------------------------------

TEST_F(Extraction, ComposedPathOf4095UnitsFits) {
    // Target directory, separator and name: 4000 + 1 + 94 = 4095 units.
    set_target(std::wstring(4000, L't'));
    extract(make_blob(encode_entry(ENTRY_FLAG_LAST, 0, std::u16string(94, u'n')), {}), Role::Child);
    EXPECT_EQ(wcslen(g_state.main_binary_path), 4095u);
}

TEST_F(Extraction, ComposedPathOf4096UnitsIsRefused) {
    set_target(std::wstring(4000, L't'));
    const std::vector<uint8_t> blob = make_blob(encode_entry(ENTRY_FLAG_LAST, 0, std::u16string(95, u'n')), {});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob, Role::Child);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
}

TEST_F(Extraction, NameOf4095UnitsIsRefusedByThePathBound) {
    set_target(L"t");
    const std::vector<uint8_t> blob = make_blob(encode_entry(ENTRY_FLAG_LAST, 0, std::u16string(4095, u'n')), {});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob, Role::Child);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
}

TEST_F(Extraction, TargetDirectoryWithoutRoomForTheSeparatorIsAFatalStop) {
    set_target(std::wstring(4095, L't'));
    const std::vector<uint8_t> blob = make_blob(encode_entry(ENTRY_FLAG_LAST, 0, u"n"), {});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob, Role::Child);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
}

// ---- names that would leave the target directory ---------------------------------------------------------

struct EscapeCase {
    const char* label;
    std::u16string name;
};

TEST_F(Extraction, EscapingNameIsRefusedAndNothingIsWritten) {
    const EscapeCase cases[] = {
        EscapeCase{"parent", u"..\\escaped"}, EscapeCase{"parent_slash", u"../escaped"},
        EscapeCase{"down_and_up", u"a\\..\\..\\escaped"}, EscapeCase{"dots_only", u".."},
        EscapeCase{"rooted", u"\\escaped"}, EscapeCase{"rooted_slash", u"/escaped"},
        EscapeCase{"drive", u"C:\\escaped"}, EscapeCase{"drive_relative", u"C:escaped"}
    };
    for (const EscapeCase& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path target = use_target(c.label);
        const std::vector<uint8_t> blob = make_application({{c.name, "evil"}});
        EXPECT_EXIT(
            {
                unit::stdout_to_stderr();
                extract(blob);
                exit(0);
            },
            unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
        EXPECT_FALSE(unit::exists_or_is_link(target));
        EXPECT_FALSE(unit::exists_or_is_link(unit::scratch_root() / "escaped"));
    }
}

TEST(EntryNameContainment, Classifies) {
    struct Case {
        const wchar_t* name;
        size_t length;  // 0: the whole name
        bool contained;
    };
    const Case cases[] = {
        {L"a", 0, true}, {L"a\\b", 0, true}, {L"a/b", 0, true}, {L"a..b", 0, true}, {L"..a", 0, true},
        {L"a..", 0, true}, {L"...", 0, true}, {L".", 0, true}, {L"a\\.\\b", 0, true}, {L"a\\...\\b", 0, true},
        {L"a b\\c d", 0, true}, {L"..", 0, false}, {L"..\\a", 0, false}, {L"../a", 0, false},
        {L"a\\..\\b", 0, false}, {L"a/../b", 0, false}, {L"a\\..", 0, false}, {L"a/..", 0, false},
        {L"a\\b\\..\\..\\..\\c", 0, false}, {L"\\a", 0, false}, {L"/a", 0, false},
        {L"\\\\server\\share", 0, false}, {L"C:\\a", 0, false}, {L"C:a", 0, false}, {L"C:", 0, false},
        // Only `length` units count: what follows is not part of the name.
        {L"a\\..xyz", 4, false}, {L"a\\..", 3, true}, {L"", 0, false},
    };
    for (const Case& c : cases) {
        const size_t length = c.length != 0 ? c.length : wcslen(c.name);
        EXPECT_EQ(entry_name_is_contained(c.name, length), c.contained)
            << ::testing::PrintToString(std::wstring(c.name)) << " length " << length;
    }
}

}  // namespace
