/* Runs one or more commands one after the other and prints, on one line,
 *     WALL_SECONDS PEAK_RSS_KIB STATUS
 * where WALL_SECONDS covers everything from before the first command starts until the last one
 * has been waited for, PEAK_RSS_KIB is the largest ru_maxrss that wait4 reports for any of them
 * (on Linux: the largest single process of each command's process tree, descendants included
 * once their parents have waited for them) and STATUS is the first non-zero exit status (or 0).
 * Commands stop at the first failure.
 *
 *     measure [--mkdir DIR] [--stderr FILE] -- CMD ARGS... [--then CMD ARGS...]...
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
    fprintf(stderr, "usage: measure [--mkdir DIR] [--stderr FILE] -- CMD ARGS... [--then CMD ARGS...]...\n");
    return 125;
}

int main(int argc, char** argv) {
    const char* make_dir = NULL;
    const char* err_path = "/dev/null";
    int i = 1;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--mkdir") == 0 && i + 1 < argc) {
            make_dir = argv[++i];
        } else if (strcmp(argv[i], "--stderr") == 0 && i + 1 < argc) {
            err_path = argv[++i];
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
        if (pid == 0) {
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execvp(command[0], command);
            dprintf(2, "measure: cannot run %s: %s\n", command[0], strerror(errno));
            _exit(127);
        }
        int status = 0;
        struct rusage usage;
        while (wait4(pid, &status, 0, &usage) < 0) {
            if (errno != EINTR) {
                perror("measure: wait4");
                return 125;
            }
        }
        if (usage.ru_maxrss > peak) peak = usage.ru_maxrss;
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (code != 0) {
            result = code;
            break;
        }
        i = end + 1;
    }
    const double wall = now() - start;
    printf("%.6f %ld %d\n", wall, peak, result);
    return 0;
}
