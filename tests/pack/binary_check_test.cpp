// The main binary check: what it refuses, what it warns about, the target it picks, and that no cut
// or garbled file makes it read past the bytes it was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "binary_check.h"
#include "binary_images.h"
#include "cli.h"
#include "errors.h"
#include "pack_test_support.h"

namespace fs = std::filesystem;

using onefile::pack::BinaryFacts;
using onefile::pack::BinaryVerdict;
using onefile::pack::check_main_binary;
using onefile::pack::read_binary_facts;
using onefile::pack::Target;
using pack_test::elf_image;
using pack_test::ElfLayout;
using pack_test::pe_image;
using pack_test::PeLayout;
using pack_test::read;
using pack_test::TempDir;
using pack_test::write;

namespace {

// The fixtures (tests/fixtures) of this build, beside the packer, and of the sibling Windows build.
fs::path build_root() { return fs::path(ONEFILE_PACK_PATH).parent_path().parent_path().parent_path(); }
fs::path linux_fixture(const std::string& stem) { return fs::path(ONEFILE_PACK_PATH).parent_path() / (stem + ".so"); }
fs::path windows_fixture(const std::string& stem) { return build_root() / "windows/bin" / (stem + ".dll"); }
std::string windows_kit() { return (build_root() / "windows/share/onefile/windows").string(); }

bool windows_build_present() {
    if (fs::exists(windows_fixture("fixture_app")) && fs::exists(fs::path(windows_kit()) / "launcher.exe")) return true;
    if (std::getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) {
        ADD_FAILURE() << "no Windows build in " << build_root() / "windows";
    }
    return false;
}

std::string read_bytes(const fs::path& path) { return read(path); }

std::span<const unsigned char> bytes_of(std::string_view image) {
    return {reinterpret_cast<const unsigned char*>(image.data()), image.size()};
}

// A named file to put into the application directory: given bytes, or a copy of a built fixture.
struct AppFile {
    std::string name;
    std::function<std::string()> content;
};

AppFile bytes(std::string name, std::string content) {
    return {std::move(name), [content] { return content; }};
}
AppFile fixture(std::string name, fs::path path) {
    return {std::move(name), [path] { return read_bytes(path); }};
}

enum class Needs { Nothing, WindowsBuild };

struct CheckCase {
    const char* label;
    AppFile main;                   // placed at main_name
    std::string main_name = "";     // empty: main.name
    std::vector<AppFile> others{};  // more files of the application
    std::optional<Target> requested = std::nullopt;
    // Either a refusal, whose message must hold every text of `refusal` ("MAIN" stands for the main
    // binary's quoted path) ...
    std::vector<std::string> refusal{};
    // ... or acceptance with this target and exactly these warnings (each holding its texts).
    Target target = Target::Linux;
    std::vector<std::vector<std::string>> warnings{};
    Needs needs = Needs::Nothing;
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.label; }

class MainBinaryCheck : public ::testing::TestWithParam<CheckCase> {};

std::string replace_main(std::string text, const std::string& main) {
    if (const std::size_t at = text.find("MAIN"); at != std::string::npos) text.replace(at, 4, main);
    return text;
}

TEST_P(MainBinaryCheck, RefusesWarnsOrPicksTheTarget) {
    const CheckCase& c = GetParam();
    if (c.needs == Needs::WindowsBuild && !windows_build_present()) GTEST_SKIP() << "no Windows build";
    TempDir dir;
    const std::string main_name = c.main_name.empty() ? c.main.name : c.main_name;
    write(dir / "app" / main_name, c.main.content());
    for (const AppFile& file : c.others) write(dir / "app" / file.name, file.content());
    const std::string shown = "'" + (dir / "app" / main_name).string() + "'";

    std::optional<BinaryVerdict> verdict;
    std::string refused;
    try {
        verdict = check_main_binary(dir / "app", main_name, c.requested);
    } catch (const onefile::pack::PackError& error) {
        refused = error.what();
    }
    if (!c.refusal.empty()) {
        ASSERT_FALSE(verdict) << "accepted";
        EXPECT_TRUE(refused.starts_with("the main binary " + shown + " ")) << refused;
        for (const std::string& text : c.refusal) {
            EXPECT_NE(refused.find(replace_main(text, shown)), std::string::npos) << refused;
        }
        EXPECT_EQ(refused.find('\n'), std::string::npos) << refused;
        return;
    }
    ASSERT_TRUE(verdict) << refused;
    EXPECT_EQ(verdict->target, c.target);
    ASSERT_EQ(verdict->warnings.size(), c.warnings.size()) << ::testing::PrintToString(verdict->warnings);
    for (std::size_t i = 0; i < c.warnings.size(); ++i) {
        EXPECT_TRUE(verdict->warnings[i].starts_with("the main binary " + shown + " ")) << verdict->warnings[i];
        for (const std::string& text : c.warnings[i]) {
            EXPECT_NE(verdict->warnings[i].find(replace_main(text, shown)), std::string::npos) << verdict->warnings[i];
        }
    }
}

ElfLayout elf(std::function<void(ElfLayout&)> change = {}) {
    ElfLayout layout;
    if (change) change(layout);
    return layout;
}
PeLayout pe(std::function<void(PeLayout&)> change = {}) {
    PeLayout layout;
    if (change) change(layout);
    return layout;
}
std::string cut(const std::string& image, std::size_t size) { return image.substr(0, size); }

const std::string EXEC_HINT = "use --exec APP_DIR PROGRAM";
const std::string NOT_X86_64 = "but the launcher runs only 64-bit x86-64 main binaries: build it for x86-64";
const std::string MISSING_HELPER = "which is neither in the application directory";

INSTANTIATE_TEST_SUITE_P(
    Packer, MainBinaryCheck,
    ::testing::Values(
        // Neither format, or a cut or damaged header.
        CheckCase{"Text", bytes("main.so", "this is text, not a library\n"), "", {}, std::nullopt,
                  {"is neither a PE nor an ELF file: give a Windows DLL or a Linux shared object that exports "
                   "onefile_main"}},
        CheckCase{"EmptyFile", bytes("main.so", ""), "", {}, std::nullopt, {"is neither a PE nor an ELF file"}},
        CheckCase{"ElfHeaderCutShort", bytes("main.so", cut(elf_image(elf()), 40)), "", {}, std::nullopt,
                  {"is not a valid ELF file (the ELF header is cut short): rebuild it, or check that it was copied "
                   "whole"}},
        CheckCase{"ElfDynamicSectionCutShort", bytes("main.so", cut(elf_image(elf()), elf_image(elf()).size() - 1)),
                  "", {}, std::nullopt,
                  {"is not a valid ELF file (the dynamic section lies past the end of the file)"}},
        CheckCase{"ElfProgramHeadersPastTheEnd",
                  bytes("main.so",
                        [] {
                            std::string image = elf_image(elf());
                            image[32 + 5] = 1;  // e_phoff far beyond the file
                            return image;
                        }()),
                  "", {}, std::nullopt, {"is not a valid ELF file (a program header lies past the end of the file)"}},
        CheckCase{"ElfUnknownClass",
                  bytes("main.so",
                        [] {
                            std::string image = elf_image(elf());
                            image[4] = 7;
                            return image;
                        }()),
                  "", {}, std::nullopt, {"is not a valid ELF file (its class is neither 32- nor 64-bit)"}},
        CheckCase{"PeHeaderCutShort", bytes("main.dll", cut(pe_image(pe()), 0x50)), "", {}, std::nullopt,
                  {"is not a valid PE file (the file header lies past the end of the file)"}},
        CheckCase{"PeWithoutSignature", bytes("main.dll", "MZ" + std::string(0x100, '\0')), "", {}, std::nullopt,
                  {"is not a valid PE file (no PE signature where the DOS header points)"}},
        CheckCase{"PeImportNameCutShort",
                  bytes("main.dll", cut(pe_image(pe([](PeLayout& s) { s.imports = {"KERNEL32.dll"}; })),
                                        pe_image(pe([](PeLayout& s) { s.imports = {"KERNEL32.dll"}; })).size() - 1)),
                  "", {}, std::nullopt,
                  {"is not a valid PE file (an imported DLL's name runs past the end of the file)"}},
        // The wrong machine.
        CheckCase{"Elf32Bit", bytes("main.so", elf_image(elf([](ElfLayout& s) {
                                        s.wide = false;
                                        s.machine = 3;
                                    }))),
                  "", {}, std::nullopt, {"is built for 32-bit x86, " + NOT_X86_64}},
        CheckCase{"ElfArm64", bytes("main.so", elf_image(elf([](ElfLayout& s) { s.machine = 183; }))), "", {},
                  std::nullopt, {"is built for ARM64, " + NOT_X86_64}},
        CheckCase{"ElfBigEndian", bytes("main.so", elf_image(elf([](ElfLayout& s) { s.little_endian = false; }))), "", {},
                  std::nullopt, {"is built for big-endian x86-64, " + NOT_X86_64}},
        CheckCase{"Pe32Bit", bytes("main.dll", pe_image(pe([](PeLayout& s) {
                                       s.wide = false;
                                       s.machine = 0x14c;
                                   }))),
                  "", {}, std::nullopt, {"is built for 32-bit x86, " + NOT_X86_64}},
        CheckCase{"PeArm64", bytes("main.dll", pe_image(pe([](PeLayout& s) { s.machine = 0xaa64; }))), "", {},
                  std::nullopt, {"is built for ARM64, " + NOT_X86_64}},
        // The other target than the one asked for.
        CheckCase{"ElfForWindows", bytes("main.so", elf_image(elf())), "", {}, Target::Windows,
                  {"is a Linux (ELF) file, but --target windows was given: build the main binary for windows, or "
                   "leave --target out to pack for linux"}},
        CheckCase{"DllForLinux", bytes("main.dll", pe_image(pe())), "", {}, Target::Linux,
                  {"is a Windows (PE) file, but --target linux was given: build the main binary for linux, or leave "
                   "--target out to pack for windows"}},
        // Programs.
        CheckCase{"PeProgram", bytes("main.exe", pe_image(pe([](PeLayout& s) { s.dll = false; }))), "", {},
                  std::nullopt,
                  {"is a Windows program (a PE file without the DLL flag), not a DLL: the launcher loads the main "
                   "binary as a library and calls its entry, so build it as a DLL exporting onefile_main; to pack a "
                   "program, use --exec APP_DIR PROGRAM"}},
        CheckCase{"ElfStaticExecutable", bytes("main", elf_image(elf([](ElfLayout& s) { s.type = 2; }))), "", {},
                  std::nullopt,
                  {"is a static executable, not a shared object: the launcher loads the main binary as a library and "
                   "calls its onefile_main, so build it with -shared; to pack a program, use --exec APP_DIR PROGRAM"}},
        CheckCase{"ElfPositionDependentExecutable", bytes("main", elf_image(elf([](ElfLayout& s) {
                                                              s.type = 2;
                                                              s.interpreter = true;
                                                          }))),
                  "", {}, std::nullopt, {"is a position-dependent executable, not a shared object", EXEC_HINT}},
        CheckCase{"ElfPositionIndependentExecutable", bytes("main", elf_image(elf([](ElfLayout& s) {
                                                                s.interpreter = true;
                                                                s.pie_flag = true;
                                                            }))),
                  "", {}, std::nullopt, {"is a position-independent executable, not a shared object", EXEC_HINT}},
        CheckCase{"ElfExecutableOfAnOlderLinker", bytes("main", elf_image(elf([](ElfLayout& s) {
                                                            s.interpreter = true;
                                                            s.symbol = "main";
                                                        }))),
                  "", {}, std::nullopt, {"is a position-independent executable", EXEC_HINT}},
        CheckCase{"BuiltPositionIndependentExecutable", fixture("onefile-pack", ONEFILE_PACK_PATH), "", {},
                  std::nullopt, {"is a position-independent executable", EXEC_HINT}},
        CheckCase{"ElfObjectFile", bytes("main.o", elf_image(elf([](ElfLayout& s) { s.type = 1; }))), "", {},
                  std::nullopt, {"is an ELF object file, not a shared object: link it with -shared"}},
        // Libraries without the entry.
        CheckCase{"SharedObjectWithoutEntry", bytes("main.so", elf_image(elf([](ElfLayout& s) { s.symbol = "other"; }))),
                  "", {}, std::nullopt,
                  {"does not export onefile_main (no defined function of that name in its dynamic symbol table), "
                   "which the launcher calls as the entry: define it with ONEFILE_ENTRY from onefile/entry.h"}},
        CheckCase{"SharedObjectWithUndefinedEntry",
                  bytes("main.so", elf_image(elf([](ElfLayout& s) { s.symbol_section = 0; }))), "", {}, std::nullopt,
                  {"does not export onefile_main"}},
        CheckCase{"SharedObjectWhoseEntryIsData",
                  bytes("main.so", elf_image(elf([](ElfLayout& s) { s.symbol_type = 1; }))), "", {}, std::nullopt,
                  {"does not export onefile_main"}},
        CheckCase{"BuiltSharedObjectWithoutEntry", fixture("fixture_no_entry.so", linux_fixture("fixture_no_entry")),
                  "", {}, std::nullopt, {"does not export onefile_main"}},
        CheckCase{"DllWithoutOrdinal1", bytes("main.dll", pe_image(pe([](PeLayout& s) {
                                                  s.ordinal_base = 2;
                                                  s.exports = {{2, "fixture_not_an_entry"}};
                                              }))),
                  "", {}, std::nullopt,
                  {"has no export with ordinal 1, which the launcher calls as the entry: link it with a "
                   "module-definition file holding 'onefile_main @1 NONAME' (share/onefile/onefile_main.def)"}},
        CheckCase{"DllWhoseOrdinal1IsEmpty", bytes("main.dll", pe_image(pe([](PeLayout& s) {
                                                       s.exports = {{2, "onefile_main"}};
                                                   }))),
                  "", {}, std::nullopt, {"has no export with ordinal 1"}},
        CheckCase{"DllWithoutExports", bytes("main.dll", pe_image(pe([](PeLayout& s) { s.exports = {}; }))), "", {},
                  std::nullopt, {"has no export with ordinal 1"}},
        CheckCase{"BuiltDllWithoutOrdinal1", fixture("fixture_no_entry.dll", windows_fixture("fixture_no_entry")), "",
                  {}, std::nullopt, {"has no export with ordinal 1"}, Target::Windows, {}, Needs::WindowsBuild},
        // Accepted, and the target follows the binary.
        CheckCase{"SharedObject", bytes("main.so", elf_image(elf())), "", {}, std::nullopt, {}, Target::Linux},
        CheckCase{"SharedObjectForLinux", bytes("main.so", elf_image(elf())), "", {}, Target::Linux, {}, Target::Linux},
        CheckCase{"RunnableSharedObjectWithEntry",
                  bytes("main.so", elf_image(elf([](ElfLayout& s) { s.interpreter = true; }))), "", {}, std::nullopt, {},
                  Target::Linux},
        CheckCase{"DllWithUnnamedOrdinal1", bytes("main.dll", pe_image(pe())), "", {}, std::nullopt, {},
                  Target::Windows},
        CheckCase{"DllForWindows", bytes("main.dll", pe_image(pe())), "", {}, Target::Windows, {}, Target::Windows},
        CheckCase{"DllWhoseOrdinal1IsNamedOnefileMain",
                  bytes("main.dll", pe_image(pe([](PeLayout& s) { s.exports = {{1, "onefile_main"}, {2, "zeta"}}; }))),
                  "", {}, std::nullopt, {}, Target::Windows},
        CheckCase{"BuiltSharedObject", fixture("fixture_app.so", linux_fixture("fixture_app")), "",
                  {fixture("fixture_helper.so", linux_fixture("fixture_helper"))}, std::nullopt, {}, Target::Linux},
        CheckCase{"BuiltDll", fixture("fixture_app.dll", windows_fixture("fixture_app")), "",
                  {fixture("fixture_helper.dll", windows_fixture("fixture_helper"))}, std::nullopt, {},
                  Target::Windows, {}, Needs::WindowsBuild},
        // Ordinal 1 is not onefile_main.
        CheckCase{"DllLinkedWithoutTheDefinitionFile",
                  bytes("main.dll", pe_image(pe([](PeLayout& s) { s.exports = {{1, "fixture_first"}, {2, "onefile_main"}}; }))),
                  "", {}, std::nullopt, {}, Target::Windows,
                  {{"has 'fixture_first' as export ordinal 1, which the launcher calls as the entry (onefile_main "
                    "is ordinal 2): link the DLL with a module-definition file holding 'onefile_main @1 NONAME' "
                    "(share/onefile/onefile_main.def)"}}},
        CheckCase{"DllWithUnnamedOrdinal1AndTheEntryElsewhere",
                  bytes("main.dll", pe_image(pe([](PeLayout& s) { s.exports = {{1, ""}, {2, "onefile_main"}}; }))), "",
                  {}, std::nullopt, {}, Target::Windows,
                  {{"has an export without a name as export ordinal 1, which the launcher calls as the entry "
                    "(onefile_main is ordinal 2)"}}},
        CheckCase{"DllWithOtherExportsOnly",
                  bytes("main.dll", pe_image(pe([](PeLayout& s) { s.exports = {{1, "helper_value"}}; }))), "", {},
                  std::nullopt, {}, Target::Windows, {{"has 'helper_value' as export ordinal 1, which the launcher calls as the entry (no export is "
                    "named onefile_main)"}}},
        CheckCase{"BuiltDllWithoutTheDefinitionFile", fixture("fixture_helper.dll", windows_fixture("fixture_helper")),
                  "", {}, std::nullopt, {}, Target::Windows,
                  {{"has 'fixture_helper_value' as export ordinal 1", "(no export is named onefile_main)"}},
                  Needs::WindowsBuild},
        // Libraries the application does not ship (Windows).
        CheckCase{"DllImportsAMissingLibrary",
                  bytes("main.dll", pe_image(pe([](PeLayout& s) {
                            s.imports = {"KERNEL32.dll", "libmissing-1.dll", "msvcrt.dll",
                                         "api-ms-win-crt-runtime-l1-1-0.dll", "USER32.DLL", "Shipped.DLL", "beside.dll"};
                        }))),
                  "bin/main.dll", {bytes("shipped.dll", "at the top"), bytes("bin/BESIDE.dll", "beside the main binary")},
                  std::nullopt, {}, Target::Windows,
                  {{"imports 'libmissing-1.dll', which is neither in the application directory (beside the main binary "
                    "or at its top) nor a known Windows system DLL: unless the machine that runs the program has it "
                    "in its system directory, it will fail with 'Module not found'; copy 'libmissing-1.dll' into "
                    "APP_DIR"}}},
        CheckCase{"DllImportsALibraryOnlyInASubdirectory",
                  bytes("main.dll", pe_image(pe([](PeLayout& s) { s.imports = {"deep.dll"}; }))), "",
                  {bytes("lib/deep.dll", "not where the loader looks")}, std::nullopt, {}, Target::Windows,
                  {{"imports 'deep.dll'"}}},
        CheckCase{"BuiltDllWithoutItsHelper", fixture("fixture_app.dll", windows_fixture("fixture_app")), "", {},
                  std::nullopt, {}, Target::Windows, {{"imports 'fixture_helper.dll'", MISSING_HELPER}},
                  Needs::WindowsBuild},
        // Libraries the application does not ship (Linux).
        CheckCase{"SharedObjectNeedsAMissingLibrary",
                  bytes("main.so", elf_image(elf([](ElfLayout& s) {
                            s.needed = {"libc.so.6", "libonefile-absent.so.1", "libtop.so", "libbeside.so", "libpath.so",
                                        "libdeep.so", "libcase.so"};
                            s.run_path = "$ORIGIN/../lib:/nonexistent";
                        }))),
                  "bin/main.so",
                  {bytes("libtop.so", "top"), bytes("bin/libbeside.so", "beside"), bytes("lib/libpath.so", "run path"),
                   bytes("data/libdeep.so", "not searched"), bytes("LIBCASE.so", "another name on Linux")},
                  std::nullopt, {}, Target::Linux,
                  {{"needs 'libonefile-absent.so.1', which is neither in the application directory (at its top or "
                    "in a run path directory of the main binary) nor in this machine's /lib/x86_64-linux-gnu, "
                    "/usr/lib/x86_64-linux-gnu, /lib64, /usr/lib64, /lib, /usr/lib: the program will fail to start "
                    "where the loader cannot find it; copy 'libonefile-absent.so.1' into APP_DIR"},
                   // Beside a main binary in a subdirectory is not searched without $ORIGIN in the run path.
                   {"needs 'libbeside.so'"},
                   {"needs 'libdeep.so'"},
                   {"needs 'libcase.so'"}}},
        CheckCase{"RunPathOriginFindsLibrariesBesideTheMainBinary",
                  bytes("main.so", elf_image(elf([](ElfLayout& s) {
                            s.needed = {"libbeside.so"};
                            s.run_path = "${ORIGIN}";
                        }))),
                  "bin/main.so", {bytes("bin/libbeside.so", "beside")}, std::nullopt, {}, Target::Linux, {}},
        CheckCase{"RunPathOutsideTheApplicationShipsNothing",
                  bytes("main.so", elf_image(elf([](ElfLayout& s) {
                            s.needed = {"libelsewhere.so"};
                            s.run_path = "$ORIGIN/../outside";
                        }))),
                  "", {bytes("../outside/libelsewhere.so", "beside the application, not in it")}, std::nullopt, {},
                  Target::Linux, {{"needs 'libelsewhere.so'"}}},
        CheckCase{"BuiltSharedObjectWithoutItsHelper", fixture("fixture_app.so", linux_fixture("fixture_app")), "", {},
                  std::nullopt, {}, Target::Linux, {{"needs 'fixture_helper.so'", MISSING_HELPER}}}),
    [](const auto& info) { return std::string(info.param.label); });

// The parse of a cut image: a clean "malformed" (or "not a binary" before the magic is whole) at
// every length, never a read past the end (the ASan build would stop there).
TEST(MainBinaryFacts, EveryCutOfASyntheticImageIsMalformed) {
    const std::vector<std::pair<const char*, std::string>> images = {
        {"shared object", elf_image(elf([](ElfLayout& s) {
             s.needed = {"libc.so.6", "libm.so.6"};
             s.run_path = "$ORIGIN";
             s.interpreter = true;
         }))},
        {"DLL", pe_image(pe([](PeLayout& s) {
             s.exports = {{1, ""}, {2, "onefile_main"}, {3, "other"}};
             s.imports = {"KERNEL32.dll", "fixture_helper.dll"};
         }))},
    };
    for (const auto& [label, image] : images) {
        SCOPED_TRACE(label);
        const BinaryFacts whole = read_binary_facts(bytes_of(image));
        ASSERT_FALSE(whole.malformed) << *whole.malformed;
        EXPECT_EQ(whole.imports.size(), 2u);
        for (std::size_t size = 0; size < image.size(); ++size) {
            const std::string part = image.substr(0, size);
            const BinaryFacts facts = read_binary_facts(bytes_of(part));
            if (size < 4 && facts.format == BinaryFacts::Format::NotABinary) continue;
            EXPECT_TRUE(facts.malformed) << "cut at " << size;
            EXPECT_TRUE(facts.imports.empty()) << "cut at " << size;
        }
    }
}

// Built binaries cut at every length through their headers and at steps beyond: the reader stays
// inside what it is given, and a cut it does not call malformed reads exactly what the whole file does.
TEST(MainBinaryFacts, CutsOfBuiltLibrariesAreReadSafely) {
    std::vector<fs::path> files = {linux_fixture("fixture_app"), linux_fixture("fixture_no_entry"), ONEFILE_PACK_PATH};
    if (windows_build_present()) {
        files.push_back(windows_fixture("fixture_app"));
        files.push_back(windows_fixture("fixture_helper"));
    }
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const std::string image = read_bytes(file);
        ASSERT_FALSE(image.empty());
        const BinaryFacts whole = read_binary_facts(bytes_of(image));
        ASSERT_FALSE(whole.malformed) << *whole.malformed;
        std::size_t read_whole = 0;
        // Every length through the headers, then some 500 more, at an odd step.
        const std::size_t step = std::max<std::size_t>(97, image.size() / 500 | 1);
        for (std::size_t size = 0; size < image.size(); size += size < 8192 ? 1 : step) {
            const BinaryFacts facts = read_binary_facts(bytes_of(std::string_view(image).substr(0, size)));
            if (facts.malformed || facts.format == BinaryFacts::Format::NotABinary) continue;
            // A cut that the reader accepts lies past everything it reads, so it reads the same.
            ++read_whole;
            EXPECT_EQ(facts.imports, whole.imports) << "cut at " << size;
            EXPECT_EQ(facts.exports_onefile_main, whole.exports_onefile_main) << "cut at " << size;
            EXPECT_EQ(facts.has_ordinal_1, whole.has_ordinal_1) << "cut at " << size;
            EXPECT_EQ(facts.ordinal_1_name, whole.ordinal_1_name) << "cut at " << size;
            EXPECT_EQ(facts.library, whole.library) << "cut at " << size;
            EXPECT_EQ(facts.run_path, whole.run_path) << "cut at " << size;
        }
    }
}

