#include "cli.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "attached_reader.h"
#include "attached_writer.h"
#include "binary_check.h"
#include "errors.h"
#include "exec_app.h"
#include "executable.h"
#include "extras_record.h"
#include "file_io.h"
#include "host.h"
#include "interrupt.h"
#include "kit.h"
#include "progress.h"
#include "resources.h"
#include "sha256.h"
#include "target.h"
#include "unicode.h"

#ifndef ONEFILE_PACK_VERSION
#define ONEFILE_PACK_VERSION "0.0.0"
#endif

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

const char USAGE[] =
    "usage: onefile-pack [--target windows|linux] [--level N] [--frames N|auto] [--no-times]\n"
    "                    [--follow-links] [--cache] [--quiet] [--kit DIR] [WINDOWS_OPTIONS] -o OUTPUT\n"
    "                    APP_DIR MAIN_BINARY\n"
    "       onefile-pack [--target windows|linux] [--level N] [--frames N|auto] [--no-times]\n"
    "                    [--follow-links] [--cache] [--quiet] [--kit DIR] [WINDOWS_OPTIONS] -o OUTPUT\n"
    "                    --exec APP_DIR PROGRAM\n"
    "       onefile-pack [--target windows|linux] [--cache] [--quiet] [--kit DIR] [WINDOWS_OPTIONS]\n"
    "                    --raw-attached FILE -o OUTPUT\n"
    "       onefile-pack [--target windows|linux] [--level N] [--frames N|auto] [--follow-links] [--quiet]\n"
    "                    --attached-only FILE APP_DIR MAIN_BINARY\n"
    "       onefile-pack --list FILE\n"
    "       onefile-pack [--quiet] --verify FILE\n"
    "\n"
    "Packs every regular file of APP_DIR into one executable that extracts and runs MAIN_BINARY\n"
    "(a path relative to APP_DIR). With --exec, PROGRAM (relative to APP_DIR) is an ordinary\n"
    "executable instead, packed unchanged: a main binary from the kit starts it with the user's\n"
    "arguments, standard handles and environment, and the executable returns its exit status.\n"
    "Each file's modification time goes into the executable beside it, and the files unpacked get\n"
    "their times back. When SOURCE_DATE_EPOCH is set (seconds since 1970), every time later than it\n"
    "is recorded as exactly that time, so that the same inputs give the same executable.\n"
    "\n"
    "MAIN_BINARY must be a 64-bit x86-64 library with the launcher's entry: a Windows DLL whose export\n"
    "ordinal 1 is onefile_main, or a Linux shared object exporting onefile_main. Anything else (a\n"
    "program, a 32-bit or other-machine binary, a library without the entry) is refused before\n"
    "packing. A warning, printed even with --quiet, names a DLL whose ordinal 1 is not onefile_main\n"
    "and each library MAIN_BINARY needs that is neither in APP_DIR where the loader looks nor the\n"
    "system's. Windows: at the top of APP_DIR or beside MAIN_BINARY, else a known system DLL.\n"
    "Linux: at the top of APP_DIR or in a run path directory of MAIN_BINARY inside APP_DIR, else a\n"
    "file in /lib/x86_64-linux-gnu, /usr/lib/x86_64-linux-gnu, /lib64, /usr/lib64, /lib or /usr/lib.\n"
    "\n"
    "A symbolic link in APP_DIR is packed as a copy of what it leads to, under the link's own name: a\n"
    "file with its target's contents, permissions and time, or a directory's files. A link leading\n"
    "outside APP_DIR (in the end, through any chain of links) is refused unless --follow-links is\n"
    "given; a dangling link, and a link to a directory that contains it, are always refused.\n"
    "\n"
    "  -o, --output OUTPUT     the executable to write\n"
    "  --target windows|linux  the launcher to pack for; MAIN_BINARY or PROGRAM must be built for it\n"
    "                          (default: the target MAIN_BINARY or PROGRAM is built for, linux for a\n"
    "                          #! script; windows with --raw-attached)\n"
    "  --level N               Zstandard compression level, 1 to 22 (default: 9)\n"
    "  --frames N|auto         split the compressed stream into about N frames of whole files, which\n"
    "                          the launcher decodes in parallel; 1: one frame (default: auto, one\n"
    "                          frame below 32 MiB, else frames of about 16 MiB)\n"
    "  --no-times              record no modification times: unpacked files get the time of the\n"
    "                          unpacking\n"
    "  --follow-links          also copy what symbolic links leading outside APP_DIR point to\n"
    "  --cache                 cached extraction: the first start unpacks into the user's cache\n"
    "                          ($XDG_CACHE_HOME/onefile, else ~/.cache/onefile; on Windows\n"
    "                          %LOCALAPPDATA%\\onefile) and later starts run from there without\n"
    "                          unpacking; remove that directory to clear the cache\n"
    "  --kit DIR               launcher kit directory (default: $ONEFILE_KIT_DIR, else the kit\n"
    "                          beside this program)\n"
    "  --exec                  the second name is an ordinary PROGRAM to run, not a main binary;\n"
    "                          APP_DIR must not hold onefile_exec_main.so/.dll or\n"
    "                          onefile_exec_program.txt at its top, which --exec adds there. When\n"
    "                          PROGRAM cannot be started, the executable prints why on standard\n"
    "                          error and exits with status 127. Also with --attached-only\n"
    "  --attached-only FILE    write only the attached data to FILE (no times), no executable\n"
    "  --raw-attached FILE     pack FILE's bytes unchanged as the attached data, with no times\n"
    "  --list FILE             print the file table of a packed executable or attached data file:\n"
    "                          one line per entry, NAME<tab>SIZE<tab>FLAGS, and <tab>TIME when the\n"
    "                          executable records times (ISO 8601, UTC, e.g. 2026-12-08T23:34:45Z)\n"
    "  --verify FILE           check a packed executable's or attached data file's table and stream\n"
    "  -q, --quiet             print nothing on success, and no progress line\n"
    "  -h, --help              show this help\n"
    "  --version               show the version\n"
    "\n"
    "WINDOWS_OPTIONS, for a Windows executable only:\n"
    "  --icon FILE.ico         the executable's icon, as Explorer shows it\n"
    "  --version-info KEY=VALUE\n"
    "                          version information as Explorer's Details tab shows it; repeat for\n"
    "                          each key: product, version (1 to 4 dot-separated numbers from 0 to\n"
    "                          65535, e.g. 1.2.3), company, description, copyright. The output's file\n"
    "                          name is recorded as the original file name.\n"
    "  --console               a console program: it opens a console window when started from\n"
    "                          Explorer, and a command prompt waits for it (default: a GUI program,\n"
    "                          which opens none)\n"
    "\n"
    "When standard error is a terminal, a pack that takes more than a second shows a progress\n"
    "line there.\n"
    "\n"
    "Exit status: 0 success, 1 usage error, 2 failure.\n";

