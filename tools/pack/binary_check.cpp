#include "binary_check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <system_error>

#include "app_tree.h"
#include "errors.h"
#include "file_io.h"
#include "host.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

// The launcher's entry, by name: the symbol a Linux main binary exports, the name the
// module-definition file gives ordinal 1.
constexpr char ENTRY_NAME[] = "onefile_main";

constexpr std::uint16_t PE_MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t PE_MAGIC_32 = 0x10b;
constexpr std::uint16_t PE_MAGIC_64 = 0x20b;
constexpr std::uint16_t PE_FILE_DLL = 0x2000;

constexpr std::uint16_t ELF_MACHINE_X86_64 = 62;
constexpr std::uint16_t ELF_TYPE_REL = 1;
constexpr std::uint16_t ELF_TYPE_EXEC = 2;
constexpr std::uint16_t ELF_TYPE_DYN = 3;
constexpr std::uint32_t PT_LOAD = 1;
constexpr std::uint32_t PT_DYNAMIC = 2;
constexpr std::uint32_t PT_INTERP = 3;
constexpr std::int64_t DT_NULL = 0;
constexpr std::int64_t DT_NEEDED = 1;
constexpr std::int64_t DT_HASH = 4;
constexpr std::int64_t DT_STRTAB = 5;
constexpr std::int64_t DT_SYMTAB = 6;
constexpr std::int64_t DT_STRSZ = 10;
constexpr std::int64_t DT_SYMENT = 11;
constexpr std::int64_t DT_RPATH = 15;
constexpr std::int64_t DT_RUNPATH = 29;
constexpr std::int64_t DT_GNU_HASH = 0x6ffffef5;
constexpr std::int64_t DT_FLAGS_1 = 0x6ffffffb;
constexpr std::uint64_t DF_1_PIE = 0x08000000;

// Limits far above any real binary's, so that a lying count ends in "malformed" rather than in a
// loop over billions of entries that each happen to lie inside a large file.
constexpr std::uint64_t MAX_ENTRIES = 1u << 22;

// Every read that leaves the image throws this; read_binary_facts turns it into `malformed`.
struct Malformed {
    std::string what;
};

class ImageReader {
public:
    ImageReader(std::span<const unsigned char> image, bool little_endian)
        : image_(image), little_endian_(little_endian) {}

    std::uint64_t size() const { return image_.size(); }
    bool has(std::uint64_t offset, std::uint64_t count) const {
        return offset <= image_.size() && count <= image_.size() - offset;
    }
    std::uint64_t read(std::uint64_t offset, int bytes, const char* what) const {
        if (!has(offset, static_cast<std::uint64_t>(bytes))) {
            throw Malformed{std::string(what) + " lies past the end of the file"};
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const int index = little_endian_ ? bytes - 1 - i : i;
            value = (value << 8) | image_[offset + static_cast<std::uint64_t>(index)];
        }
        return value;
    }
    std::uint8_t u8(std::uint64_t offset, const char* what) const {
        return static_cast<std::uint8_t>(read(offset, 1, what));
    }
    std::uint16_t u16(std::uint64_t offset, const char* what) const {
        return static_cast<std::uint16_t>(read(offset, 2, what));
    }
    std::uint32_t u32(std::uint64_t offset, const char* what) const {
        return static_cast<std::uint32_t>(read(offset, 4, what));
    }
    std::uint64_t u64(std::uint64_t offset, const char* what) const { return read(offset, 8, what); }
    // A NUL-terminated string that must end inside the image.
    std::string text(std::uint64_t offset, const char* what) const {
        if (offset >= image_.size()) {
            throw Malformed{std::string(what) + " lies past the end of the file"};
        }
        const auto begin = image_.begin() + static_cast<std::ptrdiff_t>(offset);
        const auto end = std::find(begin, image_.end(), static_cast<unsigned char>(0));
        if (end == image_.end()) {
            throw Malformed{std::string(what) + " runs past the end of the file"};
        }
        return std::string(begin, end);
    }

private:
    std::span<const unsigned char> image_;
    bool little_endian_;
};

// Offset `index` entries of `size` bytes after `base`, refused when it cannot be represented.
std::uint64_t element(std::uint64_t base, std::uint64_t index, std::uint64_t size, const char* what) {
    if (index > MAX_ENTRIES || base > UINT64_MAX - index * size) {
        throw Malformed{std::string(what) + " lies past the end of the file"};
    }
    return base + index * size;
}

// --- PE ----------------------------------------------------------------------------------------

struct PeSection {
    std::uint32_t address;
    std::uint32_t virtual_size;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
};

