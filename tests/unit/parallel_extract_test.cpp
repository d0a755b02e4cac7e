// A stream of several frames, each holding whole files, is written by several workers where there
// are processors for them, and read in order where there is one: the same files with the same
// bytes either way, and the same failure reported, the one the sequential order meets first.
#include <gtest/gtest.h>

#include <zstd_errors.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/attached_format.h"
#include "common/state.h"
#include "payload/extract.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace tp = test_platform;

std::string text(size_t size, char seed) {
    std::string out;
    while (out.size() < size)
        out += std::string("line ") + seed + " of some text, " + std::to_string(out.size()) + "\n";
    out.resize(size);
    return out;
}

// Four frames: the first ends in an empty file, the second holds a file larger than the reader's
// window, the last ends in an empty file.
const std::vector<unit::AppFile> FILES = {
    {u"main.bin", unit::noise(5000, 1)},  // frame 0
    {u"lib\\a.txt", text(40000, 'a')},    //
    {u"lib\\empty", ""},                  //
    {u"b.bin", unit::noise(150000, 2)},   // frame 1
    {u"c\\d\\c.txt", text(70000, 'c')},   //
    {u"e.bin", unit::noise(33000, 3)},    // frame 2
    {u"f.txt", text(1000, 'f')},          // frame 3
    {u"g", ""},                           //
};
const std::vector<size_t> FRAME_STARTS = {0, 3, 5, 6};

fs::path file_path(const fs::path& target, const std::u16string& name) {
    fs::path path = target;
    std::string part;
    for (char16_t unit : name) {
        if (unit == u'\\') {
            path /= part;
            part.clear();
        } else {
            part += static_cast<char>(unit);
        }
    }
    return path / part;
}

class ParallelExtraction : public unit::ExtractionTest {
protected:
    static void expect_files(const fs::path& target) {
        for (const unit::AppFile& file : FILES) {
            EXPECT_EQ(unit::read_file(file_path(target, file.name)), file.content);
        }
        EXPECT_EQ(unit::list_tree(target).size(), FILES.size() + 3) << "the files and the directories lib, c, c/d";
    }
};

class ProcessorCounts : public ParallelExtraction, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ProcessorCounts, WriteEveryFileWhole) {
    const uint32_t processors = GetParam();
    tp::fakes().processor_count = processors;
    const fs::path target = use_target();
    extract(unit::make_framed_application(FILES, FRAME_STARTS));
    expect_files(target);
    // One processor: the sequential reader's one decoder reads the frames in order. More: a
    // decoder per worker, at most one per frame.
    const int workers = processors < 2 ? 1 : static_cast<int>(std::min<uint32_t>(processors, 4));
    EXPECT_EQ(tp::calls(tp::Op::CreateDecoder), workers);
    EXPECT_EQ(g_state.main_binary_path, unit::wide(target / "main.bin"));
}

INSTANTIATE_TEST_SUITE_P(Unit, ProcessorCounts, ::testing::Values(1u, 2u, 3u, 4u, 16u));

TEST_F(ParallelExtraction, FramesThatDoNotEndOnAFileAreReadInOrder) {
    // A frame boundary inside b.bin: valid data, but not shared out by files.
    std::vector<unit::AppFile> files = FILES;
    const std::string b = files[3].content;
    tp::fakes().processor_count = 4;
    // Frames of main..b.bin's first half, and the rest, built by hand.
    std::string first_part;
    for (size_t i = 0; i < 3; ++i) first_part += files[i].content;
    first_part += b.substr(0, 1000);
    std::string second_part = b.substr(1000);
    for (size_t i = 4; i < files.size(); ++i) second_part += files[i].content;
    std::vector<uint8_t> stream = unit::sized_frame(first_part);
    const std::vector<uint8_t> second = unit::sized_frame(second_part);
    stream.insert(stream.end(), second.begin(), second.end());
    std::vector<uint8_t> table;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::vector<uint8_t> entry =
            unit::encode_entry(i + 1 == files.size() ? ENTRY_FLAG_LAST : 0, files[i].content.size(), files[i].name);
        table.insert(table.end(), entry.begin(), entry.end());
    }
    const fs::path target = use_target();
    extract(unit::make_blob(table, stream));
    expect_files(target);
    EXPECT_EQ(tp::calls(tp::Op::CreateDecoder), 1);
}

TEST_F(ParallelExtraction, AThreadThatCannotStartLeavesItsShareToTheOthers) {
    tp::fakes().processor_count = 4;
    tp::fail(tp::Op::StartThread, 1, 11, true);
    const fs::path target = use_target();
    extract(unit::make_framed_application(FILES, FRAME_STARTS));
    expect_files(target);
    EXPECT_EQ(tp::calls(tp::Op::StartThread), 3);
}

TEST_F(ParallelExtraction, AWorkerWithoutMemoryLeavesItsShareToTheOthers) {
    tp::fakes().processor_count = 4;
    // The first worker's window is the first allocation; the second worker's is refused.
    tp::fail(tp::Op::Allocate, 2, 12);
    const fs::path target = use_target();
    extract(unit::make_framed_application(FILES, FRAME_STARTS));
    expect_files(target);
    EXPECT_EQ(tp::calls(tp::Op::CreateDecoder), 1);
    EXPECT_EQ(tp::calls(tp::Op::StartThread), 0);
}

