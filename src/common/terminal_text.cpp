#include "common/terminal_text.h"

namespace vela {

std::string EscapeForTerminal(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '\\': shown += "\\\\"; break;
            case '\r': shown += "\\r"; break;
            case '\n': shown += "\\n"; break;
            case '\t': shown += "\\t"; break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    shown += c;
                } else {
                    shown += "\\x";
                    shown += kHex[byte >> 4];
                    shown += kHex[byte & 0x0F];
                }
        }
    }
    return shown;
}

}  // namespace vela