class PeImage {
public:
    PeImage(const ImageReader& reader, std::vector<PeSection> sections, std::uint32_t header_size)
        : reader_(reader), sections_(std::move(sections)), header_size_(header_size) {}

    // The file offset of a relative virtual address, which must lie in a section's file data.
    std::uint64_t offset(std::uint64_t rva, const char* what) const {
        for (const PeSection& section : sections_) {
            const std::uint64_t span = std::max(section.virtual_size, section.raw_size);
            if (rva >= section.address && rva - section.address < span) {
                if (rva - section.address >= section.raw_size) {
                    throw Malformed{std::string(what) + " lies outside the file's data"};
                }
                return std::uint64_t{section.raw_offset} + (rva - section.address);
            }
        }
        if (rva < header_size_) {
            return rva;
        }
        throw Malformed{std::string(what) + " lies in no section"};
    }
    std::uint16_t u16(std::uint64_t rva, const char* what) const { return reader_.u16(offset(rva, what), what); }
    std::uint32_t u32(std::uint64_t rva, const char* what) const { return reader_.u32(offset(rva, what), what); }
    std::string text(std::uint64_t rva, const char* what) const { return reader_.text(offset(rva, what), what); }

private:
    const ImageReader& reader_;
    std::vector<PeSection> sections_;
    std::uint32_t header_size_;
};

void read_pe_exports(const PeImage& pe, std::uint32_t directory, BinaryFacts& facts) {
    const std::uint32_t base = pe.u32(directory + 16ull, "the export directory");
    const std::uint32_t function_count = pe.u32(directory + 20ull, "the export directory");
    const std::uint32_t name_count = pe.u32(directory + 24ull, "the export directory");
    const std::uint32_t functions = pe.u32(directory + 28ull, "the export directory");
    const std::uint32_t names = pe.u32(directory + 32ull, "the export directory");
    const std::uint32_t name_ordinals = pe.u32(directory + 36ull, "the export directory");
    if (function_count > MAX_ENTRIES || name_count > MAX_ENTRIES) {
        throw Malformed{"the export directory counts more exports than a file can hold"};
    }
    // Ordinal n is the address table's entry n - base; an entry of 0 exports nothing.
    std::optional<std::uint32_t> ordinal_1_index;
    if (base <= 1 && 1 - base < function_count) {
        ordinal_1_index = 1 - base;
        facts.has_ordinal_1 =
            pe.u32(std::uint64_t{functions} + 4ull * *ordinal_1_index, "the export address table") != 0;
    }
    for (std::uint32_t i = 0; i < name_count; ++i) {
        const std::uint16_t index = pe.u16(std::uint64_t{name_ordinals} + 2ull * i, "the export ordinal table");
        const std::string name =
            pe.text(pe.u32(std::uint64_t{names} + 4ull * i, "the export name table"), "an export name");
        if (facts.has_ordinal_1 && ordinal_1_index == index) {
            facts.ordinal_1_name = name;
        }
        if (name == ENTRY_NAME) {
            facts.onefile_main_ordinal = std::uint32_t{base} + index;
            facts.exports_onefile_main = true;
        }
    }
}

void read_pe_imports(const PeImage& pe, std::uint32_t directory, BinaryFacts& facts) {
    // Import descriptors of 20 bytes, up to one whose name is 0.
    for (std::uint64_t i = 0;; ++i) {
        if (i > MAX_ENTRIES) {
            throw Malformed{"the import directory has no end"};
        }
        const std::uint32_t name = pe.u32(directory + 20 * i + 12, "the import directory");
        if (name == 0) {
            return;
        }
        facts.imports.push_back(pe.text(name, "an imported DLL's name"));
    }
}

