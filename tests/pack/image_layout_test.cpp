// The executables the packer writes without a toolchain, read back field by field: the new
// section or segment that holds the attached data, the locator record that points at it, the
// headers that must stay consistent for the loader, the PE checksum, and the refusals of launchers
// that cannot take the data. The kits' real launchers are the input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "common/attached_locator.h"
#include "executable.h"
#include "image_layout.h"
#include "pack_test_support.h"
#include "resource_section.h"

namespace {

using namespace pack_test;
using onefile::pack::ImageLayout;
using onefile::pack::PackError;

fs::path build_root() { return fs::path(ONEFILE_PACK_PATH).parent_path().parent_path().parent_path(); }
fs::path linux_launcher() { return build_root() / "linux/share/onefile/linux/launcher"; }
fs::path windows_launcher() { return build_root() / "windows/share/onefile/windows/launcher.exe"; }

bool have(const fs::path& launcher) {
    if (fs::exists(launcher)) return true;
    if (std::getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) ADD_FAILURE() << "no launcher " << launcher;
    return false;
}

std::uint64_t get(const std::string& bytes, std::uint64_t at, int width) {
    if (at + width > bytes.size()) throw std::out_of_range("read past the image");
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}
void put(std::string& bytes, std::uint64_t at, int width, std::uint64_t value) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

std::uint64_t locator_at(const std::string& image) {
    const std::string magic(reinterpret_cast<const char*>(LOCATOR_MAGIC), sizeof LOCATOR_MAGIC);
    const size_t at = image.find(magic);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(image.find(magic, at + 1), std::string::npos) << "a second locator";
    return at;
}

// The whole file a layout stands for, with `attached` as the data.
std::string whole(const ImageLayout& layout, const std::string& attached) {
    return layout.prefix + attached + layout.suffix;
}

std::string resources_at(std::uint32_t rva) {
    return onefile::pack::resource_section(onefile::pack::launcher_resources("<manifest/>", {}), rva);
}

// ---- Windows --------------------------------------------------------------------------------------

struct PeView {
    std::uint64_t coff, optional, table, sections;
    explicit PeView(const std::string& image) {
        coff = get(image, 0x3C, 4) + 4;
        optional = coff + 20;
        sections = get(image, coff + 2, 2);
        table = optional + get(image, coff + 16, 2);
    }
    std::uint64_t section(std::uint64_t i) const { return table + 40 * i; }
};

TEST(PeChecksum, MatchesTheLinkersOwnOnTheKitsLauncherHoweverTheFileIsCut) {
    if (!have(windows_launcher())) GTEST_SKIP();
    const std::string image = read(windows_launcher());
    const PeView pe(image);
    const std::uint64_t field = pe.optional + 64;
    const std::uint32_t stored = static_cast<std::uint32_t>(get(image, field, 4));
    ASSERT_NE(stored, 0u) << "the kit's launcher should carry the linker's checksum";

    onefile::pack::PeChecksum whole_file(field);
    whole_file.add(0, image.data(), image.size());
    EXPECT_EQ(whole_file.finish(image.size()), stored);

    // Pieces of odd and even lengths, added in a shuffled order.
    std::mt19937 random(7);
    std::vector<std::pair<size_t, size_t>> pieces;
    for (size_t at = 0; at < image.size();) {
        const size_t length = std::min<size_t>(1 + random() % 5000, image.size() - at);
        pieces.push_back({at, length});
        at += length;
    }
    std::shuffle(pieces.begin(), pieces.end(), random);
    onefile::pack::PeChecksum pieced(field);
    for (const auto& [at, length] : pieces) pieced.add(at, image.data() + at, length);
    EXPECT_EQ(pieced.finish(image.size()), stored);

    // A changed byte anywhere but in the field changes the sum; in the field it does not.
    std::string changed = image;
    changed[1000] ^= 0x5A;
    onefile::pack::PeChecksum other(field);
    other.add(0, changed.data(), changed.size());
    EXPECT_NE(other.finish(changed.size()), stored);
    put(changed, field, 4, 0xDEADBEEF);
    changed[1000] ^= 0x5A;
    onefile::pack::PeChecksum in_field(field);
    in_field.add(0, changed.data(), changed.size());
    EXPECT_EQ(in_field.finish(changed.size()), stored);
}

class PeLayout : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!have(windows_launcher())) GTEST_SKIP();
        launcher_ = read(windows_launcher());
    }
    std::string launcher_;
};

