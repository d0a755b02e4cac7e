// The resource section the packer writes into a Windows executable, read back with the tests' own
// resource reader on the bare section: the launcher's resources with their types, IDs and language,
// the directory sorted whatever the order of the items, every data entry an RVA inside the section
// and every data block aligned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "errors.h"
#include "pe_resources.h"
#include "resource_section.h"
#include "resources.h"

namespace {

using onefile::pack::ExtraResources;
using onefile::pack::IconImage;
using onefile::pack::launcher_resources;
using onefile::pack::PackError;
using onefile::pack::resource_section;
using onefile::pack::ResourceItem;

const std::string MANIFEST = "<?xml version=\"1.0\"?>\n<assembly manifestVersion=\"1.0\"/>\n";

// Images of odd sizes, so that the blocks behind them need padding to stay aligned.
std::vector<IconImage> sample_icon() {
    return {{16, 16, 0, 0, 1, 32, std::string(1128, 'a')},
            {32, 32, 0, 0, 1, 32, std::string(4265, 'b')},
            {0, 0, 0, 0, 1, 32, std::string("\x89PNG\r\n\x1a\n", 8) + std::string(3001, 'p')}};
}

std::string sample_version() {
    onefile::pack::VersionInfo info;
    info.product = "Fixture Suite";
    info.version = "4.3.2.1";
    return onefile::pack::version_resource(info, "fixture.exe");
}

// A resource as the reader gives it back: its numbers and its data.
using Read = std::tuple<std::uint16_t, std::uint16_t, std::uint16_t, std::string>;

std::vector<Read> numbers_and_data(const std::vector<pe_test::Resource>& resources) {
    std::vector<Read> out;
    for (const pe_test::Resource& resource : resources) {
        EXPECT_FALSE(resource.type.named || resource.name.named || resource.language.named);
        out.emplace_back(resource.type.id, resource.name.id, resource.language.id, resource.data);
    }
    return out;
}

// ---- the launcher's resources --------------------------------------------------------------------

struct LauncherCase {
    const char* label;
    bool icon;
    bool version;
    // What the directory lists, in its order (type, then ID, ascending).
    std::vector<Read> expected;
};

std::vector<Read> expected_icon_images() {
    std::vector<Read> out;
    const std::vector<IconImage> icon = sample_icon();
    for (std::size_t i = 0; i < icon.size(); ++i) {
        out.emplace_back(pe_test::RT_ICON, static_cast<std::uint16_t>(i + 1), 0x0409, icon[i].bytes);
    }
    return out;
}

std::vector<Read> concat(std::vector<std::vector<Read>> parts) {
    std::vector<Read> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The group's data is checked by reading it, below; here it stands as whatever the section holds.
const std::string GROUP = "<group>";
const Read MANIFEST_READ{pe_test::RT_MANIFEST, 1, 0x0409, MANIFEST};
const Read VERSION_READ{pe_test::RT_VERSION, 1, 0x0409, sample_version()};
const Read GROUP_READ{pe_test::RT_GROUP_ICON, 1, 0x0409, GROUP};

void PrintTo(const LauncherCase& c, std::ostream* out) { *out << c.label; }

class LauncherResources : public ::testing::TestWithParam<LauncherCase> {};

TEST_P(LauncherResources, AreWhatTheSectionHoldsSortedByTypeAndId) {
    const LauncherCase& c = GetParam();
    ExtraResources extra;
    if (c.icon) extra.icon = sample_icon();
    if (c.version) extra.version = sample_version();
    const std::string section = resource_section(launcher_resources(MANIFEST, extra), 0x4000);
    const std::vector<pe_test::Resource> resources = pe_test::read_resource_section(section, 0x4000);
    std::vector<Read> read = numbers_and_data(resources);
    for (Read& resource : read) {
        if (std::get<0>(resource) == pe_test::RT_GROUP_ICON) std::get<3>(resource) = GROUP;
    }
    EXPECT_EQ(read, c.expected);

    const auto groups = std::count_if(resources.begin(), resources.end(),
                                      [](const auto& r) { return r.type.id == pe_test::RT_GROUP_ICON; });
    ASSERT_EQ(groups, c.icon ? 1 : 0);
    for (const pe_test::Resource& group : resources) {
        if (group.type.id != pe_test::RT_GROUP_ICON) continue;
        // Each entry of the group names the RT_ICON that holds its image, with that image's fields.
        const auto entries = pe_test::read_group_icon(group.data);
        const std::vector<IconImage> icon = sample_icon();
        ASSERT_EQ(entries.size(), icon.size());
        for (std::size_t i = 0; i < icon.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(entries[i].width, icon[i].width);
            EXPECT_EQ(entries[i].height, icon[i].height);
            EXPECT_EQ(entries[i].planes, icon[i].planes);
            EXPECT_EQ(entries[i].bit_count, icon[i].bit_count);
            EXPECT_EQ(entries[i].bytes_in_res, icon[i].bytes.size());
            const auto image = std::find_if(resources.begin(), resources.end(), [&](const pe_test::Resource& r) {
                return r.type.id == pe_test::RT_ICON && r.name.id == entries[i].id;
            });
            ASSERT_NE(image, resources.end()) << "no RT_ICON " << entries[i].id;
            EXPECT_EQ(image->data, icon[i].bytes);
        }
    }
    for (const pe_test::Resource& version : resources) {
        if (version.type.id != pe_test::RT_VERSION) continue;
        const pe_test::VersionResource read_back = pe_test::read_version(version.data);
        EXPECT_EQ(read_back.file_version, (std::array<std::uint16_t, 4>{4, 3, 2, 1}));
        EXPECT_EQ(read_back.tables.at(u"040904B0").at(u"ProductName"), u"Fixture Suite");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Section, LauncherResources,
    ::testing::Values(LauncherCase{"ManifestOnly", false, false, {MANIFEST_READ}},
                      LauncherCase{"ManifestAndIcon", true, false,
                                   concat({expected_icon_images(), {GROUP_READ, MANIFEST_READ}})},
                      LauncherCase{"ManifestAndVersion", false, true, {VERSION_READ, MANIFEST_READ}},
                      LauncherCase{"AllThree", true, true,
                                   concat({expected_icon_images(), {GROUP_READ, VERSION_READ, MANIFEST_READ}})}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- layout --------------------------------------------------------------------------------------

std::vector<ResourceItem> all_three() {
    ExtraResources extra;
    extra.icon = sample_icon();
    extra.version = sample_version();
    return launcher_resources(MANIFEST, extra);
}

TEST(ResourceSection, DataRvasMoveWithTheSectionAndNothingElseChanges) {
    const std::string base = resource_section(all_three(), 0x1000);
    const std::vector<pe_test::Resource> at_base = pe_test::read_resource_section(base, 0x1000);
    ASSERT_EQ(at_base.size(), 6u);
    for (const std::uint32_t rva : {0x0u, 0x2000u, 0x7A000u, 0x10000008u, 0xFFFF0000u}) {
        SCOPED_TRACE(rva);
        const std::string moved = resource_section(all_three(), rva);
        ASSERT_EQ(moved.size(), base.size());
        const std::vector<pe_test::Resource> at_rva = pe_test::read_resource_section(moved, rva);
        ASSERT_EQ(at_rva.size(), at_base.size());
        for (std::size_t i = 0; i < at_base.size(); ++i) {
            EXPECT_EQ(at_rva[i].rva - rva, at_base[i].rva - 0x1000u) << i;
            EXPECT_EQ(at_rva[i].data, at_base[i].data) << i;
        }
        // Only the data entries' RVAs differ: every byte that differs is inside one of them.
        std::size_t differing = 0;
        for (std::size_t i = 0; i < base.size(); ++i) differing += base[i] != moved[i];
        EXPECT_LE(differing, 4 * at_base.size());
    }
}

TEST(ResourceSection, TheOrderOfTheItemsDoesNotMatter) {
    const std::vector<ResourceItem> items = all_three();
    const std::string expected = resource_section(items, 0x3000);
    EXPECT_EQ(resource_section(items, 0x3000), expected);  // and the same items, the same bytes
    std::vector<ResourceItem> shuffled = items;
    std::reverse(shuffled.begin(), shuffled.end());
    EXPECT_EQ(resource_section(shuffled, 0x3000), expected);
    for (std::size_t turn = 1; turn < items.size(); ++turn) {
        shuffled = items;
        std::rotate(shuffled.begin(), shuffled.begin() + static_cast<std::ptrdiff_t>(turn), shuffled.end());
        EXPECT_EQ(resource_section(shuffled, 0x3000), expected) << turn;
    }
}

TEST(ResourceSection, SortsEveryLevelWhateverTheOrderGiven) {
    // Several types, IDs and languages, given in descending order; the reader refuses a directory
    // whose IDs are not ascending, and gives the resources in directory order.
    std::vector<ResourceItem> items;
    for (std::uint16_t type : {24, 16, 3}) {
        for (std::uint16_t id : {300, 7, 1}) {
            for (std::uint16_t language : {0x0809, 0x0409, 0}) {
                items.push_back({type, id, language,
                                 std::to_string(type) + "/" + std::to_string(id) + "/" + std::to_string(language)});
            }
        }
    }
    std::vector<Read> expected;
    for (const ResourceItem& item : items) expected.emplace_back(item.type, item.id, item.language, item.data);
    std::sort(expected.begin(), expected.end());
    const std::string section = resource_section(items, 0x9000);
    EXPECT_EQ(numbers_and_data(pe_test::read_resource_section(section, 0x9000)), expected);
}

TEST(ResourceSection, EveryDataBlockIsAlignedInsideTheSectionAndApartFromTheOthers) {
    // Sizes around the alignment, an empty block among them.
    std::vector<ResourceItem> items;
    for (std::uint16_t id = 1; id <= 18; ++id) items.push_back({10, id, 0x0409, std::string(id - 1, 'x')});
    const std::uint32_t rva = 0x5000;
    const std::string section = resource_section(items, rva);
    EXPECT_EQ(section.size() % onefile::pack::RESOURCE_DATA_ALIGNMENT, 0u);
    std::vector<pe_test::Resource> resources = pe_test::read_resource_section(section, rva);
    ASSERT_EQ(resources.size(), items.size());
    // An empty block takes no bytes: it may share its RVA with the next one.
    std::sort(resources.begin(), resources.end(), [](const auto& a, const auto& b) {
        return std::tuple(a.rva, a.data.size()) < std::tuple(b.rva, b.data.size());
    });
    // The directory and data entries come first: 3 directories, 1 + 1 + 18 entries, 18 data entries.
    const std::uint32_t data_start = rva + 3 * 16 + 20 * 8 + 18 * 16;
    EXPECT_GE(resources.front().rva, data_start);
    for (std::size_t i = 0; i < resources.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(resources[i].rva % 8, 0u);
        EXPECT_LE(resources[i].rva - rva + resources[i].data.size(), section.size());
        if (i + 1 < resources.size()) {
            EXPECT_LE(resources[i].rva + resources[i].data.size(), resources[i + 1].rva);
        }
    }
}

TEST(ResourceSection, DirectoriesCarryNoTimeStampAndOnlyIdEntries) {
    const std::string section = resource_section(all_three(), 0x1000);
    // The root: characteristics, time stamp and version zero, no named entries, four types.
    EXPECT_EQ(section.substr(0, 16), std::string("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x04\0", 16));
}

TEST(ResourceSection, NoItemsGiveAnEmptyRoot) {
    const std::string section = resource_section({}, 0x1000);
    EXPECT_EQ(section, std::string(16, '\0'));
    EXPECT_TRUE(pe_test::read_resource_section(section, 0x1000).empty());
}

// ---- refusals ------------------------------------------------------------------------------------

struct DuplicateCase {
    const char* label;
    std::vector<ResourceItem> items;
    bool refused;
};

void PrintTo(const DuplicateCase& c, std::ostream* out) { *out << c.label; }

class ResourceIdentity : public ::testing::TestWithParam<DuplicateCase> {};

TEST_P(ResourceIdentity, TwoItemsWithTheSameTypeIdAndLanguageAreRefused) {
    const DuplicateCase& c = GetParam();
    if (c.refused) {
        try {
            resource_section(c.items, 0x1000);
            ADD_FAILURE() << "no PackError";
        } catch (const PackError& error) {
            EXPECT_STREQ(error.what(), "two resources of type 3 have ID 2 and language 1033");
        }
        return;
    }
    EXPECT_EQ(pe_test::read_resource_section(resource_section(c.items, 0x1000), 0x1000).size(), c.items.size());
}

INSTANTIATE_TEST_SUITE_P(
    Section, ResourceIdentity,
    ::testing::Values(DuplicateCase{"SameAll", {{3, 2, 0x0409, "a"}, {24, 1, 0x0409, "m"}, {3, 2, 0x0409, "b"}}, true},
                      DuplicateCase{"SameAllSameData", {{3, 2, 0x0409, "a"}, {3, 2, 0x0409, "a"}}, true},
                      DuplicateCase{"OtherLanguage", {{3, 2, 0x0409, "a"}, {3, 2, 0x0809, "b"}}, false},
                      DuplicateCase{"OtherId", {{3, 2, 0x0409, "a"}, {3, 3, 0x0409, "b"}}, false},
                      DuplicateCase{"OtherType", {{3, 2, 0x0409, "a"}, {14, 2, 0x0409, "b"}}, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ResourceSection, RefusesAnUnalignedOrTooHighRva) {
    EXPECT_THROW(resource_section(all_three(), 0x1004), PackError);
    EXPECT_THROW(resource_section(all_three(), 0xFFFFF000u), PackError);
    // The highest RVA where it still ends below 4 GiB.
    const std::size_t size = resource_section(all_three(), 0).size();
    const std::uint32_t highest = static_cast<std::uint32_t>(0xFFFFFFFFu - size) & ~7u;
    EXPECT_NO_THROW(pe_test::read_resource_section(resource_section(all_three(), highest), highest));
    EXPECT_THROW(resource_section(all_three(), highest + 8), PackError);
}

// ---- the reader on a bare section ----------------------------------------------------------------

TEST(ResourceSectionReader, RefusesACutSectionAndUnsortedEntries) {
    const std::string section = resource_section(all_three(), 0x2000);
    ASSERT_NO_THROW(pe_test::read_resource_section(section, 0x2000));
    // Cut anywhere before its last data block ends, it is refused rather than read past its end.
    const std::vector<pe_test::Resource> resources = pe_test::read_resource_section(section, 0x2000);
    std::uint32_t end = 0;
    for (const auto& r : resources) end = std::max<std::uint32_t>(end, r.rva - 0x2000 + r.data.size());
    for (std::size_t size :
         {std::size_t{0}, std::size_t{15}, std::size_t{40}, std::size_t{100}, std::size_t{end - 1}}) {
        EXPECT_THROW(pe_test::read_resource_section(section.substr(0, size), 0x2000), pe_test::PeError) << size;
    }
    // Read at another RVA than its own, its data entries point outside it.
    EXPECT_THROW(pe_test::read_resource_section(section, 0x3000), pe_test::PeError);
    // The root's first two entries (RT_ICON, RT_GROUP_ICON) swapped: no longer ascending.
    std::string swapped = section;
    std::swap_ranges(swapped.begin() + 16, swapped.begin() + 24, swapped.begin() + 24);
    EXPECT_THROW(pe_test::read_resource_section(swapped, 0x2000), pe_test::PeError);
    // An ID entry counted as named.
    std::string named = section;
    named[12] = 1;
    EXPECT_THROW(pe_test::read_resource_section(named, 0x2000), pe_test::PeError);
}

}  // namespace