void read_pe(const ImageReader& reader, BinaryFacts& facts) {
    const std::uint32_t pe = reader.u32(0x3c, "the DOS header");
    if (reader.u32(pe, "the PE header") != 0x00004550) {  // "PE\0\0"
        throw Malformed{"no PE signature where the DOS header points"};
    }
    const std::uint64_t coff = std::uint64_t{pe} + 4;
    facts.machine = reader.u16(coff, "the file header");
    const std::uint16_t section_count = reader.u16(coff + 2, "the file header");
    const std::uint16_t optional_size = reader.u16(coff + 16, "the file header");
    const std::uint16_t characteristics = reader.u16(coff + 18, "the file header");
    const std::uint64_t optional = coff + 20;
    const std::uint16_t magic = reader.u16(optional, "the optional header");
    if (magic != PE_MAGIC_32 && magic != PE_MAGIC_64) {
        throw Malformed{"the optional header's magic number is unknown"};
    }
    facts.wide = magic == PE_MAGIC_64;
    facts.library = (characteristics & PE_FILE_DLL) != 0;
    if (!facts.wide || facts.machine != PE_MACHINE_AMD64) {
        return;  // refused for its machine: what it exports does not matter
    }
    // PE32+: SizeOfHeaders at 60, NumberOfRvaAndSizes at 108, the data directories from 112.
    if (optional_size < 112 || !reader.has(optional, optional_size)) {
        throw Malformed{"the optional header is cut short"};
    }
    const std::uint32_t header_size = reader.u32(optional + 60, "the optional header");
    const std::uint32_t directory_count = reader.u32(optional + 108, "the optional header");
    auto directory = [&](std::uint32_t index) -> std::uint32_t {
        if (index >= directory_count || 112 + 8 * (index + 1) > optional_size) {
            return 0;
        }
        const std::uint32_t rva = reader.u32(optional + 112 + 8 * index, "a data directory");
        const std::uint32_t size = reader.u32(optional + 116 + 8 * index, "a data directory");
        return size == 0 ? 0 : rva;
    };
    const std::uint64_t table = optional + optional_size;
    if (!reader.has(table, 40ull * section_count)) {
        throw Malformed{"the section table lies past the end of the file"};
    }
    std::vector<PeSection> sections;
    for (std::uint16_t i = 0; i < section_count; ++i) {
        const std::uint64_t entry = table + 40ull * i;
        sections.push_back(
            PeSection{reader.u32(entry + 12, "the section table"), reader.u32(entry + 8, "the section table"),
                      reader.u32(entry + 16, "the section table"), reader.u32(entry + 20, "the section table")});
    }
    const PeImage image(reader, std::move(sections), header_size);
    if (const std::uint32_t exports = directory(0); exports != 0) {
        read_pe_exports(image, exports, facts);
    }
    if (const std::uint32_t imports = directory(1); imports != 0) {
        read_pe_imports(image, imports, facts);
    }
}

// --- ELF ---------------------------------------------------------------------------------------

struct ElfLoad {
    std::uint64_t address;
    std::uint64_t offset;
    std::uint64_t size;  // in the file
};

// The file offset of a virtual address, which must lie in a loaded segment's file data.
std::uint64_t elf_offset(const std::vector<ElfLoad>& loads, std::uint64_t address, const char* what) {
    for (const ElfLoad& load : loads) {
        if (address >= load.address && address - load.address < load.size) {
            return load.offset + (address - load.address);
        }
    }
    throw Malformed{std::string(what) + " lies in no loaded segment"};
}

// The number of dynamic symbols, which only the hash tables tell (section headers may be stripped).
std::uint64_t elf_symbol_count(const ImageReader& reader, std::optional<std::uint64_t> hash,
                               std::optional<std::uint64_t> gnu_hash) {
    if (hash) {
        return reader.u32(*hash + 4, "the symbol hash table");  // nchain
    }
    if (!gnu_hash) {
        return 0;
    }
    // The GNU table has no count: the highest symbol is at the end of the chain of the highest
    // bucket's start, where the low bit of the hash value is set.
    const std::uint64_t table = *gnu_hash;
    const std::uint32_t bucket_count = reader.u32(table, "the GNU hash table");
    const std::uint32_t first = reader.u32(table + 4, "the GNU hash table");
    const std::uint32_t bloom_count = reader.u32(table + 8, "the GNU hash table");
    const std::uint64_t buckets = element(table + 16, bloom_count, 8, "the GNU hash table");
    std::uint32_t highest = 0;
    for (std::uint64_t i = 0; i < bucket_count; ++i) {
        highest = std::max(highest, reader.u32(element(buckets, i, 4, "the GNU hash table"), "the GNU hash table"));
    }
    if (highest < first) {
        return first;
    }
    const std::uint64_t chains = element(buckets, bucket_count, 4, "the GNU hash table");
    for (std::uint64_t symbol = highest;; ++symbol) {
        if (reader.u32(element(chains, symbol - first, 4, "the GNU hash table"), "the GNU hash table") & 1) {
            return symbol + 1;
        }
    }
}

