// Names that Windows maps to devices in every directory: CON, PRN, AUX, NUL, COM1 to COM9 and LPT1
// to LPT9, in any letter case, also with an extension ("nul.txt") or trailing blanks and dots. A
// file of such a name would be written to the device. Pure, so it is tested on every platform.
#pragma once

#include <cstddef>

// True when the path component of `length` code units at `name` is a device name.
bool is_windows_device_name(const wchar_t* name, size_t length);
