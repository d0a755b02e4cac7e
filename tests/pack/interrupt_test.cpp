// A pack ended by SIGINT, SIGTERM or SIGHUP, or by a write that fails for lack of room, leaves
// nothing behind: neither its temporary directory in $TMPDIR nor a partial output. The packer runs
// as a process of its own here, as a user would run it; the signal is sent once the pack has
// reported reaching a known point, never after a guessed delay.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "binary_images.h"
#include "pack_test_support.h"

namespace fs = std::filesystem;

namespace {

using pack_test::random_bytes;
using pack_test::read;
using pack_test::TempDir;
using pack_test::write;

// How long a step may take before the test gives up on it: far beyond what any step needs, there
// only so that a broken packer fails the test instead of hanging it.
constexpr int kDeadlineMs = 120000;

struct Started {
    pid_t pid = -1;
    int report_fd = -1;  // the read end of the child's descriptor 3
};

// Starts `argv` with TMPDIR set to `tmpdir`, `extra_env` added, descriptor 3 the write end of a
// pipe, standard output and error into `err_file`, and, when given, a limit on the size of the
// files it writes (with SIGXFSZ ignored, so that a write past it fails with EFBIG).
Started start(const std::vector<std::string>& argv, const fs::path& tmpdir,
              const std::vector<std::pair<std::string, std::string>>& extra_env, const fs::path& err_file,
              std::optional<rlim_t> file_size_limit = std::nullopt) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    Started started;
    started.pid = fork();
    if (started.pid == 0) {
        dup2(fds[1], 3);  // dup2 leaves the copy open across exec
        const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 1);
        dup2(err, 2);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        for (const auto& [name, value] : extra_env) setenv(name.c_str(), value.c_str(), 1);
        if (file_size_limit) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{*file_size_limit, *file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    started.report_fd = fds[0];
    return started;
}

// The first line the child writes to its descriptor 3, or "" when none comes before the deadline.
std::string read_report(int fd) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, kDeadlineMs) != 1) return "";
        char c;
        if (::read(fd, &c, 1) != 1) return "";
        line.push_back(c);
    }
    return line;
}

// The child's wait status, once it has ended; a child still running at the deadline is killed and
// the test fails.
int wait_for(pid_t pid) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    EXPECT_GE(pidfd, 0) << strerror(errno);
    pollfd waiting{pidfd, POLLIN, 0};
    if (poll(&waiting, 1, kDeadlineMs) != 1) {
        ADD_FAILURE() << "the packer did not end";
        kill(pid, SIGKILL);
    }
    close(pidfd);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

std::vector<std::string> entries_of(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) names.push_back(entry.path().string());
    return names;
}

class Scratch {
public:
    Scratch() {
        write(dir_ / "app/main.bin", pack_test::main_binary_image("linux"));
        write(dir_ / "app/data.bin", random_bytes(3 << 20, 7));
        fs::create_directories(tmp());
        fs::create_directories(out());
    }
    fs::path app() const { return dir_ / "app"; }
    fs::path tmp() const { return dir_ / "tmp"; }
    fs::path out() const { return dir_ / "out"; }
    fs::path err() const { return dir_ / "stderr.txt"; }
    fs::path path() const { return dir_.path(); }

private:
    TempDir dir_;
};

// --- signals -----------------------------------------------------------------------------------------

struct Interruption {
    const char* label;
    int signal;
    bool attached_only;  // --attached-only, whose pending output lies beside the output, not in TMPDIR
};

void PrintTo(const Interruption& param, std::ostream* out) { *out << param.label; }

class InterruptedWhileCompressing : public ::testing::TestWithParam<Interruption> {};

