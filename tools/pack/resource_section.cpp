#include "resource_section.h"

#include <algorithm>
#include <tuple>

#include "errors.h"

namespace onefile::pack {

namespace {

constexpr std::uint64_t DIRECTORY_SIZE = 16;   // IMAGE_RESOURCE_DIRECTORY
constexpr std::uint64_t ENTRY_SIZE = 8;        // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr std::uint64_t DATA_ENTRY_SIZE = 16;  // IMAGE_RESOURCE_DATA_ENTRY
constexpr std::uint32_t SUBDIRECTORY = 0x80000000u;

std::uint64_t aligned(std::uint64_t size) {
    return (size + RESOURCE_DATA_ALIGNMENT - 1) / RESOURCE_DATA_ALIGNMENT * RESOURCE_DATA_ALIGNMENT;
}

auto key(const ResourceItem& item) { return std::tuple(item.type, item.id, item.language); }

// The items of one type and ID, one per language: [first, first + count) of the sorted items.
struct NameGroup {
    std::size_t first = 0;
    std::size_t count = 0;
};

struct TypeGroup {
    std::uint16_t type = 0;
    std::vector<NameGroup> names;
};

void put_directory(std::string& out, std::size_t entries) {
    put32(out, 0);  // characteristics
    put32(out, 0);  // time stamp: none, so that the same items give the same bytes
    put16(out, 0);  // major version
    put16(out, 0);  // minor version
    put16(out, 0);  // named entries: there are none
    put16(out, static_cast<std::uint32_t>(entries));
}

void put_entry(std::string& out, std::uint16_t id, std::uint64_t target) {
    put32(out, id);
    put32(out, static_cast<std::uint32_t>(target));
}

}  // namespace

std::vector<ResourceItem> launcher_resources(const std::string& manifest, const ExtraResources& extra) {
    std::vector<ResourceItem> items;
    items.push_back({RT_MANIFEST, PROCESS_MANIFEST_ID, RESOURCE_LANGUAGE, manifest});
    if (!extra.icon.empty()) {
        for (std::size_t i = 0; i < extra.icon.size(); ++i) {
            items.push_back({RT_ICON, static_cast<std::uint16_t>(i + 1), RESOURCE_LANGUAGE, extra.icon[i].bytes});
        }
        items.push_back({RT_GROUP_ICON, 1, RESOURCE_LANGUAGE, icon_group(extra.icon)});
    }
    if (extra.version) {
        items.push_back({RT_VERSION, 1, RESOURCE_LANGUAGE, *extra.version});
    }
    return items;
}

std::string resource_section(std::vector<ResourceItem> items, std::uint32_t section_rva) {
    if (section_rva % RESOURCE_DATA_ALIGNMENT != 0) {
        throw PackError("a resource section cannot start at RVA " + std::to_string(section_rva) +
                        ": it must be a multiple of " + std::to_string(RESOURCE_DATA_ALIGNMENT));
    }
    // The loader finds an entry by binary search, so every directory lists its IDs in ascending
    // order; sorting the items by type, ID and language gives that order at every level.
    std::stable_sort(items.begin(), items.end(),
                     [](const ResourceItem& a, const ResourceItem& b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (key(items[i - 1]) == key(items[i])) {
            throw PackError("two resources of type " + std::to_string(items[i].type) + " have ID " +
                            std::to_string(items[i].id) + " and language " + std::to_string(items[i].language));
        }
    }

    std::vector<TypeGroup> types;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (types.empty() || types.back().type != items[i].type) {
            types.push_back({items[i].type, {}});
        }
        std::vector<NameGroup>& names = types.back().names;
        if (names.empty() || items[names.back().first].id != items[i].id) {
            names.push_back({i, 0});
        }
        ++names.back().count;
    }

    // Where everything goes: the root, the type directories, the name directories, the data
    // entries, then the data. Directories and data entries are multiples of 8 bytes long, so the
    // data begins aligned.
    std::uint64_t at = DIRECTORY_SIZE + ENTRY_SIZE * types.size();
    std::vector<std::uint64_t> type_directory;
    for (const TypeGroup& type : types) {
        type_directory.push_back(at);
        at += DIRECTORY_SIZE + ENTRY_SIZE * type.names.size();
    }
    std::vector<std::vector<std::uint64_t>> name_directory;
    for (const TypeGroup& type : types) {
        name_directory.emplace_back();
        for (const NameGroup& name : type.names) {
            name_directory.back().push_back(at);
            at += DIRECTORY_SIZE + ENTRY_SIZE * name.count;
        }
    }
    const std::uint64_t data_entries = at;
    at += DATA_ENTRY_SIZE * items.size();
    std::vector<std::uint64_t> data;
    for (const ResourceItem& item : items) {
        data.push_back(at);
        at = aligned(at + item.data.size());
    }
    if (at > std::uint64_t{0xFFFFFFFFu} - section_rva) {
        throw PackError("the resources (" + std::to_string(at) + " bytes) do not fit in the address space of an image");
    }

    std::string out;
    out.reserve(at);
    put_directory(out, types.size());
    for (std::size_t t = 0; t < types.size(); ++t) {
        put_entry(out, types[t].type, SUBDIRECTORY | type_directory[t]);
    }
    for (std::size_t t = 0; t < types.size(); ++t) {
        put_directory(out, types[t].names.size());
        for (std::size_t n = 0; n < types[t].names.size(); ++n) {
            put_entry(out, items[types[t].names[n].first].id, SUBDIRECTORY | name_directory[t][n]);
        }
    }
    for (const TypeGroup& type : types) {
        for (const NameGroup& name : type.names) {
            put_directory(out, name.count);
            for (std::size_t i = name.first; i < name.first + name.count; ++i) {
                put_entry(out, items[i].language, data_entries + DATA_ENTRY_SIZE * i);
            }
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        put32(out, static_cast<std::uint32_t>(section_rva + data[i]));
        put32(out, static_cast<std::uint32_t>(items[i].data.size()));
        put32(out, 0);  // code page
        put32(out, 0);  // reserved
    }
    for (const ResourceItem& item : items) {
        out += item.data;
        out.resize(aligned(out.size()), '\0');
    }
    return out;
}

}  // namespace onefile::pack