void read_elf(const ImageReader& reader, BinaryFacts& facts) {
    facts.elf_type = reader.u16(16, "the ELF header");
    facts.machine = reader.u16(18, "the ELF header");
    if (!facts.wide || !facts.little_endian || facts.machine != ELF_MACHINE_X86_64) {
        return;  // refused for its machine
    }
    const std::uint64_t header_table = reader.u64(32, "the ELF header");
    const std::uint16_t header_size = reader.u16(54, "the ELF header");
    const std::uint16_t header_count = reader.u16(56, "the ELF header");
    if (header_count != 0 && header_size < 56) {
        throw Malformed{"its program headers are too small"};
    }
    std::vector<ElfLoad> loads;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> dynamic_segment;
    for (std::uint64_t i = 0; i < header_count; ++i) {
        const std::uint64_t entry = element(header_table, i, header_size, "a program header");
        if (!reader.has(entry, 56)) {
            throw Malformed{"a program header lies past the end of the file"};
        }
        const std::uint32_t type = reader.u32(entry, "a program header");
        if (type == PT_INTERP) {
            facts.has_interpreter = true;
        } else if (type == PT_LOAD) {
            loads.push_back(ElfLoad{reader.u64(entry + 16, "a program header"),
                                    reader.u64(entry + 8, "a program header"),
                                    reader.u64(entry + 32, "a program header")});
        } else if (type == PT_DYNAMIC) {
            dynamic_segment.emplace(reader.u64(entry + 8, "a program header"),
                                    reader.u64(entry + 32, "a program header"));
        }
    }
    if (!dynamic_segment) {
        return;
    }
    facts.dynamic = true;
    std::vector<std::uint64_t> needed;
    std::optional<std::uint64_t> string_table, symbol_table, hash, gnu_hash, run_path, old_run_path;
    std::uint64_t string_size = 0;
    std::uint64_t symbol_size = 24;
    std::uint64_t flags_1 = 0;
    const auto [dynamic, dynamic_size] = *dynamic_segment;
    if (!reader.has(dynamic, dynamic_size)) {
        throw Malformed{"the dynamic section lies past the end of the file"};
    }
    for (std::uint64_t i = 0; i < dynamic_size / 16; ++i) {
        const std::uint64_t entry = dynamic + 16 * i;
        const auto tag = static_cast<std::int64_t>(reader.u64(entry, "the dynamic section"));
        const std::uint64_t value = reader.u64(entry + 8, "the dynamic section");
        if (tag == DT_NULL) {
            break;
        }
        switch (tag) {
            case DT_NEEDED:
                needed.push_back(value);
                break;
            case DT_HASH:
                hash = value;
                break;
            case DT_STRTAB:
                string_table = value;
                break;
            case DT_SYMTAB:
                symbol_table = value;
                break;
            case DT_STRSZ:
                string_size = value;
                break;
            case DT_SYMENT:
                symbol_size = value;
                break;
            case DT_RPATH:
                old_run_path = value;
                break;
            case DT_RUNPATH:
                run_path = value;
                break;
            case DT_GNU_HASH:
                gnu_hash = value;
                break;
            case DT_FLAGS_1:
                flags_1 = value;
                break;
            default:
                break;
        }
    }
    facts.position_independent = (flags_1 & DF_1_PIE) != 0;
    facts.library = facts.elf_type == ELF_TYPE_DYN && !facts.position_independent;

    std::uint64_t strings = 0;
    if (string_table) {
        strings = elf_offset(loads, *string_table, "the dynamic string table");
    } else if (!needed.empty() || run_path || old_run_path || symbol_table) {
        throw Malformed{"its dynamic section has no string table"};
    }
    auto string_at = [&](std::uint64_t index, const char* what) {
        if (index >= string_size) {
            throw Malformed{std::string(what) + " lies outside the dynamic string table"};
        }
        return reader.text(strings + index, what);
    };
    for (const std::uint64_t name : needed) {
        facts.imports.push_back(string_at(name, "a needed library's name"));
    }
    if (const auto path = run_path ? run_path : old_run_path) {
        const std::string text = string_at(*path, "the run path");
        std::size_t start = 0;
        for (;;) {
            const std::size_t colon = text.find(':', start);
            const std::string part = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!part.empty()) {
                facts.run_path.push_back(part);
            }
            if (colon == std::string::npos) {
                break;
            }
            start = colon + 1;
        }
    }
    if (!symbol_table) {
        return;
    }
    if (symbol_size < 24) {
        throw Malformed{"its dynamic symbols are too small"};
    }
    const std::uint64_t symbols = elf_offset(loads, *symbol_table, "the dynamic symbol table");
    const std::optional<std::uint64_t> hash_offset =
        hash ? std::optional(elf_offset(loads, *hash, "the symbol hash table")) : std::nullopt;
    const std::optional<std::uint64_t> gnu_hash_offset =
        gnu_hash ? std::optional(elf_offset(loads, *gnu_hash, "the GNU hash table")) : std::nullopt;
    const std::uint64_t count = elf_symbol_count(reader, hash_offset, gnu_hash_offset);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t symbol = element(symbols, i, symbol_size, "the dynamic symbol table");
        const std::uint32_t name = reader.u32(symbol, "the dynamic symbol table");
        const std::uint8_t info = reader.u8(symbol + 4, "the dynamic symbol table");
        const std::uint8_t other = reader.u8(symbol + 5, "the dynamic symbol table");
        const std::uint16_t section = reader.u16(symbol + 6, "the dynamic symbol table");
        const unsigned binding = info >> 4;
        const unsigned type = info & 0xf;
        const unsigned visibility = other & 3;
        // Defined (not SHN_UNDEF), global, weak or unique, a function or indirect function, and
        // visible from outside: what dlsym() finds.
        const bool exported = section != 0 && (binding == 1 || binding == 2 || binding == 10) &&
                              (type == 2 || type == 10) && (visibility == 0 || visibility == 3);
        if (exported && string_at(name, "a symbol's name") == ENTRY_NAME) {
            facts.exports_onefile_main = true;
            return;
        }
    }
}

