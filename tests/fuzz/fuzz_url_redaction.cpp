// A database URL as any bytes: the shown text is either the scheme and "***" or, read
// again by libpq, the same user, hosts, ports, database and options with "***" for the
// password, so nothing but those values is carried over.
#include "common/terminal_text.h"
#include "storage/pg/connection.h"

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

using Options = std::map<std::string, std::string>;

std::optional<Options> parsed(const std::string& text) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (error != nullptr) PQfreemem(error);
    if (options == nullptr) return std::nullopt;
    Options values;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val != nullptr) values[o->keyword] = o->val;
    }
    PQconninfoFree(options);
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The escaper, on the same bytes: printable, bounded, whole up to the limit.
    const std::string shownBytes = vela::EscapeForTerminal(bytes, 64);
    check(shownBytes.size() <= 64 * 4 + 3);
    for (const char c : shownBytes) check(c != '\x1b' && c != '\n' && c != '\r' && c != '\0');

    const std::string url(bytes.substr(0, bytes.find('\0')));
    const std::string shown = vela::pg::RedactUrl(url);
    const std::optional<Options> original = parsed(url);
    // Whatever libpq reads as a password is refused on the command line.
    if (original && original->contains("password") && !original->at("password").empty())
        check(vela::pg::HoldsPassword(url));
    if (!original || !original->contains("password")) return 0;
    const std::optional<Options> again = parsed(shown);
    if (shown == "***" || shown.ends_with("://***")) return 0;  // not shown at all
    check(again.has_value());
    Options expected = *original;
    expected["password"] = "***";
    check(*again == expected);
    return 0;
}
