// The Windows executable's icon, version information and subsystem: what the packer writes is
// read back from the packed executable with the tests' own PE reader; malformed icons and bad
// options are refused before anything is packed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "binary_images.h"
#include "cli.h"
#include "errors.h"
#include "cli_capture.h"
#include "pack_test_support.h"
#include "pe_resources.h"
#include "resource_section.h"
#include "resources.h"

namespace fs = std::filesystem;

namespace {

using pack_test::main_binary_image;
using pack_test::read;
using pack_test::run_cli;
using pack_test::TempDir;
using pack_test::write;

void put16(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void put32(std::string& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// A 32-bit bitmap icon image: BITMAPINFOHEADER (height doubled for the mask), pixels, mask.
std::string bitmap_image(unsigned size, uint8_t shade) {
    std::string image;
    put32(image, 40);
    put32(image, size);
    put32(image, size * 2);
    put16(image, 1);
    put16(image, 32);
    image.append(24, '\0');
    for (unsigned i = 0; i < size * size; ++i) image += std::string{static_cast<char>(shade), 0x20, 0x40, '\xff'};
    image.append(((size + 31) / 32) * 4 * size, '\0');
    return image;
}

// What the packer keeps of a PNG image: the signature and the bytes behind it, unchanged.
std::string png_image(const std::string& body) { return std::string("\x89PNG\r\n\x1a\n", 8) + body; }

struct IcoImage {
    uint8_t width;
    uint8_t height;
    uint16_t bit_count;
    std::string bytes;
};

// An .ico file of these images, stored in order behind the directory.
std::string ico_file(const std::vector<IcoImage>& images) {
    std::string out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (const IcoImage& image : images) {
        out += std::string{static_cast<char>(image.width), static_cast<char>(image.height), 0, 0};
        put16(out, 1);
        put16(out, image.bit_count);
        put32(out, static_cast<uint32_t>(image.bytes.size()));
        put32(out, offset);
        offset += static_cast<uint32_t>(image.bytes.size());
    }
    for (const IcoImage& image : images) out += image.bytes;
    return out;
}

std::vector<IcoImage> sample_images() {
    return {{16, 16, 32, bitmap_image(16, 0x10)},
            {32, 32, 32, bitmap_image(32, 0x80)},
            {0, 0, 32, png_image(std::string(3001, 'p'))}};
}

std::string windows_kit() {
    return (fs::path(ONEFILE_PACK_PATH).parent_path().parent_path().parent_path() / "windows/share/onefile/windows")
        .string();
}

bool windows_kit_available() {
    if (fs::exists(fs::path(windows_kit()) / "launcher.exe")) return true;
    if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) ADD_FAILURE() << "no Windows kit in " << windows_kit();
    return false;
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// ---- the .ico file -------------------------------------------------------------------------------

TEST(IconFile, EveryImageIsTakenWithItsDirectoryFields) {
    const std::vector<IcoImage> images = sample_images();
    const auto parsed = onefile::pack::parse_ico(ico_file(images), "app.ico");
    ASSERT_EQ(parsed.size(), images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(parsed[i].width, images[i].width);
        EXPECT_EQ(parsed[i].height, images[i].height);
        EXPECT_EQ(parsed[i].planes, 1);
        EXPECT_EQ(parsed[i].bit_count, images[i].bit_count);
        EXPECT_EQ(parsed[i].bytes, images[i].bytes);
    }
}

struct BadIcon {
    const char* label;
    std::string (*make)();
    std::string reason;
};

class MalformedIcons : public ::testing::TestWithParam<BadIcon> {};

std::string valid_ico() { return ico_file(sample_images()); }
std::string set32(std::string ico, size_t at, uint32_t value) {
    std::string field;
    put32(field, value);
    return ico.replace(at, 4, field);
}

TEST_P(MalformedIcons, AreRefusedWithTheReason) {
    try {
        onefile::pack::parse_ico(GetParam().make(), "app.ico");
        ADD_FAILURE() << "accepted";
    } catch (const onefile::pack::PackError& error) {
        EXPECT_EQ(std::string(error.what()), "the icon 'app.ico' is not a usable .ico file: " + GetParam().reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packer, MalformedIcons,
    ::testing::Values(BadIcon{"Empty", [] { return std::string(); }, "it is 0 bytes long, shorter than an icon header"},
                      BadIcon{"ShortHeader", [] { return std::string("\0\0\1\0\1", 5); },
                              "it is 5 bytes long, shorter than an icon header"},
                      BadIcon{"NotAnIcon", [] { return std::string("\x89PNG\r\n\x1a\n....", 12); },
                              "its header does not start with 00 00 01 00"},
                      BadIcon{"Cursor", [] { return valid_ico().replace(2, 1, "\2"); }, "it is a cursor, not an icon"},
                      BadIcon{"NoImage", [] { return std::string("\0\0\1\0\0\0", 6); }, "it holds no image"},
                      BadIcon{"DirectoryPastTheEnd", [] { return valid_ico().substr(0, 6 + 16 * 2 + 5); },
                              "its 3 directory entries run past the end of the file"},
                      BadIcon{"EmptyImage", [] { return set32(valid_ico(), 6 + 16 + 8, 0); }, "image 2 is empty"},
                      BadIcon{"ImageInsideTheDirectory", [] { return set32(valid_ico(), 6 + 12, 20); },
                              "image 1 starts at byte 20, inside the icon directory"},
                      BadIcon{"ImagePastTheEnd",
                              [] {
                                  const std::string ico = valid_ico();
                                  return ico.substr(0, ico.size() - 1);
                              },
                              "image 3 (3009 bytes at byte 5446) runs past the end of the file (8454 bytes)"},
                      BadIcon{"OffsetOverflowingThirtyTwoBits",
                              [] { return set32(valid_ico(), 6 + 32 + 12, 0xFFFFFFF0u); },
                              "image 3 (3009 bytes at byte 4294967280) runs past the end of the file (8455 bytes)"},
                      BadIcon{"NeitherPngNorBitmap", [] { return valid_ico().replace(6 + 48, 1, "x"); },
                              "image 1 is neither a PNG image nor a bitmap"},
                      BadIcon{"BitmapHeaderLongerThanTheImage",
                              [] {
                                  return ico_file({{1, 1, 32, std::string("\x28\0\0\0", 4)}});
                              },
                              "image 1 is neither a PNG image nor a bitmap"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- the version resource ------------------------------------------------------------------------

TEST(VersionNumber, TakesOneToFourNumbersUpTo65535) {
    using Numbers = std::array<uint16_t, 4>;
    EXPECT_EQ(onefile::pack::parse_version_number("7"), (Numbers{7, 0, 0, 0}));
    EXPECT_EQ(onefile::pack::parse_version_number("1.2"), (Numbers{1, 2, 0, 0}));
    EXPECT_EQ(onefile::pack::parse_version_number("1.2.3"), (Numbers{1, 2, 3, 0}));
    EXPECT_EQ(onefile::pack::parse_version_number("65535.0.010.4"), (Numbers{65535, 0, 10, 4}));
    for (const char* bad : {"", ".", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "99999", "100000", "1.-2", "+1", " 1",
                            "1 ", "1,2", "v1", "0x10", "1.2.3.a"}) {
        EXPECT_EQ(onefile::pack::parse_version_number(bad), std::nullopt) << bad;
    }
}

TEST(VersionResource, HoldsTheNumbersAndEveryStringGiven) {
    onefile::pack::VersionInfo info;
    info.product = "Fixture \"Suite\" ünïcode 😀";
    info.version = "1.2.3";
    info.company = "Example & Co\\Ltd";
    info.description = "Line one\nline two";
    info.copyright = "© 2026 Example";
    const pe_test::VersionResource version = pe_test::read_version(onefile::pack::version_resource(info, "My App.exe"));
    EXPECT_EQ(version.signature, 0xFEEF04BDu);
    EXPECT_EQ(version.file_version, (std::array<uint16_t, 4>{1, 2, 3, 0}));
    EXPECT_EQ(version.product_version, (std::array<uint16_t, 4>{1, 2, 3, 0}));
    EXPECT_EQ(version.file_os, 0x40004u);
    EXPECT_EQ(version.file_type, 1u);
    ASSERT_EQ(version.tables.size(), 1u);
    const auto& strings = version.tables.at(u"040904B0");
    const std::map<std::u16string, std::u16string> expected = {
        {u"ProductName", u"Fixture \"Suite\" ünïcode 😀"},
        {u"ProductVersion", u"1.2.3"},
        {u"FileVersion", u"1.2.3"},
        {u"CompanyName", u"Example & Co\\Ltd"},
        {u"FileDescription", u"Line one\nline two"},
        {u"LegalCopyright", u"© 2026 Example"},
        {u"OriginalFilename", u"My App.exe"},
    };
    EXPECT_EQ(strings, expected);
    EXPECT_EQ(version.translations, (std::vector<uint32_t>{0x04B00409u}));
}

TEST(VersionResource, WithoutAVersionTheNumbersAreZeroAndOnlyTheGivenStringsAppear) {
    onefile::pack::VersionInfo info;
    info.description = "Just a description";
    const pe_test::VersionResource version = pe_test::read_version(onefile::pack::version_resource(info, "a.exe"));
    EXPECT_EQ(version.file_version, (std::array<uint16_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(version.product_version, (std::array<uint16_t, 4>{0, 0, 0, 0}));
    const std::map<std::u16string, std::u16string> expected = {{u"FileDescription", u"Just a description"},
                                                               {u"OriginalFilename", u"a.exe"}};
    EXPECT_EQ(version.tables.at(u"040904B0"), expected);
}

TEST(VersionResource, EachLengthEndsAtTheBlocksLastByteAndChildrenStartAligned) {
    // As Windows' resource compiler writes them: a string's length leaves out the padding behind
    // its value, and the next block starts on the following 4-byte boundary.
    for (const std::string& text : {std::string("a"), std::string("ab"), std::string("abc"), std::string("abcd")}) {
        onefile::pack::VersionInfo info;
        info.product = text;
        const std::string block = onefile::pack::version_resource(info, text);
        const unsigned length = static_cast<unsigned char>(block[0]) | static_cast<unsigned char>(block[1]) << 8;
        EXPECT_EQ(length, block.size()) << text;
        std::string key;
        for (char16_t c : std::u16string(u"ProductName")) key += {static_cast<char>(c), '\0'};
        const size_t at = block.find(key);
        ASSERT_NE(at, std::string::npos);
        const size_t node = at - 6;
        EXPECT_EQ(node % 4, 0u) << text;
        const unsigned string_length =
            static_cast<unsigned char>(block[node]) | static_cast<unsigned char>(block[node + 1]) << 8;
        // Header, "ProductName" and its terminator padded to 4 bytes, then the value and its terminator.
        EXPECT_EQ(string_length, 6 + 24 + 2 + 2 * (text.size() + 1)) << text;
        EXPECT_EQ(pe_test::read_version(block).tables.at(u"040904B0").at(u"ProductName"), u16(text));
    }
}

// ---- the command line ----------------------------------------------------------------------------

struct UsageCase {
    const char* label;
    std::vector<std::string> args;
    std::string message;
};

class WindowsOptionUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(WindowsOptionUsage, IsAUsageErrorWithAClearMessage) {
    std::string out, err;
    EXPECT_EQ(run_cli(GetParam().args, &out, &err), 1) << err;
    EXPECT_EQ(err, "onefile-pack: " + GetParam().message + " (see onefile-pack --help)\n");
    EXPECT_EQ(out, "");
}

const std::vector<std::string> PACK = {"-o", "out.exe", "app", "main.dll"};
std::vector<std::string> pack_with(std::vector<std::string> options) {
    options.insert(options.end(), PACK.begin(), PACK.end());
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Packer, WindowsOptionUsage,
    ::testing::Values(
        UsageCase{"UnknownKey", pack_with({"--version-info", "vendor=X"}),
                  "--version-info has no key 'vendor' (keys: product, version, company, description, copyright)"},
        UsageCase{"KeyInOtherCase", pack_with({"--version-info", "Product=X"}),
                  "--version-info has no key 'Product' (keys: product, version, company, description, copyright)"},
        UsageCase{"NoEquals", pack_with({"--version-info", "product"}),
                  "--version-info takes KEY=VALUE (keys: product, version, company, description, copyright), not "
                  "'product'"},
        UsageCase{"NoValue", {"-o", "out.exe", "app", "main.dll", "--version-info"}, "--version-info needs a value"},
        UsageCase{"EmptyValue", pack_with({"--version-info", "company="}),
                  "--version-info company= has an empty value"},
        UsageCase{"DuplicateKey", pack_with({"--version-info", "product=A", "--version-info=product=B"}),
                  "--version-info product= is given twice"},
        UsageCase{"VersionWithFiveNumbers", pack_with({"--version-info", "version=1.2.3.4.5"}),
                  "--version-info version= takes 1 to 4 dot-separated numbers from 0 to 65535, not '1.2.3.4.5'"},
        UsageCase{"VersionTooLarge", pack_with({"--version-info", "version=1.65536"}),
                  "--version-info version= takes 1 to 4 dot-separated numbers from 0 to 65535, not '1.65536'"},
        UsageCase{"VersionWithText", pack_with({"--version-info", "version=1.2-beta"}),
                  "--version-info version= takes 1 to 4 dot-separated numbers from 0 to 65535, not '1.2-beta'"},
        UsageCase{"ValueNotUtf8", pack_with({"--version-info", "product=\xff\xfe"}),
                  "--version-info product= is not UTF-8 text"},
        UsageCase{"IconTwice", pack_with({"--icon", "a.ico", "--icon", "b.ico"}), "--icon is given twice"},
        UsageCase{"IconEmpty", pack_with({"--icon="}), "--icon needs a file name"},
        UsageCase{"ConsoleWithAValue", pack_with({"--console=yes"}), "--console takes no value"},
        UsageCase{"IconForLinux", pack_with({"--target", "linux", "--icon", "a.ico"}),
                  "--icon is only for --target windows"},
        UsageCase{"VersionInfoForLinux", pack_with({"--version-info", "product=X", "--target", "linux"}),
                  "--version-info is only for --target windows"},
        UsageCase{"ConsoleForLinux", pack_with({"--target", "linux", "--console"}),
                  "--console is only for --target windows"},
        UsageCase{"IconWithAttachedOnly",
                  {"--icon", "a.ico", "--attached-only", "out.bin", "app", "main.dll"},
                  "--icon is not used with --attached-only"},
        UsageCase{"ConsoleWithAttachedOnly",
                  {"--attached-only", "out.bin", "--console", "app", "main.dll"},
                  "--console is not used with --attached-only"},
        UsageCase{"VersionInfoWithVerify",
                  {"--verify", "x.exe", "--version-info", "product=X"},
                  "--version-info is not used with --verify"},
        UsageCase{"ConsoleWithList", {"--console", "--list", "x.exe"}, "--console is not used with --list"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(WindowsOptionUsage, AreRefusedForAMainBinaryBuiltForLinux) {
    // The target is the main binary's when --target is not given.
    TempDir dir;
    write(dir / "app/main.so", main_binary_image("linux"));
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {"--console"}, {"--icon", "x.ico"}, {"--version-info", "product=X", "--console"}}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-o", (dir / "out").string(), (dir / "app").string(), "main.so"});
        std::string out, err;
        EXPECT_EQ(run_cli(args, &out, &err), 1) << err;
        EXPECT_EQ(err, "onefile-pack: " + options[0] +
                           " is only for a Windows executable, and main.so is built for Linux (see onefile-pack "
                           "--help)\n");
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

// A kit directory without a launcher: these tests end before the launcher is read.
fs::path empty_kit(const fs::path& dir) {
    fs::create_directories(dir / "kit");
    return dir / "kit";
}

TEST(WindowsOptions, AMalformedIconIsRefusedBeforeAnythingIsPacked) {
    TempDir dir;
    write(dir / "app/main.dll", main_binary_image("windows"));
    write(dir / "bad.ico", valid_ico().substr(0, 40));
    const fs::path kit = empty_kit(dir.path());
    std::string err;
    EXPECT_EQ(run_cli({"--kit", kit.string(), "--icon", (dir / "bad.ico").string(), "-o", (dir / "out.exe").string(),
                       (dir / "app").string(), "main.dll"},
                      nullptr, &err),
              2);
    EXPECT_EQ(err, "onefile-pack: the icon '" + (dir / "bad.ico").string() +
                       "' is not a usable .ico file: its 3 directory entries run past the end of the file\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST(WindowsOptions, AMissingIconIsRefused) {
    TempDir dir;
    write(dir / "app/main.dll", main_binary_image("windows"));
    const fs::path kit = empty_kit(dir.path());
    std::string err;
    EXPECT_EQ(run_cli({"--kit", kit.string(), "--icon", (dir / "none.ico").string(), "-o", (dir / "out.exe").string(),
                       (dir / "app").string(), "main.dll"},
                      nullptr, &err),
              2);
    EXPECT_EQ(err.rfind("onefile-pack: cannot read '" + (dir / "none.ico").string() + "': ", 0), 0u) << err;
}

TEST(WindowsOptions, AKitWithoutItsLauncherIsNamedAndNothingIsWritten) {
    TempDir dir;
    write(dir / "app/main.dll", main_binary_image("windows"));
    write(dir / "app.ico", valid_ico());
    const fs::path kit = empty_kit(dir.path());
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, std::vector<std::string>{"--console", "--icon", (dir / "app.ico").string()}}) {
        std::vector<std::string> args = {"--kit", kit.string()};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"-o", (dir / "out.exe").string(), (dir / "app").string(), "main.dll"});
        std::string err;
        EXPECT_EQ(run_cli(args, nullptr, &err), 2);
        EXPECT_EQ(err, "onefile-pack: the launcher kit '" + kit.string() +
                           "' has no readable 'launcher.exe'; reinstall or rebuild the kit\n");
        EXPECT_FALSE(fs::exists(dir / "out.exe"));
    }
}

// ---- packed executables --------------------------------------------------------------------------

class PackedWindowsExecutable : public ::testing::Test {
protected:
    void SetUp() override {
        if (!windows_kit_available()) GTEST_SKIP() << "no Windows kit";
        // A DLL the packer accepts, though no loader could run it: these executables are only read.
        write(dir_ / "app/main.dll", main_binary_image("windows"));
        write(dir_ / "app.ico", ico_file(sample_images()));
    }

    pe_test::PeImage pack(const std::vector<std::string>& options, const std::string& name = "out.exe") {
        std::vector<std::string> args = {"--quiet", "--kit", windows_kit()};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"-o", (dir_ / name).string(), (dir_ / "app").string(), "main.dll"});
        std::string err;
        EXPECT_EQ(run_cli(args, nullptr, &err), 0) << err;
        return pe_test::read_pe(read(dir_ / name));
    }

    static void expect_one_manifest(const pe_test::PeImage& image) {
        const auto manifests = pe_test::resources_of_type(image, pe_test::RT_MANIFEST);
        ASSERT_EQ(manifests.size(), 1u);
        EXPECT_EQ(manifests[0]->name.id, 1);  // CREATEPROCESS_MANIFEST_RESOURCE_ID
        EXPECT_NE(manifests[0]->data.find("level=\"asInvoker\""), std::string::npos);
    }

    TempDir dir_;
};

TEST_F(PackedWindowsExecutable, ByDefaultIsAGuiProgramWithTheManifestAsItsOnlyResource) {
    const pe_test::PeImage image = pack({});
    EXPECT_EQ(image.subsystem, 2);
    EXPECT_EQ(image.stack_reserve, 8u << 20);
    EXPECT_EQ(image.stack_commit, 4096u);
    EXPECT_EQ(image.resources.size(), 1u);
    expect_one_manifest(image);
}

TEST_F(PackedWindowsExecutable, WithConsoleIsAConsoleProgramAndOtherwiseTheSame) {
    const pe_test::PeImage image = pack({"--console"});
    EXPECT_EQ(image.subsystem, 3);
    EXPECT_EQ(image.stack_reserve, 8u << 20);
    EXPECT_EQ(image.stack_commit, 4096u);
    EXPECT_EQ(image.resources.size(), 1u);
    expect_one_manifest(image);
}

TEST_F(PackedWindowsExecutable, CarriesTheIconGroupAndEveryImageOfTheIcoFile) {
    const pe_test::PeImage image = pack({"--icon", (dir_ / "app.ico").string()});
    EXPECT_EQ(image.subsystem, 2);
    expect_one_manifest(image);
    const auto groups = pe_test::resources_of_type(image, pe_test::RT_GROUP_ICON);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0]->name, (pe_test::ResourceId{false, 1, {}}));
    const auto entries = pe_test::read_group_icon(groups[0]->data);
    const auto icons = pe_test::resources_of_type(image, pe_test::RT_ICON);
    const std::vector<IcoImage> images = sample_images();
    ASSERT_EQ(entries.size(), images.size());
    ASSERT_EQ(icons.size(), images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].width, images[i].width);
        EXPECT_EQ(entries[i].height, images[i].height);
        EXPECT_EQ(entries[i].planes, 1);
        EXPECT_EQ(entries[i].bit_count, images[i].bit_count);
        EXPECT_EQ(entries[i].bytes_in_res, images[i].bytes.size());
        // The entry's id names the RT_ICON resource that holds exactly that image.
        const pe_test::Resource* icon = nullptr;
        for (const auto* candidate : icons) {
            if (!candidate->name.named && candidate->name.id == entries[i].id) icon = candidate;
        }
        ASSERT_NE(icon, nullptr) << "no RT_ICON " << entries[i].id;
        EXPECT_EQ(icon->data, images[i].bytes);
    }
    EXPECT_TRUE(pe_test::resources_of_type(image, pe_test::RT_VERSION).empty());
}

TEST_F(PackedWindowsExecutable, CarriesTheVersionInformationWithTheOutputsName) {
    const pe_test::PeImage image =
        pack({"--version-info", "product=Fixture Suite", "--version-info", "version=4.3.2.1", "--version-info",
              "company=Example Ltd", "--version-info=description=The fixture, packed", "--version-info",
              "copyright=© 2026 Example"},
             "fixture-suite.exe");
    EXPECT_EQ(image.subsystem, 2);
    expect_one_manifest(image);
    const auto versions = pe_test::resources_of_type(image, pe_test::RT_VERSION);
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0]->name.id, 1);
    EXPECT_EQ(versions[0]->language.id, 0x0409);
    const pe_test::VersionResource version = pe_test::read_version(versions[0]->data);
    EXPECT_EQ(version.signature, 0xFEEF04BDu);
    EXPECT_EQ(version.file_version, (std::array<uint16_t, 4>{4, 3, 2, 1}));
    EXPECT_EQ(version.product_version, (std::array<uint16_t, 4>{4, 3, 2, 1}));
    const std::map<std::u16string, std::u16string> expected = {
        {u"ProductName", u"Fixture Suite"},
        {u"ProductVersion", u"4.3.2.1"},
        {u"FileVersion", u"4.3.2.1"},
        {u"CompanyName", u"Example Ltd"},
        {u"FileDescription", u"The fixture, packed"},
        {u"LegalCopyright", u"© 2026 Example"},
        {u"OriginalFilename", u"fixture-suite.exe"},
    };
    ASSERT_EQ(version.tables.size(), 1u);
    EXPECT_EQ(version.tables.at(u"040904B0"), expected);
    EXPECT_EQ(version.translations, (std::vector<uint32_t>{0x04B00409u}));
    EXPECT_TRUE(pe_test::resources_of_type(image, pe_test::RT_ICON).empty());
}

TEST_F(PackedWindowsExecutable, TakesAllThreeTogether) {
    const pe_test::PeImage image =
        pack({"--console", "--icon", (dir_ / "app.ico").string(), "--version-info", "version=2"});
    EXPECT_EQ(image.subsystem, 3);
    expect_one_manifest(image);
    EXPECT_EQ(pe_test::resources_of_type(image, pe_test::RT_GROUP_ICON).size(), 1u);
    EXPECT_EQ(pe_test::resources_of_type(image, pe_test::RT_ICON).size(), 3u);
    const auto versions = pe_test::resources_of_type(image, pe_test::RT_VERSION);
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(pe_test::read_version(versions[0]->data).file_version, (std::array<uint16_t, 4>{2, 0, 0, 0}));
}

TEST_F(PackedWindowsExecutable, RawAttachedDataTakesTheOptionsToo) {
    write(dir_ / "attached.bin", "raw bytes");
    std::string err;
    ASSERT_EQ(run_cli({"--quiet", "--kit", windows_kit(), "--console", "--icon", (dir_ / "app.ico").string(),
                       "--raw-attached", (dir_ / "attached.bin").string(), "-o", (dir_ / "raw.exe").string()},
                      nullptr, &err),
              0)
        << err;
    const pe_test::PeImage image = pe_test::read_pe(read(dir_ / "raw.exe"));
    EXPECT_EQ(image.subsystem, 3);
    EXPECT_EQ(pe_test::resources_of_type(image, pe_test::RT_ICON).size(), 3u);
}

TEST_F(PackedWindowsExecutable, SameInputsGiveIdenticalExecutables) {
    const std::vector<std::string> options = {"--console",      "--icon",    (dir_ / "app.ico").string(),
                                              "--version-info", "product=P", "--version-info",
                                              "version=1.0"};
    // The same output name in two directories: the name is part of the version information.
    fs::create_directories(dir_ / "one");
    fs::create_directories(dir_ / "two");
    pack(options, "one/app.exe");
    pack(options, "two/app.exe");
    EXPECT_TRUE(read(dir_ / "one/app.exe") == read(dir_ / "two/app.exe"));
}

TEST_F(PackedWindowsExecutable, HoldsWhatTheResourceSectionWriterLaysOut) {
    // The executable's resources are the kit's manifest and what the options ask for, laid out
    // by the resource section writer: the same resources in the same order with the same bytes.
    const pe_test::PeImage image =
        pack({"--icon", (dir_ / "app.ico").string(), "--version-info", "product=P", "--version-info", "version=1.2"},
             "same.exe");
    onefile::pack::ExtraResources extra;
    extra.icon = onefile::pack::parse_ico(read(dir_ / "app.ico"), "app.ico");
    onefile::pack::VersionInfo info;
    info.product = "P";
    info.version = "1.2";
    extra.version = onefile::pack::version_resource(info, "same.exe");
    const std::string manifest = read(fs::path(ONEFILE_SOURCE_DIR) / "src/platform/win32/launcher.manifest");
    const std::vector<pe_test::Resource> written = pe_test::read_resource_section(
        onefile::pack::resource_section(onefile::pack::launcher_resources(manifest, extra), 0x1000), 0x1000);
    ASSERT_EQ(written.size(), image.resources.size());
    ASSERT_EQ(written.size(), 6u);
    for (size_t i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(written[i].type, image.resources[i].type);
        EXPECT_EQ(written[i].name, image.resources[i].name);
        EXPECT_EQ(written[i].language, image.resources[i].language);
        EXPECT_TRUE(written[i].data == image.resources[i].data);
    }
}

// ---- the reader itself ---------------------------------------------------------------------------

TEST(PeReader, RefusesTruncatedAndDamagedExecutablesWithoutReadingOutside) {
    if (!windows_kit_available()) GTEST_SKIP() << "no Windows kit";
    TempDir dir;
    write(dir / "app/main.dll", main_binary_image("windows"));
    ASSERT_EQ(run_cli({"--quiet", "--kit", windows_kit(), "--version-info", "product=P", "-o",
                       (dir / "out.exe").string(), (dir / "app").string(), "main.dll"}),
              0);
    const std::string exe = read(dir / "out.exe");
    ASSERT_NO_THROW(pe_test::read_pe(exe));
    // Cut anywhere in the headers, the file is refused rather than read past its end.
    for (size_t size : {size_t{0}, size_t{2}, size_t{0x3C}, size_t{0x80}, size_t{0x100}, size_t{0x200}}) {
        EXPECT_THROW(pe_test::read_pe(exe.substr(0, size)), pe_test::PeError) << size;
    }
    // A version block whose length runs past the resource.
    const auto image = pe_test::read_pe(exe);
    std::string version = pe_test::resources_of_type(image, pe_test::RT_VERSION).at(0)->data;
    version[0] = '\xff';
    version[1] = '\x7f';
    EXPECT_THROW(pe_test::read_version(version), pe_test::PeError);
}

}  // namespace
