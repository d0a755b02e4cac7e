// The mark of cached extraction: the SHA-256 digest the packer computes over the attached data,
// carried in the record behind it and found by the launcher's own reader; the cache entry's name;
// and the command line that asks for it and shows where the cache lives.
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "attached_reader.h"
#include "cli.h"
#include "common/extras.h"
#include "extras_record.h"
#include "binary_images.h"
#include "cli_capture.h"
#include "pack_test_support.h"
#include "sha256.h"

namespace {

namespace fs = std::filesystem;
using onefile::pack::digest_hex;
using onefile::pack::Sha256;
using onefile::pack::Sha256Digest;
using pack_test::random_bytes;
using pack_test::read;
using pack_test::run_cli;
using pack_test::TempDir;
using pack_test::write;

std::string sha256_hex(const std::string& text) {
    Sha256 hash;
    hash.update(text.data(), text.size());
    return digest_hex(hash.finish());
}

// The published test vectors, and a message that crosses the padding boundary of one block.
TEST(Sha256, MatchesTheStandardVectors) {
    const struct {
        std::string message;
        std::string digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sha256_hex(c.message), c.digest) << c.message.size() << " bytes";
    }
}

TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
    const std::string message = random_bytes(1000, 3);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, size_t{999}}) {
        Sha256 hash;
        hash.update(message.data(), cut);
        hash.update(message.data() + cut, message.size() - cut);
        EXPECT_EQ(digest_hex(hash.finish()), sha256_hex(message)) << cut;
    }
}

Sha256Digest digest_of(unsigned char first) {
    Sha256Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(first + i);
    return digest;
}

TEST(CacheField, TheLaunchersReaderFindsTheDigestBesideTheTimesOrAlone) {
    const Sha256Digest digest = digest_of(0xA0);
    std::vector<unsigned char> alone;
    onefile::pack::add_cache_field(alone, digest);
    ASSERT_EQ(alone.size(), 16u + 12 + 32);
    const uint8_t* found = read_cache_digest(alone.data(), alone.size());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::memcmp(found, digest.data(), 32), 0);

    std::vector<unsigned char> both = onefile::pack::encode_file_times_record({{1, 2}, {3, 4}}, std::nullopt);
    onefile::pack::add_cache_field(both, digest);
    found = read_cache_digest(both.data(), both.size());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::memcmp(found, digest.data(), 32), 0);
    FileTimes times{};
    ASSERT_TRUE(read_file_times(both.data(), both.size(), &times));
    EXPECT_EQ(times.count, 2u);

    // Without the field, or with one of another size, the executable is not marked.
    const std::vector<unsigned char> unmarked = onefile::pack::encode_file_times_record({{1, 2}}, std::nullopt);
    EXPECT_EQ(read_cache_digest(unmarked.data(), unmarked.size()), nullptr);
    std::vector<unsigned char> short_field = alone;
    short_field[20] = 31;  // the field's size
    EXPECT_EQ(read_cache_digest(short_field.data(), short_field.size()), nullptr);
    // A record that claims more than it holds is no record.
    EXPECT_EQ(read_cache_digest(alone.data(), alone.size() - 1), nullptr);
}

TEST(CacheEntryName, IsTheFileNameWithoutExeAndSixteenHexDigits) {
    const Sha256Digest digest = digest_of(0x10);
    EXPECT_EQ(onefile::pack::cache_entry_name("tool.EXE", digest), "tool-1011121314151617");
    EXPECT_EQ(onefile::pack::cache_entry_name("tool", digest), "tool-1011121314151617");
    EXPECT_EQ(onefile::pack::cache_entry_name("a.exe.exe", digest), "a.exe-1011121314151617");
    EXPECT_EQ(onefile::pack::cache_entry_name(std::string(80, 'n'), digest),
              std::string(64, 'n') + "-1011121314151617");
}

TEST(CacheOption, MarksTheExecutableWithTheDigestOfItsAttachedDataAndListSaysWhere) {
    TempDir dir;
    write(dir / "app/main.bin", pack_test::main_binary_image("linux", 4000, 9));
    write(dir / "app/data.txt", "data\n");
    std::string out, err;
    for (const bool cache : {true, false}) {
        const std::string name = cache ? "marked" : "plain";
        std::vector<std::string> args = {"--quiet", "--target", "linux", "--level", "3"};
        if (cache) args.push_back("--cache");
        for (const std::string& arg :
             {std::string("-o"), (dir / name).string(), (dir / "app").string(), std::string("main.bin")}) {
            args.push_back(arg);
        }
        ASSERT_EQ(run_cli(args, &out, &err), 0) << err;

        const std::string executable = read(dir / name);
        const auto bytes = std::span(reinterpret_cast<const unsigned char*>(executable.data()), executable.size());
        const auto listing = onefile::pack::locate_attached(bytes);
        ASSERT_TRUE(listing.has_value());
        const std::string attached = executable.substr(listing->offset, listing->length);
        const std::string behind = executable.substr(listing->offset + listing->length);
        const uint8_t* digest = read_cache_digest(reinterpret_cast<const uint8_t*>(behind.data()), behind.size());
        if (!cache) {
            EXPECT_EQ(digest, nullptr);
            ASSERT_EQ(run_cli({"--list", (dir / name).string()}, &out, &err), 0);
            EXPECT_EQ(err, "");
            continue;
        }
        ASSERT_NE(digest, nullptr);
        Sha256Digest found{};
        std::memcpy(found.data(), digest, found.size());
        EXPECT_EQ(digest_hex(found), sha256_hex(attached));
        // The times are still there beside it.
        FileTimes times{};
        EXPECT_TRUE(read_file_times(reinterpret_cast<const uint8_t*>(behind.data()), behind.size(), &times));
        EXPECT_EQ(times.count, 2u);

        ASSERT_EQ(run_cli({"--list", (dir / name).string()}, &out, &err), 0) << err;
        EXPECT_EQ(out.rfind("main.bin\t4000\t", 0), 0u) << out;
        const std::string entry = "marked-" + sha256_hex(attached).substr(0, 16);
        EXPECT_NE(err.find("$XDG_CACHE_HOME/onefile/" + entry), std::string::npos) << err;
        EXPECT_NE(err.find("~/.cache/onefile/" + entry), std::string::npos) << err;
        EXPECT_NE(err.find("%LOCALAPPDATA%\\onefile\\" + entry), std::string::npos) << err;
        ASSERT_EQ(run_cli({"--verify", (dir / name).string()}, &out, &err), 0) << err;
    }
}

TEST(CacheOption, IsOnlyForWhatIsLinked) {
    std::string out, err;
    EXPECT_EQ(run_cli({"--cache", "--list", "x"}, &out, &err), 1);
    EXPECT_EQ(err, "onefile-pack: --cache is not used with --list (see onefile-pack --help)\n");
    EXPECT_EQ(run_cli({"--cache", "--attached-only", "x", "app", "main"}, &out, &err), 1);
    EXPECT_EQ(run_cli({"--cache=1", "-o", "x", "app", "main"}, &out, &err), 1);
    EXPECT_EQ(err, "onefile-pack: --cache takes no value (see onefile-pack --help)\n");
    ASSERT_EQ(run_cli({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--cache"), std::string::npos);
}

}  // namespace
