// UTF-16 and UTF-8, converted as the platform's converter does: never failing, with an
// unpaired surrogate or each maximal ill-formed UTF-8 part replaced by U+FFFD.
//
// Thread safety: pure functions; safe from any thread.
#ifndef PLATFORM_UNICODE_H_
#define PLATFORM_UNICODE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Bytes that Utf16ToUtf8(text) will take, without terminator.
size_t Utf8Size(std::u16string_view text);

// Appends one code point (at most U+10FFFF, not a surrogate) encoded.
void AppendUtf8(char32_t code_point, std::string* out);
void AppendUtf16(char32_t code_point, std::u16string* out);

// Whether `text` is UTF-8 throughout, every sequence as DecodeUtf8 takes it.
bool IsUtf8(std::string_view text);

// Strictly decodes the one UTF-8 sequence at the start of `in` (not empty): only the
// shortest form of a scalar value. False when ill-formed.
bool DecodeUtf8(std::string_view in, char32_t* code_point, size_t* length);

}  // namespace platform

#endif  // PLATFORM_UNICODE_H_
