#include "image_layout.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/attached_locator.h"
#include "errors.h"

namespace onefile::pack {

namespace {

// Little-endian fields of an image held in a string; every read is checked against its size.
class Fields {
public:
    Fields(std::string& bytes, const std::string& source) : bytes_(bytes), source_(source) {}

    std::uint64_t get(std::uint64_t offset, int width) const {
        check(offset, width);
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[offset + i]);
        }
        return value;
    }
    void put(std::uint64_t offset, int width, std::uint64_t value) {
        check(offset, width);
        for (int i = 0; i < width; ++i) {
            bytes_[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    }
    [[noreturn]] void fail(const std::string& what) const {
        throw PackError("the launcher " + quote_path(source_) + " in the launcher kit " + what +
                        "; reinstall or rebuild the kit");
    }

private:
    void check(std::uint64_t offset, int width) const {
        if (offset > bytes_.size() || bytes_.size() - offset < static_cast<std::uint64_t>(width)) {
            fail("is cut short");
        }
    }
    std::string& bytes_;
    const std::string& source_;
};

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Fills in the launcher's locator record, found by its magic, which must occur exactly once.
void fill_locator(Fields& fields, std::string& image, std::uint64_t data_offset, std::uint64_t attached_size,
                  std::uint64_t extras_size) {
    const std::string magic(reinterpret_cast<const char*>(LOCATOR_MAGIC), sizeof LOCATOR_MAGIC);
    const std::size_t at = image.find(magic);
    if (at == std::string::npos || image.find(magic, at + 1) != std::string::npos) {
        fields.fail(at == std::string::npos ? "has no locator record" : "has more than one locator record");
    }
    if (fields.get(at + LOCATOR_ATTACHED_SIZE_FIELD, 8) != 0) {
        fields.fail("already carries attached data");
    }
    fields.put(at + LOCATOR_OFFSET_FIELD, 8, data_offset);
    fields.put(at + LOCATOR_ATTACHED_SIZE_FIELD, 8, attached_size);
    fields.put(at + LOCATOR_EXTRAS_SIZE_FIELD, 8, extras_size);
}

// ---- PE32+ ------------------------------------------------------------------------------------------

constexpr std::uint16_t MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t PE32_PLUS = 0x20B;
constexpr std::uint32_t SECTION_HEADER_SIZE = 40;
// Initialized data, readable, nothing else: neither writable nor executable.
constexpr std::uint32_t READ_ONLY_DATA = 0x00000040 | 0x40000000;
constexpr std::uint16_t SUBSYSTEM_GUI = 2;
constexpr std::uint16_t SUBSYSTEM_CONSOLE = 3;
constexpr int RESOURCE_DIRECTORY = 2;
constexpr int CERTIFICATE_DIRECTORY = 4;

void put_section_header(Fields& fields, std::uint64_t at, const char (&name)[9], std::uint32_t virtual_size,
                        std::uint32_t rva, std::uint32_t raw_size, std::uint32_t raw_offset) {
    for (int i = 0; i < 8; ++i) {
        fields.put(at + i, 1, static_cast<unsigned char>(name[i]));
    }
    fields.put(at + 8, 4, virtual_size);
    fields.put(at + 12, 4, rva);
    fields.put(at + 16, 4, raw_size);
    fields.put(at + 20, 4, raw_offset);
    fields.put(at + 24, 4, 0);  // no relocations, no line numbers
    fields.put(at + 28, 4, 0);
    fields.put(at + 32, 4, 0);
    fields.put(at + 36, 4, READ_ONLY_DATA);
}

}  // namespace

void PeChecksum::add(std::uint64_t offset, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t sum = sum_;
    for (std::size_t i = 0; i < size;) {
        const std::uint64_t at = offset + i;
        // A byte at an odd offset is the high half of its word; the field itself counts as zero.
        const bool in_field = at >= field_offset_ && at < field_offset_ + 4;
        if ((at & 1) != 0 || i + 1 == size) {
            sum += in_field ? 0 : std::uint64_t{bytes[i]} << (8 * (at & 1));
            ++i;
        } else {
            sum += in_field ? 0 : bytes[i] | (bytes[i + 1] << 8);
            i += 2;
        }
        // Folded now and then: the carries are added back in at the end.
        if (sum >> 62 != 0) {
            sum = (sum & 0xFFFFFFFF) + (sum >> 32);
        }
    }
    sum_ = sum;
}

std::uint32_t PeChecksum::finish(std::uint64_t file_size) const {
    std::uint64_t sum = sum_;
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>((sum + file_size) & 0xFFFFFFFF);
}

ImageLayout pe_layout(const std::string& launcher, const std::string& source, std::uint64_t attached_size,
                      const std::string& extras, const std::function<std::string(std::uint32_t)>& resources,
                      bool console) {
    ImageLayout layout;
    std::string& image = layout.prefix;
    image = launcher;
    Fields fields(image, source);
    if (fields.get(0, 2) != 0x5A4D) {
        fields.fail("is not a Windows executable");
    }
    const std::uint64_t pe = fields.get(0x3C, 4);
    if (fields.get(pe, 4) != 0x00004550 || fields.get(pe + 4, 2) != MACHINE_AMD64) {
        fields.fail("is not a 64-bit Windows executable");
    }
    const std::uint64_t coff = pe + 4;
    const std::uint64_t section_count = fields.get(coff + 2, 2);
    const std::uint64_t optional_size = fields.get(coff + 16, 2);
    const std::uint64_t optional = coff + 20;
    if (fields.get(optional, 2) != PE32_PLUS || optional_size < 112 + 8 * (CERTIFICATE_DIRECTORY + 1) ||
        fields.get(optional + 108, 4) <= CERTIFICATE_DIRECTORY) {
        fields.fail("has no PE32+ optional header with data directories");
    }
    const std::uint64_t section_alignment = fields.get(optional + 32, 4);
    const std::uint64_t file_alignment = fields.get(optional + 36, 4);
    const std::uint64_t headers_size = fields.get(optional + 60, 4);
    if (section_alignment == 0 || file_alignment == 0 || section_alignment % file_alignment != 0) {
        fields.fail("has unusable alignments");
    }
    const auto directory = [&](int index) { return optional + 112 + 8 * static_cast<std::uint64_t>(index); };
    if (fields.get(directory(RESOURCE_DIRECTORY), 8) != 0) {
        fields.fail("already has resources");
    }
    if (fields.get(directory(CERTIFICATE_DIRECTORY), 8) != 0) {
        fields.fail("is signed");
    }

    // The image's end in memory and in the file; nothing may follow the last section's bytes.
    const std::uint64_t table = optional + optional_size;
    std::uint64_t virtual_end = align_up(headers_size, section_alignment);
    std::uint64_t raw_end = headers_size;
    std::uint64_t first_raw = launcher.size();
    for (std::uint64_t i = 0; i < section_count; ++i) {
        const std::uint64_t header = table + i * SECTION_HEADER_SIZE;
        const std::uint64_t virtual_size = fields.get(header + 8, 4);
        const std::uint64_t rva = fields.get(header + 12, 4);
        const std::uint64_t raw_size = fields.get(header + 16, 4);
        const std::uint64_t raw_offset = fields.get(header + 20, 4);
        virtual_end = std::max(virtual_end, align_up(rva + std::max(virtual_size, raw_size), section_alignment));
        if (raw_size != 0) {
            raw_end = std::max(raw_end, raw_offset + raw_size);
            first_raw = std::min(first_raw, raw_offset);
        }
    }
    if (raw_end != launcher.size() || fields.get(coff + 8, 4) != 0) {
        fields.fail("has data behind its last section");
    }
    const std::uint64_t new_headers = table + (section_count + 2) * SECTION_HEADER_SIZE;
    if (new_headers > headers_size || new_headers > first_raw) {
        fields.fail("has no room for two more section headers");
    }

    // The resource section, then the attached data's: both behind everything there is.
    const std::uint64_t resource_rva = virtual_end;
    const std::string resource_bytes = resources(static_cast<std::uint32_t>(resource_rva));
    const std::uint64_t resource_raw_size = align_up(resource_bytes.size(), file_alignment);
    const std::uint64_t data_rva = align_up(resource_rva + resource_bytes.size(), section_alignment);
    const std::uint64_t data_size = attached_size + extras.size();
    const std::uint64_t data_raw_offset = raw_end + resource_raw_size;
    const std::uint64_t data_raw_size = align_up(data_size, file_alignment);
    const std::uint64_t image_size = align_up(data_rva + data_size, section_alignment);
    if (image_size > 0xFFFFFFFFu || data_raw_offset + data_raw_size > 0xFFFFFFFFu) {
        throw PackError("the attached data (" + std::to_string(attached_size) +
                        " bytes) is too large for a Windows executable, whose image is limited to 4 GiB");
    }

    put_section_header(fields, table + section_count * SECTION_HEADER_SIZE, ".rsrc\0\0\0",
                       static_cast<std::uint32_t>(resource_bytes.size()), static_cast<std::uint32_t>(resource_rva),
                       static_cast<std::uint32_t>(resource_raw_size), static_cast<std::uint32_t>(raw_end));
    put_section_header(fields, table + (section_count + 1) * SECTION_HEADER_SIZE, ".onefile",
                       static_cast<std::uint32_t>(data_size), static_cast<std::uint32_t>(data_rva),
                       static_cast<std::uint32_t>(data_raw_size), static_cast<std::uint32_t>(data_raw_offset));
    fields.put(coff + 2, 2, section_count + 2);
    fields.put(optional + 8, 4, fields.get(optional + 8, 4) + resource_raw_size + data_raw_size);
    fields.put(optional + 56, 4, image_size);
    fields.put(optional + 68, 2, console ? SUBSYSTEM_CONSOLE : SUBSYSTEM_GUI);
    fields.put(directory(RESOURCE_DIRECTORY), 4, resource_rva);
    fields.put(directory(RESOURCE_DIRECTORY) + 4, 4, resource_bytes.size());
    fields.put(optional + 64, 4, 0);  // the checksum, computed over the finished file
    fill_locator(fields, image, data_rva, attached_size, extras.size());

    image += resource_bytes;
    image.resize(data_raw_offset, '\0');
    layout.suffix = extras;
    layout.suffix.resize(data_raw_size - attached_size, '\0');
    layout.checksum_offset = optional + 64;
    return layout;
}

// ---- ELF64 ------------------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t PT_LOAD = 1;
constexpr std::uint32_t PT_NOTE = 4;
constexpr std::uint32_t PF_R = 4;
constexpr std::uint32_t SHT_PROGBITS = 1;
constexpr std::uint32_t SHT_NOTE = 7;
constexpr std::uint64_t SHF_ALLOC = 2;
constexpr std::uint64_t PAGE = 0x1000;
constexpr std::uint64_t PROGRAM_HEADER_SIZE = 56;
constexpr std::uint64_t SECTION_HEADER64_SIZE = 64;
constexpr char RESERVED_SECTION[] = ".note.onefile";
// The data's section is called by the tail of the reserved section's name, which is in the
// section name table already.
constexpr std::uint64_t DATA_SECTION_NAME_SKIP = 5;  // ".note.onefile" -> ".onefile"

}  // namespace

