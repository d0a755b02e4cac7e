// The main binary that `onefile-pack --exec` places in front of an ordinary program (Windows).
//
// It runs in the launcher's child and starts the program named in onefile_exec_program.txt beside
// it: argument 0 as the user typed it, the rest of this process's command line unchanged, the
// program's full path as application name, inherited handles (the three standard ones among
// them), the same environment and current directory. It waits for the program and returns its
// exit code, all 32 bits; the program does not outlive it. When the program cannot be started it prints one line on
// standard error naming the program and the system error and returns 127, as shells do.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <onefile/entry.h>

#include <stdlib.h>
#include <wchar.h>

#include <initializer_list>

namespace {

constexpr int START_FAILED = 127;
constexpr wchar_t PROGRAM_FILE[] = L"onefile_exec_program.txt";
constexpr DWORD PROGRAM_FILE_LIMIT = 65536;
// The longest command line CreateProcessW takes, terminator included.
constexpr size_t COMMAND_LINE_CAPACITY = 32768;

// The program shares the console and gets Ctrl+C and Ctrl+Break itself; they are its to handle.
// This process must outlive it, or the parent would take the child's end for the program's and
// remove the directory the program runs from. Close, logoff and shutdown take their usual course.
BOOL WINAPI outlive_the_program(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

// The job the program runs in, held by this process alone: when this process ends, however it
// ends (the parent terminates it after a closed console, or the parent's own job ends it when the
// parent is killed), the program ends with it, as a main binary would, instead of running on
// from a directory that is being removed. What the program starts itself breaks away, as it would
// without the launcher. Null when the system refuses such a job; the program then runs without.
HANDLE program_job() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// Text on standard error: on a console as it is, into a file or pipe as UTF-8 (as the launcher's
// own messages go).
void write_error(const wchar_t* text) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    const DWORD length = static_cast<DWORD>(wcslen(text));
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text, length, &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    char* bytes = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (bytes == nullptr) return;
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), bytes, size, nullptr, nullptr);
    WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr);
    free(bytes);
}

// The pieces one after the other, in one heap string (null when out of memory). Built by hand:
// the runtime's wide formatting of %ls differs between its implementations.
wchar_t* joined(std::initializer_list<const wchar_t*> pieces) {
    size_t size = 1;
    for (const wchar_t* piece : pieces) size += wcslen(piece);
    wchar_t* out = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
    if (out == nullptr) return nullptr;
    size_t used = 0;
    for (const wchar_t* piece : pieces) {
        const size_t length = wcslen(piece);
        wmemcpy(out + used, piece, length);
        used += length;
    }
    out[used] = L'\0';
    return out;
}

int report(const wchar_t* what, const wchar_t* path, DWORD error) {
    wchar_t* system_text = nullptr;
    // FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM
    FormatMessageW(0x1300, nullptr, error, 0, reinterpret_cast<wchar_t*>(&system_text), 0, nullptr);
    if (system_text != nullptr) {
        size_t length = wcslen(system_text);
        while (length > 0 && (system_text[length - 1] == L'\r' || system_text[length - 1] == L'\n')) --length;
        system_text[length] = L'\0';
    }
    wchar_t number[16];
    size_t digits = 0;
    wchar_t reversed[16];
    for (DWORD value = error; digits == 0 || value != 0; value /= 10) reversed[digits++] = L'0' + value % 10;
    for (size_t i = 0; i < digits; ++i) number[i] = reversed[digits - 1 - i];
    number[digits] = L'\0';
    wchar_t* line = joined({L"Error, couldn't ", what, L" '", path, L"' ([Error ", number, L"] ",
                            system_text != nullptr ? system_text : L"<unknown>", L")\r\n"});
    if (line != nullptr) {
        write_error(line);
        free(line);
    }
    if (system_text != nullptr) LocalFree(system_text);
    return START_FAILED;
}

