#pragma once
// Windows paths separate their components with a backslash.
inline constexpr wchar_t PATH_SEPARATOR = L'\\';
#define ONEFILE_SEPARATOR_TEXT L"\\"
