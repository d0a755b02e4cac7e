#include "link.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

#include "attached_template.h"
#include "errors.h"
#include "file_io.h"
#include "interrupt.h"
#include "kit.h"

extern char** environ;

namespace fs = std::filesystem;

namespace onefile::pack {

LinkRecipe parse_link_recipe(const std::string& text, const std::string& source) {
    LinkRecipe recipe;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        if (equals != std::string::npos && key == "target") {
            recipe.target = value;
        } else if (equals != std::string::npos && key == "cxx") {
            recipe.cxx = value;
        } else if (equals != std::string::npos && key == "windres") {
            recipe.windres = value;
        } else if (equals != std::string::npos && key == "arg") {
            recipe.args.push_back(value);
        } else {
            throw PackError(source + ":" + std::to_string(number) + ": unrecognised line");
        }
    }
    if (recipe.target.empty() || recipe.cxx.empty()) {
        throw PackError(source + " lacks a target= or cxx= line");
    }
    return recipe;
}

LinkRecipe read_link_recipe(const fs::path& kit_dir) {
    const fs::path path = kit_dir / "link.txt";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw PackError("the launcher kit " + quote_path(kit_dir) + " has no readable link.txt");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw PackError("cannot read " + quote_path(path));
    }
    return parse_link_recipe(text.str(), path.string());
}

LinkRecipe load_kit_recipe(Target target, const fs::path& kit_dir) {
    LinkRecipe recipe = read_link_recipe(kit_dir);
    if (recipe.target != target_name(target)) {
        throw PackError("the launcher kit " + quote_path(kit_dir) + " is for target " + recipe.target + ", not " +
                        std::string(target_name(target)));
    }
    return recipe;
}

namespace {

constexpr char SUBSYSTEM_PLACEHOLDER[] = "@SUBSYSTEM@";
constexpr char RESOURCES_PLACEHOLDER[] = "@RESOURCES@";

bool recipe_has(const LinkRecipe& recipe, const std::string& placeholder, bool whole_argument) {
    for (const std::string& arg : recipe.args) {
        if (whole_argument ? arg == placeholder : arg.find(placeholder) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

void check_link_options(const LinkRecipe& recipe, const fs::path& kit_dir, const LinkOptions& options) {
    if (options.console && !recipe_has(recipe, SUBSYSTEM_PLACEHOLDER, false)) {
        throw PackError("the launcher kit " + quote_path(kit_dir) +
                        " cannot link a console launcher: its link.txt has no @SUBSYSTEM@ argument");
    }
    if (options.resources && (recipe.windres.empty() || !recipe_has(recipe, RESOURCES_PLACEHOLDER, true))) {
        throw PackError("the launcher kit " + quote_path(kit_dir) +
                        " cannot add an icon or version information: its link.txt lacks a windres= line or an "
                        "@RESOURCES@ argument");
    }
}

std::string assembler_string_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || byte == 0x7F) {
            static const char octal[] = "01234567";
            out.push_back('\\');
            out.push_back(octal[(byte >> 6) & 7]);
            out.push_back(octal[(byte >> 3) & 7]);
            out.push_back(octal[byte & 7]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

static void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::string attached_assembler_source(Target target, const fs::path& attached_file, const fs::path& extras_file) {
    const std::pair<std::string, std::string> placeholders[] = {
        {"@SECTION@", target == Target::Windows ? "    .section .rdata,\"dr\""
                                                : "    .section .note.GNU-stack,\"\",@progbits\n"
                                                  "    .section .rodata,\"a\""},
        {"@ATTACHED_FILE@", assembler_string_escape(attached_file.string())},
        {"@EXTRAS_FILE@", assembler_string_escape(extras_file.string())},
    };
    // One pass over the template: a path that happens to hold a placeholder's name stays as it is.
    const std::string_view source = ATTACHED_ASSEMBLER_TEMPLATE;
    std::string text;
    for (std::size_t at = 0; at < source.size();) {
        bool replaced = false;
        for (const auto& [name, value] : placeholders) {
            if (source.substr(at).starts_with(name)) {
                text += value;
                at += name.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            text.push_back(source[at++]);
        }
    }
    return text;
}

int run_captured(const std::vector<std::string>& argv, std::string& output, const fs::path& temp_dir) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        throw PackError("cannot create a pipe: " + system_error_text(errno));
    }
    UniqueFd read_end(pipe_fds[0]);
    UniqueFd write_end(pipe_fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // dup2 clears close-on-exec on the copies; the originals close at exec.
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 2);

    // A process group of its own, so that an interrupt can end the program with everything it
    // starts in turn; the signals the packer blocks for its cleanup thread are unblocked again.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigaddset(&interrupts, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &interrupts);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    std::vector<std::string> environment_text;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (temp_dir.empty() || std::string_view(*entry).rfind("TMPDIR=", 0) != 0) {
            environment_text.emplace_back(*entry);
        }
    }
    if (!temp_dir.empty()) {
        environment_text.push_back("TMPDIR=" + temp_dir.string());
    }
    std::vector<char*> environment;
    for (std::string& entry : environment_text) {
        environment.push_back(entry.data());
    }
    environment.push_back(nullptr);

    pid_t pid = 0;
    const bool search = argv[0].find('/') == std::string::npos;
    int spawn_error = 0;
    {
        // Started and registered in one step as far as an interrupt can tell.
        auto lock = lock_temporaries();
        spawn_error = search ? ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environment.data())
                             : ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environment.data());
        if (spawn_error == 0) {
            set_child_group(pid);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawn_error != 0) {
        throw PackError("cannot run " + quote_path(argv[0]) + ": " + system_error_text(spawn_error));
    }
    write_end = UniqueFd();

    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw PackError("cannot wait for " + quote_path(argv[0]) + ": " + system_error_text(errno));
        }
    }
    {
        auto lock = lock_temporaries();
        set_child_group(0);
    }
    return status;
}