// The file's text, UTF-8 on disk, as a heap wide string; null with the last error set on failure.
wchar_t* read_utf8_file(const wchar_t* path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    char* bytes = static_cast<char*>(malloc(PROGRAM_FILE_LIMIT));
    DWORD used = 0;
    BOOL ok = bytes != nullptr;
    while (ok && used < PROGRAM_FILE_LIMIT) {
        DWORD got = 0;
        ok = ReadFile(file, bytes + used, PROGRAM_FILE_LIMIT - used, &got, nullptr);
        if (!ok || got == 0) break;
        used += got;
    }
    const DWORD error = bytes == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    CloseHandle(file);
    if (!ok) {
        free(bytes);
        SetLastError(error);
        return nullptr;
    }
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(used), nullptr, 0);
    wchar_t* text = static_cast<wchar_t*>(malloc((static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
    if (used > 0 && (length <= 0 || text == nullptr)) {
        free(bytes);
        free(text);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (text == nullptr) {
        free(bytes);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(used), text, length);
    text[length > 0 ? length : 0] = L'\0';
    free(bytes);
    return text;
}

// What follows argument 0 in a command line, by the rule the runtime and CommandLineToArgvW share
// for argument 0: up to the closing quote when it starts with one, else up to the first space or
// tab; then the blanks in between.
const wchar_t* arguments_after_first(const wchar_t* line) {
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// Appends `text` to `line` (holding `*used` code units) if it fits with a terminator.
bool append(wchar_t* line, size_t* used, const wchar_t* text) {
    const size_t length = wcslen(text);
    if (length >= COMMAND_LINE_CAPACITY - *used) return false;
    wmemcpy(line + *used, text, length + 1);
    *used += length;
    return true;
}

}  // namespace

ONEFILE_ENTRY onefile_main(int, wchar_t**, const wchar_t* main_binary_path) {
    const wchar_t* separator = wcsrchr(main_binary_path, L'\\');
    const size_t directory_length = separator != nullptr ? static_cast<size_t>(separator - main_binary_path) : 0;

    // <directory>\onefile_exec_program.txt: the program's name relative to the directory, with
    // backslashes between its components, as the file table stores names.
    wchar_t* directory = joined({main_binary_path});
    if (directory == nullptr) return report(L"read", PROGRAM_FILE, ERROR_NOT_ENOUGH_MEMORY);
    directory[directory_length] = L'\0';
    wchar_t* name_file = joined({directory, L"\\", PROGRAM_FILE});
    if (name_file == nullptr) return report(L"read", PROGRAM_FILE, ERROR_NOT_ENOUGH_MEMORY);
    wchar_t* name = read_utf8_file(name_file);
    if (name == nullptr) return report(L"read", name_file, GetLastError());
    size_t name_length = wcslen(name);
    while (name_length > 0 && (name[name_length - 1] == L'\n' || name[name_length - 1] == L'\r')) {
        name[--name_length] = L'\0';
    }
    if (name_length == 0) return report(L"read", name_file, ERROR_INVALID_DATA);

    wchar_t* program = joined({directory, L"\\", name});
    if (program == nullptr) return report(L"start program", name, ERROR_NOT_ENOUGH_MEMORY);

    // Argument 0 as the user typed it, which the launcher keeps for the child (the child's own
    // argument 0 is the launcher's path). It cannot hold a double quote: one ends argument 0.
    static wchar_t typed[COMMAND_LINE_CAPACITY];
    const DWORD typed_length = GetEnvironmentVariableW(L"VARNOK_ORIGINAL_ARGV0", typed, COMMAND_LINE_CAPACITY);
    const wchar_t* first = program;
    if (typed_length > 0 && typed_length < COMMAND_LINE_CAPACITY && wcschr(typed, L'"') == nullptr) first = typed;
    const bool quoted = *first == L'\0' || wcspbrk(first, L" \t") != nullptr;

    // The rest of the line goes on exactly as this process got it: the launcher joined it so that
    // a runtime splits it into the user's arguments, and the program's runtime will do the same.
    static wchar_t line[COMMAND_LINE_CAPACITY];
    size_t used = 0;
    line[0] = L'\0';
    const wchar_t* rest = arguments_after_first(GetCommandLineW());
    bool fits = append(line, &used, quoted ? L"\"" : L"") && append(line, &used, first) &&
                append(line, &used, quoted ? L"\"" : L"");
    if (*rest != L'\0') fits = fits && append(line, &used, L" ") && append(line, &used, rest);
    if (!fits) return report(L"start program", program, ERROR_FILENAME_EXCED_RANGE);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // Registered before the start, so that no event finds the program running and this process
    // without its handler.
    SetConsoleCtrlHandler(outlive_the_program, TRUE);
    // A console program shares this process's console, where console events reach it. Without
    // one (the launcher is a GUI program, so it has none unless its caller's console was handed to
    // it), the system would open a new console window for the program; the launcher opens no
    // window, so the program's console gets none either. Its standard handles are the launcher's
    // in both cases.
    DWORD console_process = 0;
    const bool has_console = GetConsoleProcessList(&console_process, 1) != 0;
    DWORD flags = NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED;
    if (!has_console) flags |= CREATE_NO_WINDOW;
    // CreateProcessW may write to the command line, so it gets the writable buffer. The program
    // starts suspended, so that it is in its job before it runs a single instruction.
    if (!CreateProcessW(program, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &process)) {
        return report(L"start program", program, GetLastError());
    }
    const HANDLE job = program_job();
    if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    if (!GetExitCodeProcess(process.hProcess, &status)) status = 1;
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