ImageLayout elf_layout(const std::string& launcher, const std::string& source, std::uint64_t attached_size,
                       const std::string& extras) {
    ImageLayout layout;
    std::string& image = layout.prefix;
    image = launcher;
    Fields fields(image, source);
    if (fields.get(0, 4) != 0x464C457F || fields.get(4, 1) != 2 || fields.get(5, 1) != 1 || fields.get(18, 2) != 62) {
        fields.fail("is not a 64-bit x86-64 Linux executable");
    }
    const std::uint64_t phoff = fields.get(32, 8);
    const std::uint64_t shoff = fields.get(40, 8);
    const std::uint64_t phnum = fields.get(56, 2);
    const std::uint64_t shnum = fields.get(60, 2);
    const std::uint64_t shstrndx = fields.get(62, 2);
    if (fields.get(54, 2) != PROGRAM_HEADER_SIZE || fields.get(58, 2) != SECTION_HEADER64_SIZE || shstrndx >= shnum) {
        fields.fail("has unexpected header sizes");
    }
    const auto program = [&](std::uint64_t i) { return phoff + i * PROGRAM_HEADER_SIZE; };
    const auto section = [&](std::uint64_t i) { return shoff + i * SECTION_HEADER64_SIZE; };

    // The reserved note, by name.
    const std::uint64_t names = fields.get(section(shstrndx) + 24, 8);
    const std::uint64_t names_size = fields.get(section(shstrndx) + 32, 8);
    std::optional<std::uint64_t> reserved_section;
    for (std::uint64_t i = 0; i < shnum; ++i) {
        const std::uint64_t name = fields.get(section(i), 4);
        if (name + sizeof RESERVED_SECTION > names_size) {
            continue;
        }
        fields.get(names + name, sizeof RESERVED_SECTION);  // bounds
        if (std::memcmp(image.data() + names + name, RESERVED_SECTION, sizeof RESERVED_SECTION) == 0 &&
            fields.get(section(i) + 4, 4) == SHT_NOTE) {
            reserved_section = i;
        }
    }
    if (!reserved_section) {
        fields.fail("has no reserved note section for the attached data");
    }
    const std::uint64_t note_offset = fields.get(section(*reserved_section) + 24, 8);
    const std::uint64_t note_size = fields.get(section(*reserved_section) + 32, 8);

    // Its program header, and where the loaded image ends.
    std::optional<std::uint64_t> reserved_program;
    std::uint64_t last_load = 0;
    std::uint64_t virtual_end = 0;
    std::optional<std::uint64_t> image_base;
    for (std::uint64_t i = 0; i < phnum; ++i) {
        const std::uint64_t type = fields.get(program(i), 4);
        const std::uint64_t offset = fields.get(program(i) + 8, 8);
        const std::uint64_t vaddr = fields.get(program(i) + 16, 8);
        if (type == PT_NOTE && offset == note_offset && fields.get(program(i) + 32, 8) == note_size) {
            reserved_program = i;
        } else if (type == PT_LOAD) {
            last_load = i;
            virtual_end = std::max(virtual_end, vaddr + fields.get(program(i) + 40, 8));
            if (offset == 0) {
                image_base = vaddr;  // where the ELF header is mapped
            }
        }
    }
    if (!reserved_program || !image_base) {
        fields.fail(!image_base ? "does not load its own headers"
                                : "has no program header reserved for the attached data");
    }

    // The data behind everything there is, 16-byte aligned in the file; its address is on a page
    // of its own past the image, at the same offset within the page as in the file, as mapping needs.
    const std::uint64_t data_offset = align_up(launcher.size(), 16);
    const std::uint64_t data_vaddr = align_up(virtual_end, PAGE) + data_offset % PAGE;
    const std::uint64_t data_size = attached_size + extras.size();

    // The reserved header becomes the data's loaded segment and moves up behind the last one, so
    // that loaded segments stay in address order.
    std::string entry(PROGRAM_HEADER_SIZE, '\0');
    {
        Fields load(entry, source);
        load.put(0, 4, PT_LOAD);
        load.put(4, 4, PF_R);
        load.put(8, 8, data_offset);
        load.put(16, 8, data_vaddr);
        load.put(24, 8, data_vaddr);
        load.put(32, 8, data_size);
        load.put(40, 8, data_size);
        load.put(48, 8, PAGE);
    }
    std::vector<std::string> headers;
    for (std::uint64_t i = 0; i < phnum; ++i) {
        if (i != *reserved_program) {
            headers.push_back(image.substr(program(i), PROGRAM_HEADER_SIZE));
        }
        if (i == last_load) {
            headers.push_back(entry);
        }
    }
    std::string table;
    for (const std::string& header : headers) {
        table += header;
    }
    image.replace(program(0), table.size(), table);

    // The reserved section header describes the data too.
    const std::uint64_t reserved = section(*reserved_section);
    fields.put(reserved, 4, fields.get(reserved, 4) + DATA_SECTION_NAME_SKIP);
    fields.put(reserved + 4, 4, SHT_PROGBITS);
    fields.put(reserved + 8, 8, SHF_ALLOC);
    fields.put(reserved + 16, 8, data_vaddr);
    fields.put(reserved + 24, 8, data_offset);
    fields.put(reserved + 32, 8, data_size);
    fields.put(reserved + 48, 8, 16);

    fill_locator(fields, image, data_vaddr - *image_base, attached_size, extras.size());
    image.resize(data_offset, '\0');
    layout.suffix = extras;
    return layout;
}

}  // namespace onefile::pack
