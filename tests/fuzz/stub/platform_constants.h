#pragma once
// The fuzzing build runs the core over a platform that touches nothing; its paths use slashes.
inline constexpr wchar_t PATH_SEPARATOR = L'/';
#define ONEFILE_SEPARATOR_TEXT L"/"