TEST_P(InterruptedWhileCompressing, LeavesNothingAndDiesByTheSignal) {
    const Interruption& param = GetParam();
    Scratch scratch;
    const fs::path output = scratch.out() / (param.attached_only ? "attached.bin" : "app.run");
    std::vector<std::string> argv = {ONEFILE_PACK_PAUSED_PATH, "--quiet", "--target", "linux"};
    if (param.attached_only) {
        argv.insert(argv.end(), {"--attached-only", output.string()});
    } else {
        argv.insert(argv.end(), {"-o", output.string()});
    }
    argv.insert(argv.end(), {scratch.app().string(), "main.bin"});
    const Started packer =
        start(argv, scratch.tmp(), {{"ONEFILE_PACK_TEST_PAUSE", "compressing"}}, scratch.err());
    ASSERT_EQ(read_report(packer.report_fd), "paused compressing\n") << read(scratch.err());
    // Something to clean up is there: a test that would pass without the cleanup proves nothing.
    EXPECT_FALSE(entries_of(param.attached_only ? scratch.out() : scratch.tmp()).empty());

    ASSERT_EQ(kill(packer.pid, param.signal), 0);
    const int status = wait_for(packer.pid);
    close(packer.report_fd);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << ": " << read(scratch.err());
    EXPECT_EQ(WTERMSIG(status), param.signal);
    EXPECT_EQ(entries_of(scratch.tmp()), std::vector<std::string>{});
    EXPECT_EQ(entries_of(scratch.out()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Packer, InterruptedWhileCompressing,
                         ::testing::Values(Interruption{"Sigint", SIGINT, false},
                                           Interruption{"Sigterm", SIGTERM, false},
                                           Interruption{"Sighup", SIGHUP, false},
                                           Interruption{"SigintAttachedOnly", SIGINT, true},
                                           Interruption{"SigtermAttachedOnly", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- no room to write --------------------------------------------------------------------------------

// A full disk cannot be had here without privileges; a limit on the size of the files the packer
// may write makes its writes fail the same way (EFBIG instead of ENOSPC), at a size the test picks.
TEST(NoRoomToWrite, AFailedWriteWhileCompressingLeavesNothing) {
    Scratch scratch;
    const fs::path output = scratch.out() / "app.run";
    const Started packer = start({ONEFILE_PACK_PATH, "--quiet", "--target", "linux", "-o", output.string(),
                                  scratch.app().string(), "main.bin"},
                                 scratch.tmp(), {}, scratch.err(), rlim_t{512 << 10});
    const int status = wait_for(packer.pid);
    close(packer.report_fd);
    const std::string err = read(scratch.err());
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2) << err;
    EXPECT_EQ(err.rfind("onefile-pack: cannot write ", 0), 0u) << err;
    EXPECT_NE(err.find(strerror(EFBIG)), std::string::npos) << err;
    EXPECT_EQ(entries_of(scratch.tmp()), std::vector<std::string>{});
    EXPECT_EQ(entries_of(scratch.out()), std::vector<std::string>{});
}

TEST(NoRoomToWrite, AFailedExecutableWriteLeavesNothing) {
    Scratch scratch;
    // The sizes without a limit: the attached data, then the executable around it.
    std::string err;
    const fs::path attached = scratch.path() / "attached.bin";
    ASSERT_EQ(wait_for(start({ONEFILE_PACK_PATH, "--quiet", "--target", "linux", "--attached-only", attached.string(),
                              scratch.app().string(), "main.bin"},
                             scratch.tmp(), {}, scratch.err())
                           .pid),
              0)
        << read(scratch.err());
    const fs::path whole = scratch.path() / "whole.run";
    ASSERT_EQ(wait_for(start({ONEFILE_PACK_PATH, "--quiet", "--target", "linux", "-o", whole.string(),
                              scratch.app().string(), "main.bin"},
                             scratch.tmp(), {}, scratch.err())
                           .pid),
              0)
        << read(scratch.err());
    const auto attached_size = fs::file_size(attached);
    const auto whole_size = fs::file_size(whole);
    ASSERT_GT(whole_size, attached_size + (64 << 10));

    // Room for the attached data, not for the executable around it.
    const fs::path output = scratch.out() / "app.run";
    const Started packer = start({ONEFILE_PACK_PATH, "--quiet", "--target", "linux", "-o", output.string(),
                                  scratch.app().string(), "main.bin"},
                                 scratch.tmp(), {}, scratch.err(), rlim_t{(attached_size + whole_size) / 2});
    const int status = wait_for(packer.pid);
    close(packer.report_fd);
    err = read(scratch.err());
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2) << err;
    EXPECT_EQ(err, "onefile-pack: cannot write '" + output.string() + "': " + strerror(EFBIG) + "\n");
    EXPECT_EQ(entries_of(scratch.tmp()), std::vector<std::string>{});
    EXPECT_EQ(entries_of(scratch.out()), std::vector<std::string>{});
}

}  // namespace