struct UsageError {
    std::string message;
};

enum class Mode { Pack, AttachedOnly, RawAttached, List, Verify };

struct Invocation {
    Mode mode = Mode::Pack;
    std::optional<std::string> mode_option;  // the option that chose the mode
    std::string mode_file;
    std::optional<std::string> output;
    // Given with --target; otherwise the main binary's own, and windows for --raw-attached.
    std::optional<Target> target;
    int level = DEFAULT_LEVEL;
    std::size_t frames = 0;  // 0: auto
    bool quiet = false;
    bool no_times = false;
    bool follow_links = false;
    bool exec = false;  // the second positional is an ordinary program
    bool cache = false;
    std::optional<fs::path> kit;
    std::vector<std::string> positional;
    // The options that shape a Windows executable, in the order given, for messages.
    std::vector<std::string> windows_options;
    std::optional<std::string> icon;
    VersionInfo version_info;
    bool version_info_given = false;
    bool console = false;
    bool help = false;
    bool version = false;
};

int parse_level(const std::string& text) {
    int level = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), level);
    if (error != std::errc() || end != text.data() + text.size() || level < MIN_LEVEL || level > MAX_LEVEL) {
        throw UsageError{"--level takes a number from 1 to 22, not '" + text + "'"};
    }
    return level;
}

