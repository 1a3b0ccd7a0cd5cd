#include "common/terminal_text.h"

namespace vela {

namespace {

// The length of the well-formed UTF-8 character at the front of `text` (shortest form,
// no surrogates, at most U+10FFFF), or 0.
std::size_t utf8CharacterLength(std::string_view text, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

// Characters that steer a terminal or the direction of the text around them.
bool isControlCharacter(char32_t code) {
    return (code >= 0x80 && code <= 0x9F) || code == 0x200E || code == 0x200F || code == 0x2028 ||
           code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string EscapeForTerminal(std::string_view bytes, std::size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const bool cut = bytes.size() > limit;
    if (cut) bytes = bytes.substr(0, limit);
    std::string shown;
    shown.reserve(bytes.size() + (cut ? 3 : 0));
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        char32_t code = 0;
        if (byte >= 0x80) {
            const std::size_t length = utf8CharacterLength(bytes.substr(i), code);
            if (length > 0 && !isControlCharacter(code)) {
                shown.append(bytes.substr(i, length));
                i += length;
                continue;
            }
        }
        switch (byte) {
            case '\\':
                shown += "\\\\";
                break;
            case '\r':
                shown += "\\r";
                break;
            case '\n':
                shown += "\\n";
                break;
            case '\t':
                shown += "\\t";
                break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    shown += static_cast<char>(byte);
                } else {
                    shown += "\\x";
                    shown += kHex[byte >> 4];
                    shown += kHex[byte & 0x0F];
                }
        }
        ++i;
    }
    if (cut) shown += "...";
    return shown;
}

}  // namespace vela
