// test-server.ini as any text: the port stays in 0..65535, both fields come trimmed from
// their lines, and a usable address has the port that the port text's digits spell.
#include "link/port_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool isTrimmed(const std::string& text) {
    return text.empty() || (!isBlank(text.front()) && !isBlank(text.back()));
}

// Line `index` (0-based) of `text` without its line feed; empty past the end.
std::string_view lineOf(std::string_view text, int index) {
    for (int i = 0; i < index; ++i) {
        const std::size_t lineFeed = text.find('\n');
        if (lineFeed == std::string_view::npos) return {};
        text.remove_prefix(lineFeed + 1);
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const vela::TestServerAddress address = vela::parseTestServerIni(content);

    // Each field is its line with the white space at both ends taken off, nothing more.
    for (const auto& [field, line] : {std::pair{&address.host, lineOf(content, 0)},
                                      std::pair{&address.portText, lineOf(content, 1)}}) {
        check(field->find('\n') == std::string::npos);
        check(isTrimmed(*field));
        const std::size_t at = line.find(*field);
        check(at != std::string_view::npos);
        for (std::size_t i = 0; i < at; ++i) check(isBlank(line[i]));
        for (std::size_t i = at + field->size(); i < line.size(); ++i) check(isBlank(line[i]));
    }

    // uint16_t holds 0..65535 by type; the value is what the leading digits spell.
    unsigned long long value = 0;
    std::size_t digits = 0;
    while (digits < address.portText.size() && address.portText[digits] >= '0' &&
           address.portText[digits] <= '9') {
        if (value <= 65535)
            value = value * 10 + static_cast<unsigned>(address.portText[digits] - '0');
        ++digits;
    }
    if (address.usable()) {
        check(!address.host.empty());
        check(digits > 0);
        check(value >= 1 && value <= 65535);
        check(address.port == value);
    } else {
        check(!address.problem.empty());
        check(address.host.empty() || digits == 0 || value == 0 || value > 65535);
        if (digits == 0 || value > 65535) check(address.port == 0);
    }
    if (digits > 0 && value <= 65535) check(address.port == value);
    return 0;
}