// --- judging -----------------------------------------------------------------------------------

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string hex(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", value);
    return buffer;
}

// How a refused machine is named in messages.
std::string machine_name(const BinaryFacts& facts) {
    if (facts.format == BinaryFacts::Format::Pe) {
        switch (facts.machine) {
            case 0x14c:
                return "32-bit x86";
            case PE_MACHINE_AMD64:
                return facts.wide ? "x86-64" : "32-bit (PE32) x86-64";
            case 0xaa64:
                return "ARM64";
            case 0x1c4:
                return "32-bit ARM";
            default:
                return "machine " + hex(facts.machine) + (facts.wide ? "" : ", 32-bit");
        }
    }
    switch (facts.machine) {
        case 3:
            return "32-bit x86";
        case ELF_MACHINE_X86_64:
            return facts.wide ? (facts.little_endian ? "x86-64" : "big-endian x86-64") : "32-bit (x32) x86-64";
        case 183:
            return "ARM64";
        case 40:
            return "32-bit ARM";
        case 243:
            return facts.wide ? "64-bit RISC-V" : "32-bit RISC-V";
        default:
            return "machine " + std::to_string(facts.machine) + (facts.wide ? "" : ", 32-bit");
    }
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

// Windows DLLs that every supported Windows provides in its system directory. The launcher loads
// the main binary with the system directory in the search, so these need not be shipped; any
// other import that the application does not ship fails at run time as "Module not found".
constexpr std::string_view WINDOWS_SYSTEM_DLLS[] = {
    "advapi32.dll", "bcrypt.dll",   "comctl32.dll",   "comdlg32.dll", "crypt32.dll",  "d3d11.dll",     "d3d9.dll",
    "dbghelp.dll",  "dnsapi.dll",   "dwmapi.dll",     "dxgi.dll",     "gdi32.dll",    "gdiplus.dll",   "imm32.dll",
    "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "mpr.dll",      "msimg32.dll",  "msvcp_win.dll", "msvcrt.dll",
    "mswsock.dll",  "ncrypt.dll",   "netapi32.dll",   "ntdll.dll",    "ole32.dll",    "oleacc.dll",    "oleaut32.dll",
    "opengl32.dll", "psapi.dll",    "rpcrt4.dll",     "secur32.dll",  "setupapi.dll", "shell32.dll",   "shlwapi.dll",
    "ucrtbase.dll", "user32.dll",   "userenv.dll",    "uxtheme.dll",  "version.dll",  "winhttp.dll",   "wininet.dll",
    "winmm.dll",    "winspool.drv", "wintrust.dll",   "wldap32.dll",  "ws2_32.dll",   "wtsapi32.dll",
};

// API sets, resolved by the loader itself rather than found as files.
constexpr std::string_view WINDOWS_SYSTEM_DLL_PREFIXES[] = {"api-ms-win-", "ext-ms-win-"};

std::string refuse_prefix(const std::string& shown) { return "the main binary " + shown + " "; }

}  // namespace

