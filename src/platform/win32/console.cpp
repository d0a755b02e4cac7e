// Console events on Windows: the system calls the handler on a thread of its own for each event.
#include "platform/platform.h"
#include "windows_support.h"

namespace {

bool (*g_handler)(int) = nullptr;

BOOL WINAPI console_routine(DWORD event) { return g_handler(static_cast<int>(event)) ? TRUE : FALSE; }

}  // namespace

bool platform_register_console_handler(bool (*handler)(int event)) {
    g_handler = handler;
    return SetConsoleCtrlHandler(console_routine, TRUE) != FALSE;
}
