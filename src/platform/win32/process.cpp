// The child process and the main binary on Windows.
#include "platform/command_line_join.h"
#include "platform/platform.h"
#include "windows_support.h"

namespace {

// The child's command line. CreateProcessW may write to it, so it is a writable buffer of ours,
// kept for the life of the process.
wchar_t g_child_command_line[COMMAND_LINE_CAPACITY];

// The job the child runs in: it ends the child when the last handle to it closes, that is when
// this process ends, however it ends. The application's own processes break away from it, so
// they live as long as they would without the launcher. Null when the system has no such job.
HANDLE child_job() {
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) return created;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
        if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(created);
            return HANDLE{nullptr};
        }
        return created;
    }();
    return job;
}

// Whether this executable is a console program (linked with onefile-pack --console) rather than a
// GUI one. One launcher library serves both: the linker's choice is read back from the
// executable's own header, which the loader has mapped.
bool launcher_is_console_program() {
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// The console flags of the child's start. A console child shares the launcher's console: its
// output goes where the launcher's does and a Ctrl+C reaches both. A console launcher that was
// started without a console (detached by its caller) starts its child detached as well, since
// the system would otherwise give that child a console window of its own. A GUI launcher's
// child, itself a GUI program, takes no console flag.
DWORD child_console_flags() {
    // GetConsoleCP fails, and gives 0, in a process that has no console.
    return launcher_is_console_program() && GetConsoleCP() == 0 ? DETACHED_PROCESS : 0;
}

// The status a child ended by the parent has: the system's own for a console that was closed
// or interrupted, never 0.
constexpr UINT TERMINATED_STATUS = 0xC000013A;

}  // namespace

wchar_t** platform_command_line_arguments(int* count) {
    using Split = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    const HMODULE shell32 = shell32_module();
    const auto split =
        shell32 == nullptr
            ? nullptr
            : reinterpret_cast<Split>(reinterpret_cast<void*>(GetProcAddress(shell32, "CommandLineToArgvW")));
    return split == nullptr ? nullptr : split(GetCommandLineW(), count);
}

ChildStart platform_start_child(const wchar_t* module_path, int count, wchar_t* const* arguments,
                                std::atomic<ProcessHandle>* shared_handle, ProcessHandle* own) {
    // The line is never cut short: a child that cannot get every argument is not started.
    if (!join_command_line(arguments, count, g_child_command_line, COMMAND_LINE_CAPACITY)) {
        return ChildStart::CommandLineTooLong;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // No environment block and no directory: the child inherits both. It starts suspended, so
    // that it is in its job before it runs a single instruction.
    if (!CreateProcessW(module_path, g_child_command_line, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED | child_console_flags(), nullptr, nullptr, &startup,
                        &process)) {
        return ChildStart::Failed;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        // Without the second handle a console event could not end the child: it is not started.
        const DWORD error = GetLastError();
        TerminateProcess(process.hProcess, TERMINATED_STATUS);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        SetLastError(error);
        return ChildStart::Failed;
    }
    // A system that refuses the job (an old one, with the launcher already in a job of its own)
    // runs the child without it.
    const HANDLE job = child_job();
    if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    shared_handle->store(reinterpret_cast<ProcessHandle>(duplicate));
    *own = reinterpret_cast<ProcessHandle>(process.hProcess);
    return ChildStart::Started;
}

bool platform_wait_process(ProcessHandle process, uint32_t milliseconds) {
    const DWORD timeout = milliseconds == UINT32_MAX ? INFINITE : milliseconds;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(process), timeout) == WAIT_OBJECT_0;
}

bool platform_process_exit_status(ProcessHandle process, uint32_t* status) {
    DWORD code = 0;
    if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code)) return false;
    *status = code;
    return true;
}

void platform_terminate_process(ProcessHandle process) {
    TerminateProcess(reinterpret_cast<HANDLE>(process), TERMINATED_STATUS);
}

void platform_set_child_library_directory(const wchar_t*) {
    // The child adds the target directory to its own library search (AddDllDirectory), which
    // every later load in it uses.
}

void platform_end_with_parent() {
    // The parent holds the child in a job that ends it when the parent ends.
}

void platform_close_process(ProcessHandle process) { CloseHandle(reinterpret_cast<HANDLE>(process)); }

void platform_enter_application() {}

void platform_add_library_directory(const wchar_t* directory) { AddDllDirectory(directory); }

void* platform_load_main_binary(const wchar_t* path) {
    // The main binary's imports are looked up beside it, in the added directories and in the
    // system directory only: never beside the launcher, in the current directory or along PATH.
    return LoadLibraryExW(
        path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

MainBinaryEntry platform_main_binary_entry(void* library) {
    // The entry is exported by ordinal 1 and has no name.
    return reinterpret_cast<MainBinaryEntry>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(1))));
}