const char VERSION_KEYS[] = "product, version, company, description, copyright";

void add_version_info(VersionInfo& info, const std::string& text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        throw UsageError{"--version-info takes KEY=VALUE (keys: " + std::string(VERSION_KEYS) + "), not '" + text +
                         "'"};
    }
    const std::string key = text.substr(0, equals);
    const std::string value = text.substr(equals + 1);
    const std::pair<const char*, std::optional<std::string>*> fields[] = {
        {"product", &info.product},         {"version", &info.version},     {"company", &info.company},
        {"description", &info.description}, {"copyright", &info.copyright},
    };
    for (const auto& [name, field] : fields) {
        if (key != name) {
            continue;
        }
        if (*field) {
            throw UsageError{"--version-info " + key + "= is given twice"};
        }
        if (value.empty()) {
            throw UsageError{"--version-info " + key + "= has an empty value"};
        }
        if (!utf8_to_utf16(value)) {
            throw UsageError{"--version-info " + key + "= is not UTF-8 text"};
        }
        if (key == "version" && !parse_version_number(value)) {
            throw UsageError{"--version-info version= takes 1 to 4 dot-separated numbers from 0 to 65535, not '" +
                             value + "'"};
        }
        *field = value;
        return;
    }
    throw UsageError{"--version-info has no key '" + key + "' (keys: " + VERSION_KEYS + ")"};
}

std::size_t parse_frames(const std::string& text) {
    if (text == "auto") {
        return 0;
    }
    std::size_t frames = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), frames);
    if (error != std::errc() || end != text.data() + text.size() || frames < 1 || frames > 65536) {
        throw UsageError{"--frames takes auto or a number from 1 to 65536, not '" + text + "'"};
    }
    return frames;
}

void set_mode(Invocation& invocation, Mode mode, const std::string& option, const std::string& file) {
    if (invocation.mode_option) {
        throw UsageError{*invocation.mode_option + " and " + option + " cannot be combined"};
    }
    invocation.mode = mode;
    invocation.mode_option = option;
    invocation.mode_file = file;
}