// Random bytes behind each magic number: whatever they say, the reader stays inside them.
TEST(MainBinaryFacts, GarbageAfterTheMagicNumberIsReadSafely) {
    std::mt19937 generator(7);
    const std::vector<std::string> starts = {elf_image(elf()).substr(0, 64), pe_image(pe()).substr(0, 0x148)};
    int malformed = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::string& start = starts[round % 2];
        std::string image = start + pack_test::random_bytes(generator() % 600, round);
        // Flip a few header bytes, so that counts and offsets point anywhere.
        for (int flip = 0; flip < 4; ++flip) {
            image[8 + generator() % (start.size() - 8)] = static_cast<char>(generator());
        }
        const BinaryFacts facts = read_binary_facts(bytes_of(image));
        if (facts.malformed) ++malformed;
    }
    EXPECT_GT(malformed, 0);
}

// --- the command line --------------------------------------------------------------------------

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

CliResult run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = onefile::pack::run_cli(args, out, err);
    return {status, out.str(), err.str()};
}

class PackerMainBinary : public ::testing::Test {
protected:
    fs::path app(const std::string& main, const std::string& content) {
        write(dir_ / "app" / main, content);
        return dir_ / "app";
    }
    std::string shown(const std::string& main) { return "'" + (dir_ / "app" / main).string() + "'"; }
    TempDir dir_;
};

