// A look at the main binary before packing: its headers, read from its bytes, tell the target it is
// built for, and mistakes that would otherwise show only when the packed executable runs (a program
// instead of a library, the wrong machine, no entry, a library the loader will not find) are
// refused or reported here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "target.h"

namespace onefile::pack {

// What the headers say. Every read is bounds-checked: a truncated or garbage file is Malformed or
// NotABinary, never a crash.
struct BinaryFacts {
    enum class Format { NotABinary, Pe, Elf };
    Format format = Format::NotABinary;
    // Set when the headers cannot be read: what is wrong with them ("the section table lies past
    // the end of the file"). Nothing below it is then filled in.
    std::optional<std::string> malformed;
    bool wide = false;                  // 64-bit (PE32+ / ELFCLASS64)
    bool little_endian = true;          // ELF only; PE is always little-endian
    std::uint16_t machine = 0;          // PE Machine or ELF e_machine
    bool library = false;               // PE with the DLL flag; ELF ET_DYN without DF_1_PIE
    bool position_independent = false;  // ELF ET_DYN marked DF_1_PIE
    bool has_interpreter = false;       // ELF PT_INTERP
    bool dynamic = false;               // ELF with a PT_DYNAMIC segment
    std::uint16_t elf_type = 0;         // ELF e_type
    // PE: an export with ordinal 1 exists; its name when it has one.
    bool has_ordinal_1 = false;
    std::optional<std::string> ordinal_1_name;
    // PE: the ordinal of the export named onefile_main. ELF: a defined global function onefile_main
    // in the dynamic symbol table (ordinal 0 then).
    std::optional<std::uint32_t> onefile_main_ordinal;
    bool exports_onefile_main = false;
    // PE import directory DLL names, ELF DT_NEEDED names, in file order.
    std::vector<std::string> imports;
    // ELF DT_RUNPATH, else DT_RPATH, split at ':' (with $ORIGIN unexpanded).
    std::vector<std::string> run_path;
};

// Reads the headers of a PE or ELF image.
BinaryFacts read_binary_facts(std::span<const unsigned char> image);

// Where the loader of the packed program will look for the libraries the main binary imports.
struct LibrarySearch {
    // The application ships it where the loader looks (see check_main_binary).
    std::function<bool(std::string_view name, const std::vector<std::string>& run_path)> shipped;
    // The system provides it.
    std::function<bool(std::string_view name)> system;
};

struct BinaryVerdict {
    Target target = Target::Windows;    // the main binary's own
    std::vector<std::string> warnings;  // one line each, without a prefix
};

// Judges the facts of the main binary shown as `shown` (quoted path): returns its target and the
// warnings, or throws PackError with a one-line message saying what to do, for a file that is no PE
// or ELF, malformed headers, a machine other than x86-64, a binary of the other target than
// `requested`, a program rather than a library, and a library without the launcher's entry.
BinaryVerdict judge_main_binary(const BinaryFacts& facts, const std::string& shown, std::optional<Target> requested,
                                const LibrarySearch& search);

// Whether a Windows DLL name is one that every Windows system provides (KERNEL32.dll, msvcrt.dll,
// api-ms-win-*, ...); case-insensitive.
bool is_windows_system_dll(std::string_view name);

// The directories whose libraries count as the system's for a Linux main binary: the places the
// dynamic loader of an x86-64 Debian-like system searches by default.
const std::vector<std::filesystem::path>& linux_system_library_dirs();

// Checks the main binary `main_binary_rel` of `app_dir` (read from disk) and returns its verdict.
// A library counts as shipped when a file of its name lies at the top of `app_dir` or, for Windows,
// beside the main binary (names compared without case), or for Linux in a run path directory of the
// main binary inside `app_dir` ($ORIGIN being the main binary's directory): where the loaders look
// in the packed program. It counts as the system's when it is a Windows system DLL, or for Linux
// when a file of its name is in linux_system_library_dirs(). Returns nullopt
// (nothing checked) when the main binary's name is not a regular file's: the tree walk reports that.
std::optional<BinaryVerdict> check_main_binary(const std::filesystem::path& app_dir, std::string_view main_binary_rel,
                                               std::optional<Target> requested);

// Judges an --exec PROGRAM from its facts and whether it starts with "#!" (a script): returns the
// target to pack for, or throws PackError for a library given as a program, a machine other than
// x86-64, a program of the other target than `requested`, and a file whose target cannot be told
// when none is requested. A script runs on Linux; anything else that is no binary needs --target.
Target judge_exec_program(const BinaryFacts& facts, bool script, const std::string& shown,
                          std::optional<Target> requested);

// judge_exec_program() for the program `program_rel` of `app_dir`, read from disk. When it is no
// regular file, returns the requested target (else windows) and leaves the explanation to the
// program check.
Target check_exec_program_target(const std::filesystem::path& app_dir, std::string_view program_rel,
                                 std::optional<Target> requested);

}  // namespace onefile::pack
