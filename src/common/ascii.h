#pragma once

#include <cstddef>
#include <string_view>

namespace vela {

// Equal when only the case of ASCII letters differs, as SQLite compares the names of
// tables and columns; other bytes must match exactly.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace vela