[[noreturn]] static void throw_tool_failure(const std::string& what, const std::string& tool, int status,
                                            const std::string& output) {
    const std::string how = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                              : "was killed by signal " + std::to_string(WTERMSIG(status));
    throw LinkError(what + " failed: " + quote_path(tool) + " " + how, output);
}

static void write_whole_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out;
    {
        // Created while an interrupt cannot be removing the directory around it.
        auto lock = lock_temporaries();
        out.open(path, std::ios::binary);
    }
    out << bytes;
    out.close();
    if (!out) {
        throw PackError("cannot write " + quote_path(path));
    }
}

std::string link_executable(Target target, const fs::path& kit_dir, const fs::path& attached_file,
                            const fs::path& extras_file, const fs::path& output, const fs::path& work_dir,
                            const LinkOptions& options) {
    const LinkRecipe recipe = load_kit_recipe(target, kit_dir);
    check_link_options(recipe, kit_dir, options);

    // The added resources: the packer's own .res file, made an object by the kit's resource compiler.
    std::string tool_output;
    std::optional<fs::path> resource_object;
    if (options.resources) {
        const fs::path res = work_dir / "resources.res";
        write_whole_file(res, *options.resources);
        resource_object = work_dir / "resources.o";
        const std::vector<std::string> windres{
            recipe.windres, "-J", "res", "-O", "coff", "-i", res.string(), "-o", resource_object->string()};
        const int status = run_captured(windres, tool_output, work_dir);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw_tool_failure("compiling the resources of " + quote_path(output), recipe.windres, status, tool_output);
        }
    }

    const fs::path assembler = work_dir / "attached.S";
    write_whole_file(assembler,
                     attached_assembler_source(target, fs::absolute(attached_file), fs::absolute(extras_file)));

    // The temporary name ends in ".tmp" so that a Windows-targeting compiler, which appends ".exe"
    // to an output name without an extension, writes exactly the file we renamed from.
    PendingFile pending(output, ".tmp");
    pending.close_fd();

    std::vector<std::string> argv{recipe.cxx};
    for (std::string arg : recipe.args) {
        if (arg == RESOURCES_PLACEHOLDER) {
            if (resource_object) {
                argv.push_back(resource_object->string());
            }
            continue;
        }
        replace_all(arg, SUBSYSTEM_PLACEHOLDER, options.console ? "console" : "windows");
        replace_all(arg, "@KIT@", kit_dir.string());
        replace_all(arg, "@ATTACHED@", assembler.string());
        replace_all(arg, "@OUTPUT@", pending.temp_path().string());
        argv.push_back(std::move(arg));
    }

    std::string compiler_output;
    // The compiler's own temporary files go into the work directory, which goes away with
    // whatever an interrupted compiler leaves there.
    const int status = run_captured(argv, compiler_output, work_dir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw_tool_failure("linking " + quote_path(output), recipe.cxx, status, compiler_output);
    }
    struct stat info {};
    if (::stat(pending.temp_path().c_str(), &info) != 0 || info.st_size == 0) {
        throw LinkError("linking " + quote_path(output) + " failed: " + quote_path(recipe.cxx) + " wrote no executable",
                        compiler_output);
    }
    pending.commit(0777);
    return tool_output + compiler_output;
}

}  // namespace onefile::pack
