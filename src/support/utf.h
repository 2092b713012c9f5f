#pragma once

#include <string>
#include <string_view>

namespace vantle {

// The Unicode replacement character U+FFFD in UTF-8.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, one replacement per
// maximal ill-formed subpart (the WHATWG / Unicode "best practice" rule).
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

// UTF-8 to UTF-16; ill-formed input is converted as `utf8_lossy` would first.
[[nodiscard]] std::u16string utf16_from_utf8(std::string_view utf8);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
[[nodiscard]] std::string utf8_from_utf16(std::u16string_view utf16);

// The same for the system's wide strings (UTF-16 on Windows, UTF-32 elsewhere).
[[nodiscard]] std::wstring wide_from_utf8(std::string_view utf8);
[[nodiscard]] std::string utf8_from_wide(std::wstring_view wide);

// `text` fit for a one-line message: every control character (C0, DEL, C1)
// and the line and paragraph separators U+2028 and U+2029 become an escape
// (\n, \r, \t, else \u followed by four lower-case hex digits); all other
// bytes, ill-formed ones included, stay as they are.
[[nodiscard]] std::string escape_control_characters(std::string_view text);

// A window title (or any text a message names) in double quotes, escaped as
// `escape_control_characters` does, so the message stays one line.
[[nodiscard]] std::string double_quoted(std::string_view text);

// Appends the UTF-8 form of `code_point` (which must be a scalar value).
void append_utf8(std::string& out, char32_t code_point);

// Whether `code_point` has the Unicode White_Space property.
[[nodiscard]] bool is_unicode_white_space(char32_t code_point);

// `text` without leading and trailing Unicode white space. Ill-formed bytes are
// never white space, so they stay.
[[nodiscard]] std::string_view trim_unicode_white_space(std::string_view text);

}  // namespace vantle
