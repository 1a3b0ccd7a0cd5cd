#pragma once

#include "common/result.h"

#include <string>
#include <string_view>

namespace vela {

// Texts are stored as the bytes they came with. These helpers decide how bytes from a
// file become stored text and how stored text that is not UTF-8 is shown.

enum class TextEncoding { Utf8, Latin1 };

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Every byte as the Latin-1 character of that code, in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// UTF-8 for showing: well-formed sequences as they stand, every other byte as its
// Latin-1 character. Equal to `bytes` when they are valid UTF-8.
std::string ReadableUtf8(std::string_view bytes);

// The text of a file in UTF-8: a leading byte order mark is dropped; a UTF-8 file
// must be well-formed (the failure names the line and the byte), a Latin-1 file is
// converted.
Result<std::string> DecodeFileText(std::string_view bytes, TextEncoding encoding);

}  // namespace vela
