/* Runs one or more commands one after the other and prints, on one line,
 *     WALL_SECONDS PEAK_RSS_KIB STATUS
 * where WALL_SECONDS covers everything from before the first command starts until the last one
 * has been waited for, PEAK_RSS_KIB is the largest ru_maxrss that wait4 reports for any of them
 * (on Linux: the largest single process of each command's process tree, descendants included
 * once their parents have waited for them) and STATUS is the first non-zero exit status (or 0).
 * Commands stop at the first failure.
 *
 *     measure [--mkdir DIR] [--stderr FILE] [--self] -- CMD ARGS... [--then CMD ARGS...]...
 *
 * --self adds a fourth field, SELF_PEAK_KIB: the peak resident set of the first command's own
 * process, without the processes it starts (for the packer: without the compiler and linker it
 * runs). It is read from /proc/PID/status (VmHWM) when the process is about to exit, where it is
 * stopped for a moment by ptrace(PTRACE_O_TRACEEXIT); wait4's figure cannot tell the two apart.
 *
 * --mkdir creates DIR with mkdir(2) inside the timed span (as a shell's mkdir would, minus the
 * process). Every command's standard input and output are /dev/null; standard error goes to FILE
 * (default /dev/null). This is a small C program rather than the Python driver itself because a
 * child forked from a large process inherits the parent's resident set in its rusage peak.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int usage(void) {
    fprintf(stderr, "usage: measure [--mkdir DIR] [--stderr FILE] [--self] -- CMD ARGS... [--then CMD ARGS...]...\n");
    return 125;
}

/* VmHWM of a live process in KiB, or -1. */
static long peak_of(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE* f = fopen(path, "r");
    if (f == NULL) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != NULL) {
        if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, NULL, 10);
    }
    fclose(f);
    return kib;
}

/* Waits for a traced child to end, passing every signal on and reading its own peak at the exit
   stop. Returns what wait4 returns for the end. */
static pid_t wait_traced(pid_t pid, int* status, struct rusage* usage, long* self_peak) {
    for (;;) {
        pid_t got = wait4(pid, status, 0, usage);
        if (got < 0) {
            if (errno == EINTR) continue;
            return got;
        }
        if (!WIFSTOPPED(*status)) return got;
        int sig = WSTOPSIG(*status);
        if (sig == SIGTRAP && (*status >> 16) == PTRACE_EVENT_EXIT) {
            *self_peak = peak_of(pid);
            sig = 0;
        } else if (sig == SIGTRAP && (*status >> 16) == PTRACE_EVENT_EXEC) {
            /* A further exec (a wrapper script handing over): the peak is that of the last program. */
            sig = 0;
        } else if (sig == SIGTRAP && (*status >> 16) == 0 && *self_peak == -2) {
            /* The stop after the first exec: from here on, stop at the exit (and at later execs,
               which would otherwise raise a plain SIGTRAP). */
            ptrace(PTRACE_SETOPTIONS, pid, 0,
                   (void*)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
            *self_peak = -1;
            sig = 0;
        }
        ptrace(PTRACE_CONT, pid, 0, (void*)(long)sig);
    }
}

int main(int argc, char** argv) {
    const char* make_dir = NULL;
    const char* err_path = "/dev/null";
    int self = 0;
    long self_peak = -1;
    int i = 1;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--mkdir") == 0 && i + 1 < argc) {
            make_dir = argv[++i];
        } else if (strcmp(argv[i], "--stderr") == 0 && i + 1 < argc) {
            err_path = argv[++i];
        } else if (strcmp(argv[i], "--self") == 0) {
            self = 1;
        } else if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            return usage();
        }
    }
    if (i >= argc) return usage();

    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0) {
        perror("measure: open");
        return 125;
    }

    long peak = 0;
    int result = 0;
    const double start = now();
    if (make_dir != NULL && mkdir(make_dir, 0700) != 0) {
        perror("measure: mkdir");
        return 125;
    }
    int first = 1;
    while (i < argc) {
        int end = i;
        while (end < argc && strcmp(argv[end], "--then") != 0) ++end;
        argv[end < argc ? end : argc] = NULL;
        char** command = argv + i;
        pid_t pid = fork();
        if (pid < 0) {
            perror("measure: fork");
            return 125;
        }
        const int traced = self && first;
        if (pid == 0) {
            if (traced) ptrace(PTRACE_TRACEME, 0, 0, 0);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execvp(command[0], command);
            dprintf(2, "measure: cannot run %s: %s\n", command[0], strerror(errno));
            _exit(127);
        }
        int status = 0;
        struct rusage usage;
        if (traced) {
            self_peak = -2;
            if (wait_traced(pid, &status, &usage, &self_peak) < 0) {
                perror("measure: wait4");
                return 125;
            }
        } else {
            while (wait4(pid, &status, 0, &usage) < 0) {
                if (errno != EINTR) {
                    perror("measure: wait4");
                    return 125;
                }
            }
        }
        first = 0;
        if (usage.ru_maxrss > peak) peak = usage.ru_maxrss;
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (code != 0) {
            result = code;
            break;
        }
        i = end + 1;
    }
    const double wall = now() - start;
    if (self) {
        printf("%.6f %ld %d %ld\n", wall, peak, result, self_peak);
    } else {
        printf("%.6f %ld %d\n", wall, peak, result);
    }
    return 0;
}
