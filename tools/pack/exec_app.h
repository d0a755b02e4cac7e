// Packing an ordinary program (onefile-pack --exec): the kit's exec main binary goes in front of
// the application as its main binary, and a one-line file beside it names the program to start.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app_tree.h"
#include "errors.h"
#include "target.h"

namespace onefile::pack {

// The file, at the root of the unpacked application, that names the program: its file table name
// (backslash separators) in UTF-8 and a line feed.
inline constexpr char EXEC_PROGRAM_FILE[] = "onefile_exec_program.txt";

// The exec main binary's name, in the launcher kit and at the root of the unpacked application:
// onefile_exec_main.so or onefile_exec_main.dll.
std::string exec_main_name(Target target);

// Checks the program named relative to `app_dir`: inside it (no absolute path, drive or ".."),
// present, a regular file and not a link, executable by its owner for Linux; and that the
// directory's top level holds neither of the two names --exec reserves (for Windows whatever their
// case). Returns the program's file table name. Throws PackError with a message naming what is
// wrong.
std::string check_exec_program(const std::filesystem::path& app_dir, std::string_view program_rel, Target target);

// The files of an exec pack in attached data order: the kit's exec main binary, then the
// application's files and the program file (written into `work_dir`, with the program's
// modification time) in name order. Throws PackError as check_exec_program() and
// collect_app_files() do, and when the kit has no exec main binary.
std::vector<SourceFile> collect_exec_files(const std::filesystem::path& app_dir, std::string_view program_rel,
                                           Target target, const std::filesystem::path& kit_dir,
                                           const std::filesystem::path& work_dir);

}  // namespace onefile::pack
