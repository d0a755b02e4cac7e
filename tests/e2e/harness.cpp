#include "harness.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

namespace {

fs::path source_root() { return fs::path(ONEFILE_SOURCE_DIR); }
fs::path build_dir(Target target) { return source_root() / "build" / target_name(target); }

fs::path wine_prefix() {
    const char* prefix = getenv("WINEPREFIX");
    return prefix != nullptr ? fs::path(prefix) : source_root() / "build" / "wineprefix";
}

// Where Linux runs of the harness put their target directories.
fs::path linux_temp() {
    static const fs::path path = [] {
        fs::path p = fs::temp_directory_path() / ("onefile-e2e-" + std::to_string(getpid()));
        fs::create_directories(p);
        return p;
    }();
    return path;
}

RunResult spawn_and_collect(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const fs::path& cwd, int timeout_ms, bool keep_stdin_open) {
    RunResult result;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own, so that a timeout can end the whole tree.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (!keep_stdin_open) close(in_pipe[1]);
    if (error != 0) {
        ADD_FAILURE() << "spawn " << argv[0] << ": " << strerror(error);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (keep_stdin_open) close(in_pipe[1]);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (keep_stdin_open) close(in_pipe[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (result.timed_out) {
        result.status = -1;
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> environment_with(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string entry = *p;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

}  // namespace

std::string target_name(Target target) { return target == Target::Linux ? "linux" : "windows"; }

std::string library_name(Target target, const std::string& stem) {
    return stem + (target == Target::Linux ? ".so" : ".dll");
}

fs::path fixture_path(Target target, const std::string& stem) {
    return build_dir(target) / "bin" / library_name(target, stem);
}

bool target_available(Target target) {
    return fs::exists(build_dir(target) / "share" / "onefile" / target_name(target) / "link.txt") &&
           fs::exists(fixture_path(target, "fixture_app"));
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "onefile-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    // Tests may leave read-only files behind on purpose.
    for (auto it = fs::recursive_directory_iterator(path_, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(path_, error);
}

fs::path make_fixture_app(Target target, const fs::path& directory) {
    fs::create_directories(directory);
    for (const char* stem : {"fixture_app", "fixture_helper"}) {
        fs::copy_file(fixture_path(target, stem), directory / library_name(target, stem),
                      fs::copy_options::overwrite_existing);
    }
    return directory;
}

void write_file(const fs::path& path, const std::string& content) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

RunResult run_packer(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{ONEFILE_PACK_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawn_and_collect(argv, environment_with({}), {}, 600000, false);
}

void pack(Target target, const fs::path& app_dir, const std::string& main, const fs::path& output,
          const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"--quiet", "--target", target_name(target)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.insert(arguments.end(), {"-o", output.string(), app_dir.string(), main});
    const RunResult result = run_packer(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
}

void pack_raw(Target target, const std::string& attached, const fs::path& output) {
    const fs::path data = output.string() + ".attached";
    write_file(data, attached);
    const RunResult result =
        run_packer({"--quiet", "--target", target_name(target), "--raw-attached", data.string(), "-o", output.string()});
    ASSERT_EQ(result.status, 0) << result.err;
}

RunResult run(Target target, const fs::path& executable, const RunOptions& options) {
    std::vector<std::string> argv;
    auto changes = options.environment;
    if (target == Target::Windows) {
        argv.push_back("wine");
        changes.emplace("WINEPREFIX", wine_prefix().string());
        changes.emplace("WINEDEBUG", "-all");
        changes.emplace("WINEDLLOVERRIDES", "winedbg.exe=d;mscoree,mshtml=");
        changes.emplace("LANG", "C.UTF-8");
    } else {
        changes.emplace("TMPDIR", linux_temp().string());
    }
    argv.push_back(executable.string());
    argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
    return spawn_and_collect(argv, environment_with(changes), options.working_directory, options.timeout_ms,
                             options.keep_stdin_open);
}

fs::path launcher_temp_dir(Target target) {
    if (target == Target::Linux) return linux_temp();
    const fs::path users = wine_prefix() / "drive_c" / "users";
    const char* user = getenv("USER");
    if (user != nullptr && fs::exists(users / user / "Temp")) return users / user / "Temp";
    for (const auto& entry : fs::directory_iterator(users)) {
        if (fs::exists(entry.path() / "Temp")) return entry.path() / "Temp";
    }
    return users / "root" / "Temp";
}

std::vector<fs::path> target_directories(Target target) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(launcher_temp_dir(target), error)) {
        if (entry.path().filename().string().rfind("onefile_", 0) == 0) found.push_back(entry.path());
    }
    return found;
}

fs::path host_path(Target target, const std::string& printed) {
    if (target == Target::Linux) return printed;
    std::string rest = printed.size() > 2 ? printed.substr(3) : std::string();
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    const char drive = static_cast<char>(tolower(static_cast<unsigned char>(printed[0])));
    if (drive == 'z') return fs::path("/") / rest;
    return wine_prefix() / ("drive_" + std::string(1, drive)) / rest;
}

std::string eol(Target target) { return target == Target::Windows ? "\r\n" : "\n"; }

namespace {
void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
void put_u16s(std::string& out, const std::u16string& text) {
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    out += std::string(2, '\0');
}
}  // namespace

std::string attached_bytes(uint64_t table_size, uint64_t compressed_size, const std::string& table,
                           const std::string& stream, const std::string& trailing) {
    std::string out;
    put_u64(out, table_size);
    put_u64(out, compressed_size);
    return out + table + stream + trailing;
}

std::string entry_bytes(const EntrySpec& entry) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>((entry.flags >> (8 * i)) & 0xFF);
    put_u64(out, entry.size);
    put_u16s(out, entry.name);
    if ((entry.flags & 2) != 0) put_u16s(out, entry.second);
    return out;
}

std::string compress(const std::string& content) {
    std::string out(ZSTD_compressBound(content.size()), '\0');
    const size_t size = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3);
    if (ZSTD_isError(size)) {
        ADD_FAILURE() << ZSTD_getErrorName(size);
        return {};
    }
    out.resize(size);
    return out;
}

}  // namespace e2e