Invocation parse_args(const std::vector<std::string>& args) {
    Invocation invocation;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            invocation.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (arg.starts_with("--")) {
            if (const std::size_t equals = arg.find('='); equals != std::string::npos) {
                name = arg.substr(0, equals);
                inline_value = arg.substr(equals + 1);
            }
        } else if (arg.starts_with("-o") && arg.size() > 2) {
            name = "-o";
            inline_value = arg.substr(2);
        }
        auto value = [&]() -> std::string {
            if (inline_value) {
                return *inline_value;
            }
            if (i + 1 >= args.size()) {
                throw UsageError{name + " needs a value"};
            }
            return args[++i];
        };
        auto no_value = [&]() {
            if (inline_value) {
                throw UsageError{name + " takes no value"};
            }
        };

        if (name == "-h" || name == "--help") {
            no_value();
            invocation.help = true;
        } else if (name == "--version") {
            no_value();
            invocation.version = true;
        } else if (name == "-q" || name == "--quiet") {
            no_value();
            invocation.quiet = true;
        } else if (name == "--no-times") {
            no_value();
            invocation.no_times = true;
        } else if (name == "--follow-links") {
            no_value();
            invocation.follow_links = true;
        } else if (name == "--exec") {
            no_value();
            invocation.exec = true;
        } else if (name == "--cache") {
            no_value();
            invocation.cache = true;
        } else if (name == "-o" || name == "--output") {
            invocation.output = value();
            if (invocation.output->empty()) {
                throw UsageError{"the output name is empty"};
            }
        } else if (name == "--target") {
            const std::string text = value();
            const std::optional<Target> target = parse_target(text);
            if (!target) {
                throw UsageError{"--target takes windows or linux, not '" + text + "'"};
            }
            invocation.target = *target;
        } else if (name == "--level") {
            invocation.level = parse_level(value());
        } else if (name == "--frames") {
            invocation.frames = parse_frames(value());
        } else if (name == "--kit") {
            invocation.kit = path_from_utf8(value());
        } else if (name == "--icon") {
            if (invocation.icon) {
                throw UsageError{"--icon is given twice"};
            }
            invocation.icon = value();
            if (invocation.icon->empty()) {
                throw UsageError{"--icon needs a file name"};
            }
            invocation.windows_options.push_back(name);
        } else if (name == "--version-info") {
            add_version_info(invocation.version_info, value());
            invocation.version_info_given = true;
            invocation.windows_options.push_back(name);
        } else if (name == "--console") {
            no_value();
            invocation.console = true;
            invocation.windows_options.push_back(name);
        } else if (name == "--attached-only") {
            set_mode(invocation, Mode::AttachedOnly, name, value());
        } else if (name == "--raw-attached") {
            set_mode(invocation, Mode::RawAttached, name, value());
        } else if (name == "--list") {
            set_mode(invocation, Mode::List, name, value());
        } else if (name == "--verify") {
            set_mode(invocation, Mode::Verify, name, value());
        } else {
            throw UsageError{"unknown option '" + name + "'"};
        }
    }
    if (invocation.help || invocation.version) {
        return invocation;
    }
    if (invocation.mode_option && invocation.mode_file.empty()) {
        throw UsageError{*invocation.mode_option + " needs a file name"};
    }

    const bool takes_app = invocation.mode == Mode::Pack || invocation.mode == Mode::AttachedOnly;
    if (invocation.exec && !takes_app) {
        throw UsageError{"--exec is not used with " + invocation.mode_option.value_or("")};
    }
    const std::string expected = invocation.exec ? "APP_DIR and PROGRAM" : "APP_DIR and MAIN_BINARY";
    if (takes_app && invocation.positional.size() != 2) {
        throw UsageError{invocation.positional.size() < 2 ? "expected " + expected
                                                          : "too many arguments: expected " + expected};
    }
    if (!takes_app && !invocation.positional.empty()) {
        throw UsageError{*invocation.mode_option + " takes no APP_DIR or MAIN_BINARY, but got '" +
                         invocation.positional.front() + "'"};
    }
    const bool links = invocation.mode == Mode::Pack || invocation.mode == Mode::RawAttached;
    if (links && !invocation.output) {
        throw UsageError{"missing -o OUTPUT"};
    }
    if (!links && invocation.output) {
        throw UsageError{"-o is not used with " + *invocation.mode_option};
    }
    // Only a pack records times: elsewhere the option would do nothing, which is not what whoever
    // gave it meant.
    if (invocation.no_times && invocation.mode != Mode::Pack) {
        throw UsageError{"--no-times is not used with " + *invocation.mode_option};
    }
    // The icon, the version information and the subsystem belong to a linked Windows executable.
    if (!invocation.windows_options.empty()) {
        const std::string& option = invocation.windows_options.front();
        if (!links) {
            throw UsageError{option + " is not used with " + *invocation.mode_option};
        }
        if (invocation.target && *invocation.target != Target::Windows) {
            throw UsageError{option + " is only for --target windows"};
        }
    }
    if (invocation.follow_links && !takes_app) {
        throw UsageError{"--follow-links is not used with " + *invocation.mode_option};
    }
    // Only a linked executable starts, so only it can be marked.
    if (invocation.cache && !links) {
        throw UsageError{"--cache is not used with " + *invocation.mode_option};
    }
    return invocation;
}