TEST_F(PackerMainBinary, TheTargetFollowsASharedObject) {
    app("fixture_app.so", read_bytes(linux_fixture("fixture_app")));
    write(dir_ / "app/fixture_helper.so", read_bytes(linux_fixture("fixture_helper")));
    const std::string output = (dir_ / "packed").string();
    const CliResult result = run({"--quiet", "-o", output, (dir_ / "app").string(), "fixture_app.so"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read(output).substr(0, 4), "\x7f" "ELF");
}

TEST_F(PackerMainBinary, TheTargetFollowsADll) {
    if (!windows_build_present()) GTEST_SKIP() << "no Windows build";
    app("fixture_app.dll", read_bytes(windows_fixture("fixture_app")));
    write(dir_ / "app/fixture_helper.dll", read_bytes(windows_fixture("fixture_helper")));
    const std::string output = (dir_ / "packed.exe").string();
    const CliResult result =
        run({"--quiet", "--kit", windows_kit(), "-o", output, (dir_ / "app").string(), "fixture_app.dll"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read(output).substr(0, 2), "MZ");
}

// With --attached-only nothing is linked, but the target still decides which names are refused:
// ':' cannot be in a Windows file name.
TEST_F(PackerMainBinary, AttachedOnlyTakesTheTargetOfTheMainBinary) {
    write(dir_ / "app/notes:v1.txt", "colon");
    for (const auto& [main, content, status] :
         std::vector<std::tuple<std::string, std::string, int>>{{"main.dll", pe_image(pe()), 2},
                                                                {"main.so", elf_image(elf()), 0}}) {
        SCOPED_TRACE(main);
        fs::remove_all(dir_ / "app/main.dll");
        fs::remove_all(dir_ / "app/main.so");
        app(main, content);
        const CliResult result =
            run({"--quiet", "--attached-only", (dir_ / "attached").string(), (dir_ / "app").string(), main});
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(result.err.find("cannot be used on Windows") != std::string::npos, status == 2) << result.err;
    }
}

TEST_F(PackerMainBinary, ADllWithTargetLinuxIsRefused) {
    app("main.dll", pe_image(pe()));
    const fs::path output = dir_ / "out";
    for (const char* mode : {"-o", "--attached-only"}) {
        SCOPED_TRACE(mode);
        const CliResult result = run({"--target", "linux", mode, output.string(), (dir_ / "app").string(), "main.dll"});
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "onefile-pack: the main binary " + shown("main.dll") +
                                  " is a Windows (PE) file, but --target linux was given: build the main binary for "
                                  "linux, or leave --target out to pack for windows\n");
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST_F(PackerMainBinary, AProgramIsRefusedWithTheWayToPackIt) {
    app("tool", read_bytes(ONEFILE_PACK_PATH));
    const CliResult result = run({"-o", (dir_ / "out").string(), (dir_ / "app").string(), "tool"});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.err.starts_with("onefile-pack: the main binary " + shown("tool") +
                                       " is a position-independent executable, not a shared object"))
        << result.err;
    EXPECT_TRUE(result.err.ends_with("; to pack a program, use --exec APP_DIR PROGRAM\n")) << result.err;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// A warning does not stop the pack, and --quiet does not hide it.
TEST_F(PackerMainBinary, WarningsGoToStandardErrorAndThePackGoesOn) {
    app("fixture_app.so", read_bytes(linux_fixture("fixture_app")));
    const std::string output = (dir_ / "packed").string();
    for (const bool quiet : {false, true}) {
        SCOPED_TRACE(quiet);
        std::vector<std::string> args = {"-o", output, (dir_ / "app").string(), "fixture_app.so"};
        if (quiet) args.insert(args.begin(), "--quiet");
        const CliResult result = run(args);
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string warning = "onefile-pack: warning: the main binary " + shown("fixture_app.so") +
                                    " needs 'fixture_helper.so', which is neither in the application directory";
        EXPECT_TRUE(result.err.starts_with(warning)) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.out.empty(), quiet) << result.out;
        EXPECT_TRUE(fs::exists(output));
        fs::remove(output);
    }
}

// Data linked as it is has no main binary: the target stays windows unless given.
TEST_F(PackerMainBinary, RawAttachedDataKeepsTheWindowsDefault) {
    if (!windows_build_present()) GTEST_SKIP() << "no Windows build";
    app("main.so", elf_image(elf()));
    const fs::path attached = dir_ / "attached";
    ASSERT_EQ(run({"--quiet", "--attached-only", attached.string(), (dir_ / "app").string(), "main.so"}).status, 0);
    const std::string output = (dir_ / "raw.exe").string();
    const CliResult result = run({"--quiet", "--kit", windows_kit(), "--raw-attached", attached.string(), "-o", output});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read(output).substr(0, 2), "MZ");
}

// --exec: the target follows the program; a library or the other target's program is refused.
struct ExecCase {
    const char* label;
    std::string content;
    std::optional<Target> requested;
    std::optional<Target> target;  // nullopt: refused
    const char* refusal = "";
};

TEST(ExecProgramTarget, FollowsTheProgramOrRefusesIt) {
    const ExecCase cases[] = {
        {"elf program", elf_image(elf([](ElfLayout& s) { s.interpreter = true, s.pie_flag = true; })), {},
         Target::Linux},
        {"static elf program", elf_image(elf([](ElfLayout& s) { s.type = 2; })), {}, Target::Linux},
        {"pe program", pe_image(pe([](PeLayout& s) { s.dll = false; })), {}, Target::Windows},
        {"script", "#!/bin/sh\necho hi\n", {}, Target::Linux},
        {"elf program, linux asked", elf_image(elf([](ElfLayout& s) { s.type = 2; })), Target::Linux, Target::Linux},
        {"elf program, windows asked", elf_image(elf([](ElfLayout& s) { s.type = 2; })), Target::Windows, {},
         "is a Linux (ELF) file, but --target windows was given: leave --target out to pack for linux"},
        {"pe program, linux asked", pe_image(pe([](PeLayout& s) { s.dll = false; })), Target::Linux, {},
         "is a Windows (PE) file, but --target linux was given"},
        {"script, windows asked", "#!/bin/sh\n", Target::Windows, {}, "only Linux runs"},
        {"dll", pe_image(pe()), {}, {}, "is a DLL, not a program"},
        {"shared object", elf_image(elf()), {}, {}, "is no executable ELF file, not a program"},
        {"object file", elf_image(elf([](ElfLayout& s) { s.type = 1; })), {}, {}, "not a program"},
        {"32-bit pe", pe_image(pe([](PeLayout& s) { s.dll = false, s.wide = false, s.machine = 0x14c; })), {}, {},
         "only 64-bit x86-64 programs"},
        {"damaged pe", cut(pe_image(pe([](PeLayout& s) { s.dll = false; })), 0x50), {}, {}, "is not a valid PE file"},
        {"text, no target", "just text", {}, {}, "its target cannot be told: give --target"},
        {"empty, no target", "", {}, {}, "its target cannot be told: give --target"},
        {"text, windows asked", "just text", Target::Windows, Target::Windows},
    };
    for (const ExecCase& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        write(dir / "app" / "bin" / "tool", c.content);
        std::optional<Target> target;
        std::string refused;
        try {
            target = onefile::pack::check_exec_program_target(dir / "app", "bin/tool", c.requested);
        } catch (const onefile::pack::PackError& error) {
            refused = error.what();
        }
        if (!c.target) {
            EXPECT_FALSE(target) << "accepted";
            EXPECT_TRUE(refused.starts_with("the program '" + (dir / "app" / "bin" / "tool").string() + "' "))
                << refused;
            EXPECT_NE(refused.find(c.refusal), std::string::npos) << refused;
        } else {
            EXPECT_EQ(target, c.target) << refused;
        }
    }
}

TEST(PackerHelp, SaysWhereTheTargetComesFrom) {
    const CliResult result = run({"--help"});
    ASSERT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("(default: the target MAIN_BINARY or PROGRAM is built for, linux for a\n"
                              "                          #! script; windows with --raw-attached)"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("A warning, printed even with --quiet"), std::string::npos) << result.out;
}

}  // namespace