BinaryFacts read_binary_facts(std::span<const unsigned char> image) {
    BinaryFacts facts;
    const bool pe = image.size() >= 2 && image[0] == 'M' && image[1] == 'Z';
    const bool elf = image.size() >= 4 && image[0] == 0x7f && image[1] == 'E' && image[2] == 'L' && image[3] == 'F';
    if (!pe && !elf) {
        return facts;
    }
    try {
        if (pe) {
            facts.format = BinaryFacts::Format::Pe;
            facts.wide = false;
            read_pe(ImageReader(image, true), facts);
        } else {
            facts.format = BinaryFacts::Format::Elf;
            const ImageReader bytes(image, true);
            const std::uint8_t elf_class = bytes.u8(4, "the ELF header");
            const std::uint8_t data = bytes.u8(5, "the ELF header");
            if (elf_class != 1 && elf_class != 2) {
                throw Malformed{"its class is neither 32- nor 64-bit"};
            }
            if (data != 1 && data != 2) {
                throw Malformed{"its byte order is unknown"};
            }
            facts.wide = elf_class == 2;
            facts.little_endian = data == 1;
            if (!bytes.has(0, facts.wide ? 64 : 52)) {
                throw Malformed{"the ELF header is cut short"};
            }
            read_elf(ImageReader(image, facts.little_endian), facts);
        }
    } catch (const Malformed& error) {
        // Only the format stays known: nothing else read so far can be trusted.
        const BinaryFacts::Format format = facts.format;
        facts = BinaryFacts{};
        facts.format = format;
        facts.malformed = error.what;
    }
    return facts;
}

bool is_windows_system_dll(std::string_view name) {
    const std::string lowered = lower(name);
    for (const std::string_view prefix : WINDOWS_SYSTEM_DLL_PREFIXES) {
        if (lowered.starts_with(prefix)) {
            return true;
        }
    }
    return std::find(std::begin(WINDOWS_SYSTEM_DLLS), std::end(WINDOWS_SYSTEM_DLLS), lowered) !=
           std::end(WINDOWS_SYSTEM_DLLS);
}

const std::vector<fs::path>& linux_system_library_dirs() {
    static const std::vector<fs::path> dirs = {
        "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64", "/lib", "/usr/lib"};
    return dirs;
}

namespace {

// The target of an image whose format is known, after the checks every packed binary needs: headers
// that read, and an x86-64 machine. `subject` begins the message; `kind_and_remedy` ends the one for
// another machine ("main binaries: build it for x86-64").
Target checked_format(const BinaryFacts& facts, const std::string& subject, const std::string& kind_and_remedy) {
    const bool pe = facts.format == BinaryFacts::Format::Pe;
    if (facts.malformed) {
        throw PackError(subject + "is not a valid " + (pe ? "PE" : "ELF") + " file (" + *facts.malformed +
                        "): rebuild it, or check that it was copied whole");
    }
    const bool x86_64 =
        facts.wide && facts.little_endian && facts.machine == (pe ? PE_MACHINE_AMD64 : ELF_MACHINE_X86_64);
    if (!x86_64) {
        throw PackError(subject + "is built for " + machine_name(facts) + ", but the launcher runs only 64-bit " +
                        "x86-64 " + kind_and_remedy);
    }
    return pe ? Target::Windows : Target::Linux;
}

}  // namespace

