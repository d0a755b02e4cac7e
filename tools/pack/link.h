// Turning attached data into a finished executable with a launcher kit: the prebuilt launcher
// library and link.txt, the compiler command that links it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "kit.h"
#include "target.h"

namespace onefile::pack {

// link.txt: "target=<t>", "cxx=<compiler>", for Windows "windres=<resource compiler>", then one
// "arg=<argument>" line per argument, where @KIT@, @ATTACHED@ and @OUTPUT@ stand for the kit
// directory, the generated assembler file and the executable to write. A Windows recipe also has
// @SUBSYSTEM@ ("windows", or "console" for a console launcher) inside one argument, and one
// argument that is exactly @RESOURCES@: the object with the packer's added resources, or nothing.
struct LinkRecipe {
    std::string target;
    std::string cxx;
    std::string windres;  // empty: the kit cannot add resources
    std::vector<std::string> args;
};

// How the executable differs from the kit's default.
struct LinkOptions {
    bool console = false;                  // the console subsystem instead of the GUI one
    std::optional<std::string> resources;  // a resource file (.res) to link beside the manifest
};

// Throws PackError when the kit's recipe cannot do what `options` ask (an older or hand-made kit).
void check_link_options(const LinkRecipe& recipe, const std::filesystem::path& kit_dir, const LinkOptions& options);

// Parses link.txt text; `source` names it in messages. Throws PackError on an unknown line or a
// missing target= or cxx= line.
LinkRecipe parse_link_recipe(const std::string& text, const std::string& source);
// Reads and parses <kit_dir>/link.txt.
LinkRecipe read_link_recipe(const std::filesystem::path& kit_dir);

// read_link_recipe() plus the check that the kit links executables for `target`.
LinkRecipe load_kit_recipe(Target target, const std::filesystem::path& kit_dir);

// The assembler source that places `attached_file` in read-only data as onefile_attached_data and
// its length as the 64-bit constant onefile_attached_size, and right behind it `extras_file` (the
// record of additions; may be empty) as onefile_extras_data and its length as onefile_extras_size.
std::string attached_assembler_source(Target target, const std::filesystem::path& attached_file,
                                      const std::filesystem::path& extras_file);

// `text` as the contents of an assembler string literal (backslashes, quotes and control bytes escaped).
std::string assembler_string_escape(const std::string& text);

// Links `attached_file` and, right behind it, `extras_file` (the record of additions, an empty file
// for none; both used as they are) into an executable at `output` with the kit's compiler. The generated assembler file
// goes into `work_dir`. The output appears only when the link succeeded. Returns what the compiler printed (warnings),
// usually nothing. `options` choose the subsystem and add resources (compiled into `work_dir` with the kit's
// resource compiler). Throws LinkError with the compiler's output when the link fails, PackError for other problems
// (also when link.txt is for another target).
std::string link_executable(Target target, const std::filesystem::path& kit_dir,
                            const std::filesystem::path& attached_file, const std::filesystem::path& extras_file,
                            const std::filesystem::path& output, const std::filesystem::path& work_dir,
                            const LinkOptions& options = {});

// Runs `argv` (argv[0] is the program; searched in PATH when it holds no '/') with stdin from
// /dev/null and stdout and stderr captured together, in a process group of its own (registered
// for the interrupt cleanup while it runs), with TMPDIR set to `temp_dir` unless that is empty.
// Returns the wait status; throws PackError when the program cannot be started.
int run_captured(const std::vector<std::string>& argv, std::string& output, const std::filesystem::path& temp_dir = {});

}  // namespace onefile::pack
