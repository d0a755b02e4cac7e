// UTF-8 (what Linux file names are, by our convention) to and from UTF-16 (what the file table holds).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace onefile::pack {

// Strict conversion: overlong forms, surrogate code points, values above U+10FFFF and truncated
// sequences give nullopt.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);

// Lenient conversion for display: an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// Text for a message or a listing line: control characters (and, when `escape_high`, every byte
// from 0x80 up) become \xNN, so one name always stays on one line and shows what it holds.
std::string escape_for_display(std::string_view text, bool escape_high);

// `text` with A-Z as a-z and every other byte unchanged: Windows compares names without case.
std::string ascii_lower(std::string_view text);

}  // namespace onefile::pack