BinaryVerdict judge_main_binary(const BinaryFacts& facts, const std::string& shown, std::optional<Target> requested,
                                const LibrarySearch& search) {
    const std::string subject = refuse_prefix(shown);
    if (facts.format == BinaryFacts::Format::NotABinary) {
        throw PackError(subject +
                        "is neither a PE nor an ELF file: give a Windows DLL or a Linux shared object that exports "
                        "onefile_main");
    }
    const bool pe = facts.format == BinaryFacts::Format::Pe;
    const Target target = checked_format(facts, subject, "main binaries: build it for x86-64");
    if (requested && *requested != target) {
        throw PackError(subject + "is a " + (pe ? "Windows (PE)" : "Linux (ELF)") + " file, but --target " +
                        std::string(target_name(*requested)) + " was given: build the main binary for " +
                        std::string(target_name(*requested)) + ", or leave --target out to pack for " +
                        std::string(target_name(target)));
    }
    const std::string exec_hint = "; to pack a program, use --exec APP_DIR PROGRAM";
    if (pe && !facts.library) {
        throw PackError(subject +
                        "is a Windows program (a PE file without the DLL flag), not a DLL: the launcher loads the "
                        "main binary as a library and calls its entry, so build it as a DLL exporting onefile_main" +
                        exec_hint);
    }
    if (!pe) {
        std::string kind;
        if (facts.elf_type == ELF_TYPE_EXEC) {
            kind = facts.has_interpreter ? "a position-dependent executable" : "a static executable";
        } else if (facts.elf_type == ELF_TYPE_DYN &&
                   (facts.position_independent || (facts.has_interpreter && !facts.exports_onefile_main))) {
            // A library may carry an interpreter to be runnable as well; with the entry it stays a
            // library. Without both the PIE flag and the entry, it is a program from an older linker.
            kind = "a position-independent executable";
        } else if (facts.elf_type != ELF_TYPE_DYN) {
            throw PackError(subject + "is an ELF " +
                            (facts.elf_type == ELF_TYPE_REL ? std::string("object file")
                                                            : "file of type " + std::to_string(facts.elf_type)) +
                            ", not a shared object: link it with -shared and export onefile_main");
        }
        if (!kind.empty()) {
            throw PackError(subject + "is " + kind +
                            ", not a shared object: the launcher loads the main binary as a library and calls its "
                            "onefile_main, so build it with -shared" +
                            exec_hint);
        }
    }
    if (pe && !facts.has_ordinal_1) {
        throw PackError(subject +
                        "has no export with ordinal 1, which the launcher calls as the entry: link it with a "
                        "module-definition file holding 'onefile_main @1 NONAME' (share/onefile/onefile_main.def)");
    }
    if (!pe && !facts.exports_onefile_main) {
        throw PackError(subject +
                        "does not export onefile_main (no defined function of that name in its dynamic symbol "
                        "table), which the launcher calls as the entry: define it with ONEFILE_ENTRY from "
                        "onefile/entry.h, with default visibility");
    }

    BinaryVerdict verdict;
    verdict.target = target;
    if (pe) {
        const bool named_otherwise = facts.ordinal_1_name && *facts.ordinal_1_name != ENTRY_NAME;
        const bool entry_elsewhere = facts.onefile_main_ordinal && *facts.onefile_main_ordinal != 1;
        if (named_otherwise || entry_elsewhere) {
            const std::string first =
                facts.ordinal_1_name ? "'" + *facts.ordinal_1_name + "'" : "an export without a name";
            const std::string entry = facts.onefile_main_ordinal
                                          ? "onefile_main is ordinal " + std::to_string(*facts.onefile_main_ordinal)
                                          : "no export is named onefile_main";
            verdict.warnings.push_back(subject + "has " + first +
                                       " as export ordinal 1, which the launcher calls as the entry (" + entry +
                                       "): link the DLL with a module-definition file holding 'onefile_main @1 "
                                       "NONAME' (share/onefile/onefile_main.def)");
        }
    }
    for (const std::string& name : facts.imports) {
        // A name with a directory in it is looked up as a path, not searched for.
        if (name.find('/') != std::string::npos || (pe && name.find('\\') != std::string::npos)) {
            continue;
        }
        if (search.shipped(name, facts.run_path) || search.system(name)) {
            continue;
        }
        if (pe) {
            verdict.warnings.push_back(subject + "imports '" + name +
                                       "', which is neither in the application directory (beside the main binary or "
                                       "at its top) nor a known Windows system DLL: unless the machine that runs "
                                       "the program has it in its system directory, it will fail with 'Module not "
                                       "found'; copy '" +
                                       name + "' into APP_DIR");
        } else {
            std::vector<std::string> dirs;
            for (const fs::path& dir : linux_system_library_dirs()) dirs.push_back(dir.string());
            verdict.warnings.push_back(
                subject + "needs '" + name +
                "', which is neither in the application directory (at its top or in a run path directory of the main "
                "binary) nor in this machine's " +
                join(dirs, ", ") + ": the program will fail to start where the loader cannot find it; copy '" + name +
                "' into APP_DIR");
        }
    }
    return verdict;
}

