// Turning an application directory into the ordered list of files the attached data carries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "extras_record.h"
#include "target.h"

namespace onefile::pack {

// One regular file of the application.
struct SourceFile {
    std::string name;            // relative to the application directory, backslash separators, UTF-8
    std::u16string name_utf16;   // the same, as the file table stores it
    std::filesystem::path path;  // where to read it
    std::uint64_t size = 0;
    bool executable = false;  // to be unpacked as a program: FileStatus::executable (host.h)
    // Its modification time as the host reports it (to the nanosecond on Linux, to 100 ns on
    // Windows), and not clamped: the writer checks it again when it reads the file.
    FileTime modified;
};

// What to do with a symbolic link whose target lies outside the application directory.
struct LinkPolicy {
    // false: refuse it; true: copy what it leads to like any other link.
    bool follow_outside = false;
};

// Checks the main binary's name as given on the command line (relative, '/' or '\' separators, "."
// components and doubled separators ignored) and returns it in file table form, e.g. "bin\app.exe".
// Throws PackError for an empty, absolute, drive-qualified or ".."-containing name.
std::string normalize_main_binary(std::string_view main_binary_rel);
// The same for any file named relative to the application directory; `what` names it in messages
// ("the main binary", "the program").
std::string normalize_relative_name(std::string_view relative, const std::string& what);

// Walks `app_dir` and returns its regular files, with their sizes and modification times: the main
// binary first, then every other file in byte-wise order of its file table name. Empty directories
// are left out. A symbolic link becomes a copy of what it leads to, under the link's own name: a
// regular file with the target's contents, size, executable bit and time, or the target
// directory's files below the link's name. Throws PackError for a missing or non-regular main
// binary, a special file anywhere in the tree (or a link to one), a dangling link, a chain of
// links in a loop, a link to a directory that contains the link (its copy would never end), a
// link leading outside the application directory unless `links` allows it, an unreadable file or
// directory, a name that is not UTF-8,
// contains a backslash or exceeds 4095 UTF-16 code units or that the launcher would refuse
// (name_containment_problem(): for Linux, e.g. "x:notes.txt" at the top), and a file table that
// would exceed its limit. For Target::Windows, also for names Windows cannot create and names that
// differ only in (ASCII) case.
std::vector<SourceFile> collect_app_files(const std::filesystem::path& app_dir, std::string_view main_binary_rel,
                                          Target target, const LinkPolicy& links = {});

}  // namespace onefile::pack