TEST_P(PeLayout, AddsTheResourceAndDataSectionsBehindTheLastAndPointsTheLocatorAtTheData) {
    const bool console = GetParam();
    const std::string attached(100'001, 'a');  // an odd size: the padding behind it shows
    const std::string extras = "ONEFILEX-record";
    const ImageLayout layout =
        onefile::pack::pe_layout(launcher_, "launcher.exe", attached.size(), extras, resources_at, console);
    const std::string file = whole(layout, attached);
    const PeView before(launcher_);
    const PeView after(file);
    ASSERT_EQ(after.sections, before.sections + 2);
    const std::uint64_t section_alignment = get(file, after.optional + 32, 4);
    const std::uint64_t file_alignment = get(file, after.optional + 36, 4);

    // The launcher's own sections are untouched; the two new ones follow in address and file order.
    EXPECT_EQ(file.substr(before.table, 40 * before.sections), launcher_.substr(before.table, 40 * before.sections));
    const std::uint64_t last_old = before.section(before.sections - 1);
    const std::uint64_t rsrc = after.section(before.sections);
    const std::uint64_t data = after.section(before.sections + 1);
    EXPECT_EQ(file.substr(rsrc, 8), std::string(".rsrc\0\0\0", 8));
    EXPECT_EQ(file.substr(data, 8), ".onefile");
    for (const std::uint64_t header : {rsrc, data}) {
        EXPECT_EQ(get(file, header + 36, 4), 0x40000040u) << "initialized, read-only data";
        EXPECT_EQ(get(file, header + 12, 4) % section_alignment, 0u);
        EXPECT_EQ(get(file, header + 20, 4) % file_alignment, 0u);
        EXPECT_EQ(get(file, header + 16, 4) % file_alignment, 0u);
    }
    EXPECT_GE(get(file, rsrc + 12, 4), get(launcher_, last_old + 12, 4) + get(launcher_, last_old + 8, 4));
    EXPECT_EQ(get(file, rsrc + 20, 4), launcher_.size());
    EXPECT_GE(get(file, data + 12, 4), get(file, rsrc + 12, 4) + get(file, rsrc + 8, 4));
    EXPECT_EQ(get(file, data + 20, 4), get(file, rsrc + 20, 4) + get(file, rsrc + 16, 4));
    EXPECT_EQ(get(file, data + 8, 4), attached.size() + extras.size());

    // Nothing behind the last section (a signature can still be appended); the image's size and
    // the resource directory name the new sections.
    EXPECT_EQ(file.size(), get(file, data + 20, 4) + get(file, data + 16, 4));
    const std::uint64_t image_end = get(file, data + 12, 4) + get(file, data + 8, 4);
    EXPECT_EQ(get(file, after.optional + 56, 4),
              (image_end + section_alignment - 1) / section_alignment * section_alignment);
    EXPECT_EQ(get(file, after.optional + 112 + 16, 4), get(file, rsrc + 12, 4));
    EXPECT_EQ(get(file, after.optional + 112 + 16 + 4, 4), get(file, rsrc + 8, 4));
    EXPECT_EQ(get(file, after.optional + 68, 2), console ? 3u : 2u);

    // The data and the record right behind it, where the locator says, relative to the image base.
    const std::uint64_t locator = locator_at(file);
    const std::uint64_t rva = get(file, locator + LOCATOR_OFFSET_FIELD, 8);
    EXPECT_EQ(rva, get(file, data + 12, 4));
    EXPECT_EQ(get(file, locator + LOCATOR_ATTACHED_SIZE_FIELD, 8), attached.size());
    EXPECT_EQ(get(file, locator + LOCATOR_EXTRAS_SIZE_FIELD, 8), extras.size());
    const std::uint64_t raw = get(file, data + 20, 4);
    EXPECT_EQ(file.substr(raw, attached.size()), attached);
    EXPECT_EQ(file.substr(raw + attached.size(), extras.size()), extras);
    EXPECT_EQ(layout.prefix.size(), raw);
}

TEST_P(PeLayout, TheWrittenExecutablesChecksumCoversTheWholeFile) {
    const fs::path kit = windows_launcher().parent_path();
    TempDir dir;
    const std::string attached = random_bytes(300'003, 3);
    onefile::pack::ExecutableOptions options;
    options.console = GetParam();
    onefile::pack::write_executable(
        onefile::pack::Target::Windows, kit, dir / "app.exe", options,
        [&](const onefile::pack::ByteSink& sink) {
            // Cut into pieces of odd sizes, as the attached data writer hands them over.
            for (size_t at = 0; at < attached.size(); at += 4097) {
                sink(attached.data() + at, std::min<size_t>(4097, attached.size() - at));
            }
            return std::uint64_t{attached.size()};
        },
        false,
        [](const onefile::pack::Sha256Digest*) {
            return std::vector<unsigned char>{'x', 'y', 'z'};
        });
    const std::string file = read(dir / "app.exe");
    const PeView pe(file);
    onefile::pack::PeChecksum checksum(pe.optional + 64);
    checksum.add(0, file.data(), file.size());
    EXPECT_EQ(get(file, pe.optional + 64, 4), checksum.finish(file.size()));
    EXPECT_NE(file.find(attached + "xyz"), std::string::npos);

    // The toolchain's own reader takes the result without a complaint and sees the new sections.
    const std::string command = "x86_64-w64-mingw32-objdump -p -h '" + (dir / "app.exe").string() + "' >'" +
                                (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << read(dir / "err");
    EXPECT_EQ(read(dir / "err"), "");
    EXPECT_NE(read(dir / "out").find(" .onefile "), std::string::npos) << read(dir / "out");
    EXPECT_NE(read(dir / "out").find("Resource Directory [.rsrc]"), std::string::npos) << read(dir / "out");
}

INSTANTIATE_TEST_SUITE_P(Subsystems, PeLayout, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Console" : "Gui"; });

// A launcher that cannot take the data is named with what is wrong, and nothing is laid out.
TEST(PeLayoutRefusals, NameWhatIsWrongWithTheLauncher) {
    if (!have(windows_launcher())) GTEST_SKIP();
    const std::string good = read(windows_launcher());
    const PeView pe(good);
    const std::uint64_t locator = locator_at(good);
    struct Case {
        const char* label;
        std::function<void(std::string&)> damage;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"NotAnExecutable", [](std::string& b) { b[0] = 'X'; }, "is not a Windows executable"},
        {"OtherMachine", [&](std::string& b) { put(b, pe.coff, 2, 0x14C); }, "is not a 64-bit Windows executable"},
        {"CutShort", [](std::string& b) { b.resize(0x90); }, "is cut short"},
        {"HasResources", [&](std::string& b) { put(b, pe.optional + 112 + 16, 4, 0x1000); }, "already has resources"},
        {"Signed", [&](std::string& b) { put(b, pe.optional + 112 + 32, 4, 0x1000); }, "is signed"},
        {"DataBehindTheLastSection", [](std::string& b) { b += "overlay"; }, "has data behind its last section"},
        {"NoRoomForTwoSectionHeaders",
         [&](std::string& b) { put(b, pe.optional + 60, 4, pe.table + 40 * (pe.sections + 1)); },
         "has no room for two more section headers"},
        {"NoLocator", [&](std::string& b) { b[locator] ^= 1; }, "has no locator record"},
        {"TwoLocators",
         [&](std::string& b) { b.replace(0x40, sizeof LOCATOR_MAGIC, b.substr(locator, sizeof LOCATOR_MAGIC)); },
         "has more than one locator record"},
        {"AlreadyCarriesData", [&](std::string& b) { put(b, locator + LOCATOR_ATTACHED_SIZE_FIELD, 8, 5); },
         "already carries attached data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string bad = good;
        c.damage(bad);
        try {
            onefile::pack::pe_layout(bad, "kit/launcher.exe", 10, "", resources_at, false);
            ADD_FAILURE() << "accepted";
        } catch (const PackError& error) {
            EXPECT_EQ(std::string(error.what()), "the launcher 'kit/launcher.exe' in the launcher kit " + c.problem +
                                                     "; reinstall or rebuild the kit");
        }
    }
}

// ---- Linux ----------------------------------------------------------------------------------------

struct ElfProgram {
    std::uint32_t type, flags;
    std::uint64_t offset, vaddr, filesz, memsz, align;
};

std::vector<ElfProgram> programs(const std::string& image) {
    std::vector<ElfProgram> out;
    const std::uint64_t phoff = get(image, 32, 8);
    for (std::uint64_t i = 0; i < get(image, 56, 2); ++i) {
        const std::uint64_t at = phoff + 56 * i;
        out.push_back({static_cast<std::uint32_t>(get(image, at, 4)), static_cast<std::uint32_t>(get(image, at + 4, 4)),
                       get(image, at + 8, 8), get(image, at + 16, 8), get(image, at + 32, 8), get(image, at + 40, 8),
                       get(image, at + 48, 8)});
    }
    return out;
}

TEST(ElfLayout, TheReservedHeaderBecomesALoadedReadOnlySegmentBehindTheImage) {
    if (!have(linux_launcher())) GTEST_SKIP();
    const std::string launcher = read(linux_launcher());
    const std::string attached(70'001, 'b');
    const std::string extras = "ONEFILEX-record";
    const ImageLayout layout = onefile::pack::elf_layout(launcher, "launcher", attached.size(), extras);
    EXPECT_FALSE(layout.checksum_offset);
    const std::string file = whole(layout, attached);

    const std::vector<ElfProgram> before = programs(launcher);
    const std::vector<ElfProgram> after = programs(file);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(std::count_if(after.begin(), after.end(), [](const ElfProgram& p) { return p.type == 4; }),
              std::count_if(before.begin(), before.end(), [](const ElfProgram& p) { return p.type == 4; }) - 1)
        << "the reserved note's header is the one reused";
    // Loaded segments stay in address order, the new one last and right behind the old last one.
    std::vector<size_t> loads;
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i].type == 1) loads.push_back(i);
    }
    ASSERT_GE(loads.size(), 2u);
    for (size_t i = 1; i < loads.size(); ++i) {
        EXPECT_EQ(loads[i], loads[i - 1] + 1);
        EXPECT_GE(after[loads[i]].vaddr, after[loads[i - 1]].vaddr + after[loads[i - 1]].memsz);
    }
    const ElfProgram& segment = after[loads.back()];
    EXPECT_EQ(segment.flags, 4u) << "read-only";
    EXPECT_EQ(segment.offset % segment.align, segment.vaddr % segment.align);
    EXPECT_EQ(segment.vaddr % 4096 == 0 ? 0 : 1, segment.offset % 4096 == 0 ? 0 : 1);
    EXPECT_EQ(segment.filesz, attached.size() + extras.size());
    EXPECT_EQ(segment.memsz, segment.filesz);
    EXPECT_EQ(segment.offset, layout.prefix.size());
    EXPECT_EQ(segment.offset + segment.filesz, file.size());
    EXPECT_EQ(file.substr(segment.offset, attached.size()), attached);
    EXPECT_EQ(file.substr(segment.offset + attached.size()), extras);

    // The locator counts from the address the ELF header is loaded at.
    const auto first = std::find_if(after.begin(), after.end(), [](const ElfProgram& p) { return p.type == 1; });
    const std::uint64_t locator = locator_at(file);
    EXPECT_EQ(get(file, locator + LOCATOR_OFFSET_FIELD, 8), segment.vaddr - first->vaddr);
    EXPECT_EQ(get(file, locator + LOCATOR_ATTACHED_SIZE_FIELD, 8), attached.size());
    EXPECT_EQ(get(file, locator + LOCATOR_EXTRAS_SIZE_FIELD, 8), extras.size());

    // The system's own reader takes the result without a complaint, and names the data's section.
    TempDir dir;
    write(dir / "app", file);
    const std::string command = "readelf -lSW '" + (dir / "app").string() + "' >'" + (dir / "out").string() + "' 2>'" +
                                (dir / "err").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read(dir / "err"), "");
    EXPECT_NE(read(dir / "out").find(" .onefile          PROGBITS"), std::string::npos) << read(dir / "out");
}

TEST(ElfLayoutRefusals, NameWhatIsWrongWithTheLauncher) {
    if (!have(linux_launcher())) GTEST_SKIP();
    const std::string good = read(linux_launcher());
    const std::vector<ElfProgram> headers = programs(good);
    const auto reserved =
        std::find_if(headers.begin(), headers.end(), [](const ElfProgram& p) { return p.type == 4 && p.align == 16; });
    ASSERT_NE(reserved, headers.end());
    const std::uint64_t reserved_at = get(good, 32, 8) + 56 * (reserved - headers.begin());
    const size_t name = good.find(std::string(".note.onefile") + '\0');
    ASSERT_NE(name, std::string::npos);
    struct Case {
        const char* label;
        std::function<void(std::string&)> damage;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"NotElf", [](std::string& b) { b[1] = 'X'; }, "is not a 64-bit x86-64 Linux executable"},
        {"OtherMachine", [](std::string& b) { put(b, 18, 2, 183); }, "is not a 64-bit x86-64 Linux executable"},
        {"NoReservedSection", [&](std::string& b) { b[name + 6] = 'X'; },
         "has no reserved note section for the attached data"},
        {"NoReservedProgramHeader", [&](std::string& b) { put(b, reserved_at, 4, 0); },
         "has no program header reserved for the attached data"},
        {"CutShort", [](std::string& b) { b.resize(b.size() / 2); }, "is cut short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string bad = good;
        c.damage(bad);
        try {
            onefile::pack::elf_layout(bad, "kit/launcher", 10, "");
            ADD_FAILURE() << "accepted";
        } catch (const PackError& error) {
            EXPECT_EQ(std::string(error.what()), "the launcher 'kit/launcher' in the launcher kit " + c.problem +
                                                     "; reinstall or rebuild the kit");
        }
    }
}

}  // namespace