namespace {

// Whether `dir` holds a file named `name`; for Windows compared without case, as its file
// systems do.
bool directory_has(const fs::path& dir, std::string_view name, bool ignore_case) {
    std::error_code error;
    if (!ignore_case) {
        return fs::exists(dir / path_from_utf8(name), error);
    }
    const std::string wanted = lower(name);
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        if (lower(path_to_utf8(it->path().filename())) == wanted) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<BinaryVerdict> check_main_binary(const fs::path& app_dir, std::string_view main_binary_rel,
                                               std::optional<Target> requested) {
    fs::path path = app_dir;
    std::string stored = normalize_main_binary(main_binary_rel);
    std::replace(stored.begin(), stored.end(), '\\', '/');
    path /= path_from_utf8(stored);
    // Through a symbolic link, as the walk packs what it leads to; whether that may be packed at
    // all is the walk's to say.
    FileStatus info;
    if (!host_status(path, true, info) || info.kind != FileKind::Regular) {
        return std::nullopt;
    }
    const MappedFile file(path);
    const BinaryFacts facts = read_binary_facts(file.bytes());
    const fs::path main_dir = path.parent_path();
    const bool windows = facts.format == BinaryFacts::Format::Pe;
    LibrarySearch search;
    search.shipped = [&](std::string_view name, const std::vector<std::string>& run_path) {
        // The Windows loader searches the main binary's directory; the Linux one only the top of
        // the application (which the launcher puts in LD_LIBRARY_PATH) and the run path.
        if (directory_has(app_dir, name, windows) || (windows && directory_has(main_dir, name, true))) {
            return true;
        }
        for (const std::string& entry : run_path) {
            std::string dir = entry;
            for (const std::string_view origin : {"${ORIGIN}", "$ORIGIN"}) {
                for (std::size_t at = dir.find(origin); at != std::string::npos; at = dir.find(origin)) {
                    dir.replace(at, origin.size(), path_to_utf8(main_dir));
                }
            }
            // Only a run path into the application counts as shipping: anything else is this
            // machine's and would not travel with the executable.
            std::error_code error;
            const fs::path resolved = fs::weakly_canonical(path_from_utf8(dir), error);
            fs::path root = fs::weakly_canonical(app_dir, error);
            if (root.filename().empty()) {
                root = root.parent_path();  // "app/" ends in an empty element
            }
            if (error) {
                continue;
            }
            const bool inside =
                std::mismatch(root.begin(), root.end(), resolved.begin(), resolved.end()).first == root.end();
            if (inside && directory_has(resolved, name, false)) {
                return true;
            }
        }
        return false;
    };
    search.system = [&](std::string_view name) {
        if (windows) {
            return is_windows_system_dll(name);
        }
        return std::any_of(linux_system_library_dirs().begin(), linux_system_library_dirs().end(),
                           [&](const fs::path& dir) { return directory_has(dir, name, false); });
    };
    return judge_main_binary(facts, quote_path(path), requested, search);
}

Target judge_exec_program(const BinaryFacts& facts, bool script, const std::string& shown,
                          std::optional<Target> requested) {
    const std::string subject = "the program " + shown + " ";
    if (facts.format == BinaryFacts::Format::NotABinary) {
        if (script) {
            if (requested && *requested != Target::Linux) {
                throw PackError(subject + "is a script (it starts with #!), which only Linux runs, but --target " +
                                std::string(target_name(*requested)) +
                                " was given: leave --target out to pack for linux");
            }
            return Target::Linux;
        }
        if (!requested) {
            throw PackError(subject +
                            "is neither a PE nor an ELF file, so its target cannot be told: give --target "
                            "windows or --target linux");
        }
        return *requested;
    }
    const bool pe = facts.format == BinaryFacts::Format::Pe;
    const Target target = checked_format(facts, subject, "programs: give an x86-64 build of it");
    if (requested && *requested != target) {
        throw PackError(subject + "is a " + (pe ? "Windows (PE)" : "Linux (ELF)") + " file, but --target " +
                        std::string(target_name(*requested)) + " was given: leave --target out to pack for " +
                        std::string(target_name(target)));
    }
    // A library has nothing to start; an ELF shared object that carries an interpreter may be
    // started, as a position-independent executable is.
    const bool library =
        pe ? facts.library : facts.elf_type == ELF_TYPE_DYN && !facts.position_independent && !facts.has_interpreter;
    if (library || (!pe && facts.elf_type != ELF_TYPE_DYN && facts.elf_type != ELF_TYPE_EXEC)) {
        throw PackError(subject + "is " + (pe ? "a DLL" : "no executable ELF file") +
                        ", not a program: --exec starts a program; a main binary that exports onefile_main "
                        "is packed without --exec");
    }
    return target;
}

Target check_exec_program_target(const fs::path& app_dir, std::string_view program_rel,
                                 std::optional<Target> requested) {
    std::string stored(program_rel);
    std::replace(stored.begin(), stored.end(), '\\', '/');
    const fs::path path = app_dir / path_from_utf8(stored);
    FileStatus info;
    if (!host_status(path, false, info) || info.kind != FileKind::Regular) {
        return requested.value_or(Target::Windows);
    }
    std::optional<MappedFile> file;
    std::span<const unsigned char> bytes;
    if (info.size > 0) {
        bytes = file.emplace(path).bytes();
    }
    const bool script = bytes.size() >= 2 && bytes[0] == '#' && bytes[1] == '!';
    return judge_exec_program(read_binary_facts(bytes), script, quote_path(path), requested);
}

}  // namespace onefile::pack
