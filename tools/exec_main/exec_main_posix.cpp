// The main binary that `onefile-pack --exec` places in front of an ordinary program (Linux).
//
// It runs in the launcher's child and replaces that process with the program named in
// onefile_exec_program.txt beside it: same process id, arguments, standard descriptors, signal
// dispositions and environment, so the parent sees the program's own status and signals pass
// straight to it. It returns only when the program cannot be started: then it prints one line on
// standard error naming the program and the system error, and returns 127, as shells do.
#include <onefile/entry.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr int START_FAILED = 127;
constexpr char PROGRAM_FILE[] = "onefile_exec_program.txt";
// The program's relative name is one line; anything longer than this is not what the packer wrote.
constexpr size_t PROGRAM_FILE_LIMIT = 65536;

// The bytes of a wide path. The launcher hands bytes that are not UTF-8 to the main binary as the
// code units U+DC80 to U+DCFF; they become those bytes again. Returns a heap string or null.
char* path_bytes(const wchar_t* text) {
    const size_t length = wcslen(text);
    char* out = static_cast<char*>(malloc(length * 4 + 1));
    if (out == nullptr) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto cp = static_cast<unsigned long>(text[i]);
        if (cp >= 0xDC80 && cp <= 0xDCFF) {
            out[n++] = static_cast<char>(cp - 0xDC00);
        } else if (cp < 0x80) {
            out[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            out[n++] = static_cast<char>(0xC0 | (cp >> 6));
            out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out[n++] = static_cast<char>(0xE0 | (cp >> 12));
            out[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xF0 | (cp >> 18));
            out[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    out[n] = '\0';
    return out;
}

int report(const char* what, const char* path, int error) {
    fprintf(stderr, "Error, couldn't %s '%s' ([Error %d] %s)\n", what, path, error, strerror(error));
    fflush(stderr);
    return START_FAILED;
}

// Reads a whole small file into a NUL-terminated heap buffer; sets errno and returns null on failure.
char* read_small_file(const char* path, size_t* size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    char* data = static_cast<char*>(malloc(PROGRAM_FILE_LIMIT + 1));
    size_t used = 0;
    while (data != nullptr && used < PROGRAM_FILE_LIMIT) {
        const ssize_t got = read(fd, data + used, PROGRAM_FILE_LIMIT - used);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            free(data);
            data = nullptr;
            errno = error;
            break;
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    const int error = errno;
    close(fd);
    if (data == nullptr) {
        errno = error == 0 ? ENOMEM : error;
        return nullptr;
    }
    data[used] = '\0';
    *size = used;
    return data;
}

// The arguments exactly as this process received them: the kernel keeps them, NUL-terminated one
// after the other, in /proc/self/cmdline. The wide vector the entry gets would do for UTF-8, but
// these are the bytes themselves, whatever they are. Fills argv[0..argc-1] (argument 0 is the
// launcher's path, which the caller replaces). Returns false with errno set when they cannot be read or are not `argc`
// strings.
bool original_arguments(int argc, char** argv) {
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t capacity = 4096;
    size_t used = 0;
    char* data = static_cast<char*>(malloc(capacity));
    for (;;) {
        if (data == nullptr) {
            close(fd);
            errno = ENOMEM;
            return false;
        }
        if (used == capacity) {
            capacity *= 2;
            char* bigger = static_cast<char*>(realloc(data, capacity));
            if (bigger == nullptr) free(data);
            data = bigger;
            continue;
        }
        const ssize_t got = read(fd, data + used, capacity - used);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            free(data);
            close(fd);
            errno = error;
            return false;
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    close(fd);
    int index = 0;
    for (size_t start = 0; start < used;) {
        const auto* end = static_cast<const char*>(memchr(data + start, '\0', used - start));
        if (end == nullptr || index == argc) {  // an unterminated string, or more than argc
            index = -1;
            break;
        }
        argv[index++] = data + start;
        start = static_cast<size_t>(end - data) + 1;
    }
    if (index != argc) {
        free(data);
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

ONEFILE_ENTRY onefile_main(int argc, wchar_t** argv, const wchar_t* main_binary_path) {
    (void)argv;
    char* own_path = path_bytes(main_binary_path);
    if (own_path == nullptr) return report("read", "onefile_exec_program.txt", ENOMEM);
    char* slash = strrchr(own_path, '/');
    const size_t directory_length = slash != nullptr ? static_cast<size_t>(slash - own_path) : 0;

    // <directory>/onefile_exec_program.txt holds the program's name relative to the directory, with
    // backslashes between its components, as the file table stores names.
    char* name_file = static_cast<char*>(malloc(directory_length + sizeof PROGRAM_FILE + 1));
    if (name_file == nullptr) return report("read", PROGRAM_FILE, ENOMEM);
    memcpy(name_file, own_path, directory_length);
    name_file[directory_length] = '/';
    memcpy(name_file + directory_length + 1, PROGRAM_FILE, sizeof PROGRAM_FILE);
    size_t name_size = 0;
    char* name = read_small_file(name_file, &name_size);
    if (name == nullptr) return report("read", name_file, errno);
    while (name_size > 0 && (name[name_size - 1] == '\n' || name[name_size - 1] == '\r')) name[--name_size] = '\0';
    if (name_size == 0 || strlen(name) != name_size) return report("read", name_file, EINVAL);
    for (size_t i = 0; i < name_size; ++i) {
        if (name[i] == '\\') name[i] = '/';
    }

    char* program = static_cast<char*>(malloc(directory_length + 1 + name_size + 1));
    if (program == nullptr) return report("start program", name, ENOMEM);
    memcpy(program, own_path, directory_length);
    program[directory_length] = '/';
    memcpy(program + directory_length + 1, name, name_size + 1);

    // Argument 0 as the user typed it (the launcher gives the child its own path there instead).
    auto** arguments = static_cast<char**>(calloc(static_cast<size_t>(argc < 1 ? 1 : argc) + 1, sizeof(char*)));
    if (arguments == nullptr) return report("start program", program, ENOMEM);
    if (argc > 0 && !original_arguments(argc, arguments)) return report("read the arguments of", program, errno);
    const char* typed = getenv("VARNOK_ORIGINAL_ARGV0");
    arguments[0] = const_cast<char*>(typed != nullptr ? typed : program);

    // Whatever went to the buffered streams so far must not be lost with this image.
    fflush(stdout);
    fflush(stderr);
    execv(program, arguments);
    return report("start program", program, errno);
}