TEST_F(ParallelExtraction, NoMemoryForTheFirstWorkerIsReportedAsTheSequentialReaderDoes) {
    tp::fakes().processor_count = 4;
    tp::fail(tp::Op::Allocate, 1, 12);
    const std::vector<uint8_t> blob = unit::make_framed_application(FILES, FRAME_STARTS);
    use_target();
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't allocate memory."));
}

// ---- which failure is reported ----------------------------------------------------------------------

enum class Damage { None, Frame0Checksum, Frame1Content, Frame3Checksum };

struct FailureCase {
    const char* what;
    Damage damage;
    std::u16string open_fails;   // the file whose creation fails, if any
    std::u16string write_fails;  // the file whose first write fails, if any
    // What is reported: "decode", or "open:NAME", or "write".
    std::string reported;
};

constexpr uint32_t WRITE_ERROR = 28;

std::vector<uint8_t> damaged_blob(Damage damage) {
    std::vector<uint8_t> blob = unit::make_framed_application(FILES, FRAME_STARTS);
    const auto frames = unit::frame_positions(blob);
    switch (damage) {
        case Damage::None:
            break;
        case Damage::Frame0Checksum:
            blob[frames[0].first + frames[0].second - 1] ^= 0x01;
            break;
        case Damage::Frame1Content:
            // b.bin is noise, stored as it is: a changed byte in the middle shows only in the
            // frame's checksum, at its end.
            blob[frames[1].first + frames[1].second / 3] ^= 0x01;
            break;
        case Damage::Frame3Checksum:
            blob[frames[3].first + frames[3].second - 1] ^= 0x01;
            break;
    }
    return blob;
}

// How the path of the file with this stored name ends, separator in front.
std::wstring path_end(const std::u16string& name) {
    std::wstring end(1, PATH_SEPARATOR);
    for (char16_t unit : name) end += unit == u'\\' ? PATH_SEPARATOR : static_cast<wchar_t>(unit);
    return end;
}

class FailureOrder : public ParallelExtraction,
                     public ::testing::WithParamInterface<std::tuple<FailureCase, uint32_t>> {};

TEST_P(FailureOrder, TheFirstInSequentialOrderIsReported) {
    const auto& [c, processors] = GetParam();
    tp::fakes().processor_count = processors;
    const std::vector<uint8_t> blob = damaged_blob(c.damage);
    const fs::path target = use_target();
    if (!c.open_fails.empty()) tp::fail_file(tp::Op::CreateOutputFile, path_end(c.open_fails), 2);
    if (!c.write_fails.empty()) tp::fail_file(tp::Op::WriteFile, path_end(c.write_fails), WRITE_ERROR);
    std::string expected;
    bool on_stdout = false;
    if (c.reported == "decode") {
        expected = "Error, couldn't decode attached data.\n";
        on_stdout = true;
    } else if (c.reported == "write") {
        expected = "Error, couldn't unpack file to target path. ([Error " + std::to_string(WRITE_ERROR) + "] ";
    } else {
        const std::string name = c.reported.substr(5);
        std::u16string wide_name(name.begin(), name.end());
        expected = "Error, failed to open '" + file_path(target, wide_name).string() + "' for writing.\n";
    }
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(),
        unit::output_satisfies(
            [&](const std::string& output) {
                const std::string plain = unit::without_carriage_returns(output);
                return on_stdout || c.reported != "write" ? plain == expected : plain.rfind(expected, 0) == 0;
            },
            "the report \"" + expected + "\""));
}

const FailureCase FAILURE_CASES[] = {
    {"a damaged frame before a failing write", Damage::Frame1Content, u"", u"e.bin", "decode"},
    {"a failing write before a failing open", Damage::None, u"f.txt", u"b.bin", "write"},
    {"a failing open before a failing write", Damage::None, u"main.bin", u"f.txt", "open:main.bin"},
    // The decoder checks a frame's checksum in the call that delivers the frame's last bytes, so
    // a bad end shows while the frame's last file with content is read: before the open of the
    // next frame's first file (which its worker may well try first), before the open of an empty
    // file that ends the frame, and before the write of the bytes read.
    {"a bad frame end before the next frame's first open", Damage::Frame0Checksum, u"b.bin", u"", "decode"},
    {"a bad frame end before the next frame's first write", Damage::Frame0Checksum, u"", u"b.bin", "decode"},
    {"a bad frame end before the open of its last, empty file", Damage::Frame0Checksum, u"lib\\empty", u"", "decode"},
    {"a bad frame end before the write of its last bytes", Damage::Frame3Checksum, u"", u"f.txt", "decode"},
    {"a failing open before a bad frame end", Damage::Frame0Checksum, u"main.bin", u"", "open:main.bin"},
    {"a failing write before a later frame's bad end", Damage::Frame3Checksum, u"", u"e.bin", "write"},
    {"the last frame's bad end", Damage::Frame3Checksum, u"", u"", "decode"},
    {"a failing open in the last frame", Damage::None, u"g", u"", "open:g"},
};

INSTANTIATE_TEST_SUITE_P(Unit, FailureOrder,
                         ::testing::Combine(::testing::ValuesIn(FAILURE_CASES), ::testing::Values(1u, 2u, 4u)),
                         [](const ::testing::TestParamInfo<FailureOrder::ParamType>& info) {
                             return "case" + std::to_string(info.index / 3) + "_processors" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