// Where a marked executable's files go, for --list: on standard error, so that the table on
// standard output stays one line per entry.
void print_cache_note(std::ostream& err, const std::string& file, const ExtrasRecord& extras) {
    const std::string entry = cache_entry_name(path_to_utf8(path_from_utf8(file).filename()), *extras.cache_digest);
    err << "cached extraction: unpacked once into $XDG_CACHE_HOME/onefile/" << entry << " (else ~/.cache/onefile/"
        << entry << "; on Windows %LOCALAPPDATA%\\onefile\\" << entry
        << "), named after the executable's file name as it is started; remove the directory to clear it\n";
}

// A file table name for a terminal: control characters become \xNN so each entry stays on one line.
std::string display_name(const std::u16string& name) { return escape_for_display(utf16_to_utf8(name), false); }

void check_readable_file(const fs::path& path) {
    UniqueFd fd(host_open_read(path, false));
    if (!fd) {
        throw_system_error("read", path, host_last_error());
    }
    FileStatus info;
    if (!host_file_status(fd.get(), info)) {
        throw_system_error("read", path, host_last_error());
    }
    if (info.kind != FileKind::Regular) {
        throw PackError(quote_path(path) + " is not a regular file");
    }
}

std::string read_icon_file(const fs::path& path) {
    check_readable_file(path);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in || in.bad()) {
        throw PackError("cannot read " + quote_path(path));
    }
    return bytes.str();
}

// The subsystem and the added resources the options ask for.
ExecutableOptions executable_options(const Invocation& invocation) {
    ExecutableOptions options;
    options.console = invocation.console;
    if (invocation.icon) {
        options.extra.icon = parse_ico(read_icon_file(path_from_utf8(*invocation.icon)), *invocation.icon);
    }
    if (invocation.version_info_given) {
        options.extra.version =
            version_resource(invocation.version_info, path_to_utf8(path_from_utf8(*invocation.output).filename()));
    }
    return options;
}

// Whether --verify could also check the content checksum: data from older packers has none, and a
// damaged byte that still decodes goes unnoticed there.
std::string checksum_note(const VerifyReport& report) {
    if (report.frame_count == 0) {
        return "";
    }
    if (report.checksummed_frames == report.frame_count) {
        return ", content checksum matches";
    }
    if (report.checksummed_frames == 0) {
        return ", without content checksum";
    }
    return ", " + std::to_string(report.checksummed_frames) + " with a content checksum, which matches";
}

// Whether the executable records the files' times, which were then checked too.
std::string times_note(const VerifyReport& report) {
    return report.listing.extras && report.listing.extras->file_times ? ", file times recorded" : "";
}

void report_packed(std::ostream& out, const std::string& what, const PackSummary& summary) {
    out << what << ": " << summary.file_count << " files, " << summary.content_size << " bytes, attached data "
        << summary.attached_size << " bytes\n";
}

// Checks the main binary before anything is packed, prints its warnings and returns the target to
// pack for: the one given, which the main binary must match, or the main binary's own. A main
// binary that is missing or no regular file is left to the tree walk, which explains it; the target
// is then the one given, else windows.
Target checked_target(const Invocation& invocation, std::ostream& err) {
    const std::optional<BinaryVerdict> verdict =
        check_main_binary(path_from_utf8(invocation.positional[0]), invocation.positional[1], invocation.target);
    if (!verdict) {
        return invocation.target.value_or(Target::Windows);
    }
    // Shown even with --quiet: each one names a mistake that would otherwise surface only when
    // the packed program runs.
    for (const std::string& warning : verdict->warnings) {
        err << "onefile-pack: warning: " << warning << "\n";
    }
    return verdict->target;
}

// The target of an --exec pack: the one given, which the program must match, or the program's own
// (a script's is linux).
Target exec_target(const Invocation& invocation) {
    return check_exec_program_target(path_from_utf8(invocation.positional[0]), invocation.positional[1],
                                     invocation.target);
}

