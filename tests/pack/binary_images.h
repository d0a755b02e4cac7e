// Small synthetic PE and ELF images for the packer's tests: just the headers the main binary check
// reads, laid out so that every byte up to the last one is needed (a cut anywhere makes a
// malformed file).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "pack_test_support.h"

namespace pack_test {

// A little-endian byte buffer written at fixed offsets.
class Bytes {
public:
    explicit Bytes(std::size_t size = 0) : data_(size, '\0') {}
    void put(std::size_t offset, std::uint64_t value, int width) {
        if (data_.size() < offset + width) data_.resize(offset + width, '\0');
        for (int i = 0; i < width; ++i) data_[offset + i] = static_cast<char>(value >> (8 * i));
    }
    void put_text(std::size_t offset, const std::string& text) {
        if (data_.size() < offset + text.size() + 1) data_.resize(offset + text.size() + 1, '\0');
        data_.replace(offset, text.size(), text);
        data_[offset + text.size()] = '\0';
    }
    std::size_t size() const { return data_.size(); }
    const std::string& str() const { return data_; }

private:
    std::string data_;
};

struct ElfLayout {
    bool wide = true;            // ELFCLASS64
    bool little_endian = true;   // ELFDATA2LSB
    std::uint16_t type = 3;      // ET_DYN
    std::uint16_t machine = 62;  // x86-64
    bool interpreter = false;    // a PT_INTERP segment
    bool pie_flag = false;       // DF_1_PIE in DT_FLAGS_1
    // The one dynamic symbol besides the null one.
    std::string symbol = "onefile_main";
    std::uint16_t symbol_section = 7;  // 0: undefined
    unsigned symbol_type = 2;          // STT_FUNC
    std::vector<std::string> needed;
    std::string run_path;  // DT_RUNPATH; empty: none
};

// ELF header, program headers (PT_LOAD over the whole file at address 0, so addresses are file
// offsets; PT_INTERP; PT_DYNAMIC), the interpreter's name, strings, symbols, a DT_HASH table and
// the dynamic section last.
inline std::string elf_image(const ElfLayout& layout) {
    Bytes b;
    b.put(0, 0x464c457f, 4);
    b.put(4, layout.wide ? 2 : 1, 1);
    b.put(5, layout.little_endian ? 1 : 2, 1);
    b.put(6, 1, 1);
    auto half = [&](std::size_t offset, std::uint16_t value) {
        b.put(offset, layout.little_endian ? value : static_cast<std::uint16_t>((value >> 8) | (value << 8)), 2);
    };
    half(16, layout.type);
    half(18, layout.machine);
    if (!layout.wide || !layout.little_endian) {
        b.put(51, 0, 1);  // a 52-byte header is all a refused machine needs
        if (layout.wide) b.put(63, 0, 1);
        return b.str();
    }
    b.put(20, 1, 4);   // e_version
    b.put(32, 64, 8);  // e_phoff
    b.put(52, 64, 2);  // e_ehsize
    b.put(54, 56, 2);  // e_phentsize
    const int segments = layout.interpreter ? 3 : 2;
    b.put(56, segments, 2);

    std::size_t at = 64 + 56 * segments;
    std::size_t interp = 0;
    const std::string interp_name = "/lib64/ld-linux-x86-64.so.2";
    if (layout.interpreter) {
        interp = at;
        b.put_text(interp, interp_name);
        at += interp_name.size() + 1;
    }
    // Strings: "", the symbol, the needed names, the run path.
    const std::size_t strings = at;
    std::string table(1, '\0');
    auto add_string = [&](const std::string& text) {
        const std::size_t index = table.size();
        table += text;
        table += '\0';
        return index;
    };
    const std::size_t symbol_name = add_string(layout.symbol);
    std::vector<std::size_t> needed;
    for (const std::string& name : layout.needed) needed.push_back(add_string(name));
    const std::size_t run_path = layout.run_path.empty() ? 0 : add_string(layout.run_path);
    for (std::size_t i = 0; i < table.size(); ++i) b.put(strings + i, static_cast<unsigned char>(table[i]), 1);
    at = (strings + table.size() + 7) & ~std::size_t{7};
    const std::size_t symbols = at;  // the null symbol, then ours
    b.put(symbols + 24, symbol_name, 4);
    b.put(symbols + 24 + 4, (1u << 4) | layout.symbol_type, 1);  // STB_GLOBAL
    b.put(symbols + 24 + 6, layout.symbol_section, 2);
    b.put(symbols + 24 + 8, layout.symbol_section == 0 ? 0 : 0x1000, 8);
    at = symbols + 48;
    const std::size_t hash = at;  // nbucket 1, nchain 2, bucket[0] = 1, chain = {0, 0}
    b.put(hash, 1, 4);
    b.put(hash + 4, 2, 4);
    b.put(hash + 8, 1, 4);
    b.put(hash + 12, 0, 4);
    b.put(hash + 16, 0, 4);
    at = hash + 24;
    const std::size_t dynamic = at;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    for (std::size_t name : needed) entries.push_back({1, name});  // DT_NEEDED
    entries.push_back({4, hash});                                   // DT_HASH
    entries.push_back({5, strings});                                // DT_STRTAB
    entries.push_back({6, symbols});                                // DT_SYMTAB
    entries.push_back({10, table.size()});                          // DT_STRSZ
    entries.push_back({11, 24});                                    // DT_SYMENT
    if (!layout.run_path.empty()) entries.push_back({29, run_path});  // DT_RUNPATH
    if (layout.pie_flag) entries.push_back({0x6ffffffb, 0x08000000});
    entries.push_back({0, 0});
    for (std::size_t i = 0; i < entries.size(); ++i) {
        b.put(dynamic + 16 * i, entries[i].first, 8);
        b.put(dynamic + 16 * i + 8, entries[i].second, 8);
    }
    const std::size_t end = dynamic + 16 * entries.size();

    std::size_t header = 64;
    auto segment = [&](std::uint32_t type, std::size_t offset, std::size_t size) {
        b.put(header, type, 4);
        b.put(header + 8, offset, 8);
        b.put(header + 16, offset, 8);
        b.put(header + 24, offset, 8);
        b.put(header + 32, size, 8);
        b.put(header + 40, size, 8);
        header += 56;
    };
    segment(1, 0, end);  // PT_LOAD
    if (layout.interpreter) segment(3, interp, interp_name.size() + 1);
    segment(2, dynamic, end - dynamic);  // PT_DYNAMIC
    return b.str();
}

struct PeExport {
    std::uint32_t ordinal;
    std::string name;  // empty: exported by ordinal only
};

struct PeLayout {
    std::uint16_t machine = 0x8664;
    bool wide = true;  // PE32+
    bool dll = true;
    std::uint32_t ordinal_base = 1;
    std::vector<PeExport> exports = {{1, ""}};  // onefile_main @1 NONAME
    std::vector<std::string> imports;
};

// DOS header, PE signature, file header, PE32+ optional header with 16 data directories, one
// section at RVA 0x1000 (file offset 0x200) holding the export directory and the import
// descriptors; the last imported DLL's name (or the last export name) ends the file.
inline std::string pe_image(const PeLayout& layout) {
    Bytes b;
    b.put(0, 'M' | ('Z' << 8), 2);
    b.put(0x3c, 0x40, 4);
    b.put(0x40, 0x00004550, 4);
    const std::size_t coff = 0x44;
    b.put(coff, layout.machine, 2);
    b.put(coff + 2, 1, 2);  // one section
    const std::size_t optional_size = layout.wide ? 240 : 224;
    b.put(coff + 16, optional_size, 2);
    b.put(coff + 18, 0x0022 | (layout.dll ? 0x2000 : 0), 2);
    const std::size_t optional = coff + 20;
    b.put(optional, layout.wide ? 0x20b : 0x10b, 2);
    if (!layout.wide || layout.machine != 0x8664) {
        b.put(optional + optional_size - 1, 0, 1);
        return b.str();
    }
    b.put(optional + 60, 0x200, 4);  // SizeOfHeaders
    b.put(optional + 108, 16, 4);
    const std::size_t section_table = optional + optional_size;
    const std::uint32_t rva = 0x1000;
    const std::size_t raw = 0x200;

    // Section contents, built at their RVAs' file offsets.
    std::size_t at = raw;
    auto rva_of = [&](std::size_t offset) { return static_cast<std::uint32_t>(offset - raw + rva); };
    std::uint32_t last_ordinal = layout.ordinal_base;
    for (const PeExport& e : layout.exports) last_ordinal = std::max(last_ordinal, e.ordinal);
    const std::uint32_t function_count = layout.exports.empty() ? 0 : last_ordinal - layout.ordinal_base + 1;
    std::vector<PeExport> named;
    for (const PeExport& e : layout.exports) {
        if (!e.name.empty()) named.push_back(e);
    }
    std::sort(named.begin(), named.end(), [](const PeExport& l, const PeExport& r) { return l.name < r.name; });
    std::size_t export_directory = 0;
    if (!layout.exports.empty()) {
        export_directory = at;
        const std::size_t functions = export_directory + 40;
        const std::size_t names = functions + 4 * function_count;
        const std::size_t ordinals = names + 4 * named.size();
        b.put(export_directory + 16, layout.ordinal_base, 4);
        b.put(export_directory + 20, function_count, 4);
        b.put(export_directory + 24, named.size(), 4);
        b.put(export_directory + 28, rva_of(functions), 4);
        b.put(export_directory + 32, rva_of(names), 4);
        b.put(export_directory + 36, rva_of(ordinals), 4);
        b.put(functions + 4 * function_count, 0, 1);  // reserve the table
        for (const PeExport& e : layout.exports) b.put(functions + 4 * (e.ordinal - layout.ordinal_base), 0x2000 + e.ordinal, 4);
        at = ordinals + 2 * named.size();
        for (std::size_t i = 0; i < named.size(); ++i) {
            b.put(names + 4 * i, rva_of(at), 4);
            b.put(ordinals + 2 * i, named[i].ordinal - layout.ordinal_base, 2);
            b.put_text(at, named[i].name);
            at += named[i].name.size() + 1;
        }
    }
    std::size_t import_directory = 0;
    if (!layout.imports.empty()) {
        import_directory = at;
        at += 20 * (layout.imports.size() + 1);
        b.put(at - 1, 0, 1);
        for (std::size_t i = 0; i < layout.imports.size(); ++i) {
            b.put(import_directory + 20 * i + 12, rva_of(at), 4);
            b.put(import_directory + 20 * i + 16, 0x3000, 4);  // FirstThunk, not read
            b.put_text(at, layout.imports[i]);
            at += layout.imports[i].size() + 1;
        }
    }
    if (at == raw) b.put(at++, 0, 1);  // a section of one byte
    const std::size_t data_size = at - raw;
    if (export_directory != 0) {
        b.put(optional + 112, rva_of(export_directory), 4);
        b.put(optional + 116, 40, 4);
    }
    if (import_directory != 0) {
        b.put(optional + 120, rva_of(import_directory), 4);
        b.put(optional + 124, 20 * (layout.imports.size() + 1), 4);
    }
    b.put_text(section_table, ".rdata");
    b.put(section_table + 8, data_size, 4);
    b.put(section_table + 12, rva, 4);
    b.put(section_table + 16, data_size, 4);
    b.put(section_table + 20, raw, 4);
    return b.str();
}

// A main binary the packer accepts for `target` ("linux" or "windows"): a shared object exporting
// onefile_main or a DLL with ordinal 1, importing nothing; followed by incompressible bytes (which
// neither format reads) up to `size` when that is larger.
inline std::string main_binary_image(const std::string& target, std::size_t size = 0, unsigned seed = 0) {
    std::string image = target == "windows" ? pe_image(PeLayout{}) : elf_image(ElfLayout{});
    if (size > image.size()) image += random_bytes(size - image.size(), seed);
    return image;
}

}  // namespace pack_test
