#pragma once
// Linux paths separate their components with a slash; the launcher's path specs use it too.
inline constexpr wchar_t PATH_SEPARATOR = L'/';
#define ONEFILE_SEPARATOR_TEXT L"/"