int execute(const Invocation& invocation, std::ostream& out, std::ostream& err, const CliTerminal& terminal) {
    std::optional<ProgressReporter> progress;
    auto start_progress = [&](ProgressPhase phase) {
        if (terminal.err_is_terminal && !invocation.quiet) {
            if (!progress) {
                progress.emplace(err, ProgressTiming{terminal.progress_delay}, phase);
            }
            progress->line().set_phase(phase);
        }
    };
    auto track = [&](PackOptions& options) {
        if (progress) {
            options.progress = [&](std::uint64_t done, std::uint64_t total) { progress->line().update(done, total); };
        }
    };

    switch (invocation.mode) {
        case Mode::List: {
            const AttachedListing listing = list_attached(path_from_utf8(invocation.mode_file));
            // list_attached() made sure that the record holds one time for each entry.
            const std::vector<FileTime>* times =
                listing.extras && listing.extras->file_times ? &*listing.extras->file_times : nullptr;
            for (std::size_t i = 0; i < listing.entries.size(); ++i) {
                const TableEntry& entry = listing.entries[i];
                out << display_name(entry.name) << '\t' << entry.size << '\t' << entry.flags;
                if (times != nullptr) {
                    out << '\t' << format_file_time((*times)[i]);
                }
                out << '\n';
            }
            if (listing.extras && listing.extras->cache_digest) {
                print_cache_note(err, invocation.mode_file, *listing.extras);
            }
            return EXIT_OK;
        }
        case Mode::Verify: {
            const VerifyReport report = verify_attached(path_from_utf8(invocation.mode_file));
            if (!invocation.quiet) {
                out << invocation.mode_file << ": ok, " << report.listing.entries.size() << " files, "
                    << report.content_size << " bytes, compressed stream " << report.listing.compressed_size
                    << " bytes in " << report.frame_count << (report.frame_count == 1 ? " frame" : " frames")
                    << checksum_note(report) << times_note(report) << "\n";
            }
            return EXIT_OK;
        }
        case Mode::AttachedOnly: {
            PackOptions options;
            // An ordinary program is no main binary to check: its target is the one given.
            const Target target = invocation.exec ? exec_target(invocation) : checked_target(invocation, err);
            options.target = target;
            options.links.follow_outside = invocation.follow_links;
            options.frames = invocation.frames;
            std::optional<TempDir> exec_work;
            std::vector<SourceFile> files;
            if (invocation.exec) {
                check_exec_program(path_from_utf8(invocation.positional[0]), invocation.positional[1], target);
                const fs::path kit_dir = find_kit_dir(target, invocation.kit);
                exec_work.emplace();
                files = collect_exec_files(path_from_utf8(invocation.positional[0]), invocation.positional[1], target,
                                           kit_dir, exec_work->path(), options.links);
            }
            start_progress(ProgressPhase::Compressing);
            track(options);
            const PackSummary summary =
                invocation.exec
                    ? write_attached_data(files, invocation.level, path_from_utf8(invocation.mode_file), options)
                    : write_attached_data(path_from_utf8(invocation.positional[0]), invocation.positional[1],
                                          invocation.level, path_from_utf8(invocation.mode_file), options);
            if (progress) {
                progress->stop();
            }
            if (!invocation.quiet) {
                report_packed(out, invocation.mode_file, summary);
            }
            return EXIT_OK;
        }
        case Mode::Pack:
        case Mode::RawAttached:
            break;
    }

    // Data linked as it is has no main binary to look at: its target is the one given, else windows.
    // A program that cannot be packed is the first thing to hear about, before any kit.
    const Target target = invocation.mode == Mode::RawAttached ? invocation.target.value_or(Target::Windows)
                          : invocation.exec                    ? exec_target(invocation)
                                                               : checked_target(invocation, err);
    // Options for a Windows executable, where the main binary or program makes it a Linux one.
    if (target != Target::Windows && !invocation.windows_options.empty()) {
        throw UsageError{invocation.windows_options.front() + " is only for a Windows executable, and " +
                         invocation.positional[1] + " is built for Linux"};
    }
    if (invocation.exec) {
        check_exec_program(path_from_utf8(invocation.positional[0]), invocation.positional[1], target);
    }
    // Find the kit before packing, so a missing one is reported at once rather than after compressing.
    const fs::path kit_dir = find_kit_dir(target, invocation.kit);
    // So is a malformed icon.
    const ExecutableOptions options = executable_options(invocation);

    // Read before packing, so that a malformed value is reported at once.
    std::optional<std::int64_t> epoch;
    if (invocation.mode == Mode::Pack && !invocation.no_times) {
        epoch = source_date_epoch_from_environment();
    }

    // The attached data goes straight into the executable; the record of additions behind it is
    // empty unless times are recorded or the executable is marked for cached extraction. Data
    // packed as it is carries no times, since nothing is known of the files it holds.
    std::optional<TempDir> work;
    std::optional<PackSummary> summary;
    AttachedProducer attached;
    if (invocation.mode == Mode::RawAttached) {
        const fs::path raw = fs::absolute(path_from_utf8(invocation.mode_file));
        check_readable_file(raw);
        start_progress(ProgressPhase::Writing);
        attached = [raw](const ByteSink& sink) { return copy_file_to(raw, sink); };
    } else {
        work.emplace();
        PackOptions pack_options;
        pack_options.target = target;
        pack_options.links.follow_outside = invocation.follow_links;
        pack_options.frames = invocation.frames;
        pack_options.temp_dir = work->path();
        std::vector<SourceFile> files =
            invocation.exec ? collect_exec_files(path_from_utf8(invocation.positional[0]), invocation.positional[1],
                                                 target, kit_dir, work->path(), pack_options.links)
                            : collect_app_files(path_from_utf8(invocation.positional[0]), invocation.positional[1],
                                                target, pack_options.links);
        start_progress(ProgressPhase::Compressing);
        track(pack_options);
        attached = [&, files = std::move(files), pack_options](const ByteSink& sink) {
            summary = write_attached_data(files, invocation.level, sink, pack_options);
            if (progress) {
                progress->line().set_phase(ProgressPhase::Writing);
            }
            return summary->attached_size;
        };
    }
    const ExtrasProducer extras = [&](const Sha256Digest* digest) {
        std::vector<unsigned char> record;
        if (summary && !invocation.no_times) {
            record = encode_file_times_record(summary->file_times, epoch);
        }
        if (digest != nullptr) {
            add_cache_field(record, *digest);
        }
        return record;
    };
    write_executable(target, kit_dir, path_from_utf8(*invocation.output), options, attached, invocation.cache, extras);
    if (progress) {
        progress->stop();
    }
    if (!invocation.quiet) {
        if (summary) {
            report_packed(out, *invocation.output, *summary);
        } else {
            out << *invocation.output << ": packed " << invocation.mode_file << "\n";
        }
    }
    return EXIT_OK;
}

}  // namespace

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return run_cli(args, out, err, CliTerminal{});
}

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const CliTerminal& terminal) {
    Invocation invocation;
    try {
        invocation = parse_args(args);
    } catch (const UsageError& usage) {
        err << "onefile-pack: " << usage.message << " (see onefile-pack --help)\n";
        return EXIT_USAGE;
    }
    if (invocation.help) {
        out << USAGE;
        return EXIT_OK;
    }
    if (invocation.version) {
        out << "onefile-pack " ONEFILE_PACK_VERSION "\n";
        return EXIT_OK;
    }
    try {
        return execute(invocation, out, err, terminal);
    } catch (const UsageError& usage) {
        // One that only the main binary's target shows.
        err << "onefile-pack: " << usage.message << " (see onefile-pack --help)\n";
        return EXIT_USAGE;
    } catch (const std::bad_alloc&) {
        err << "onefile-pack: out of memory\n";
    } catch (const std::exception& error) {
        err << "onefile-pack: " << error.what() << "\n";
    }
    return EXIT_FAILURE_STATUS;
}

}  // namespace onefile::pack
