#pragma once

// Texts from outside (a network peer, a modem, a file, a database, a server) shown to an
// operator: on a terminal, in a log or in a window line, a control character could move
// the cursor, forge a line or change the terminal's state, and a text of any length
// would make a line of any length. Every such text goes through EscapeForTerminal.
#include <cstddef>
#include <string>
#include <string_view>

namespace vela {

// How many bytes of a foreign text a message or a listing shows at most.
inline constexpr std::size_t kShownTextBytes = 256;
// No limit: for a record that must keep every byte (a trace file), never for a message.
inline constexpr std::size_t kWholeText = static_cast<std::size_t>(-1);

// Printable ASCII stays (a backslash is doubled); \r \n \t as themselves escaped ("\r");
// a well-formed UTF-8 character stays unless it is a control (C1 controls, line and
// paragraph separators, direction marks and overrides); every other byte is "\xHH".
// At most `limit` bytes of the text are shown: a longer one is cut there and ends in
// "...", and the work done is bounded by `limit`, never by the text's size. Up to the
// cut the result decodes back to the input exactly.
std::string EscapeForTerminal(std::string_view bytes, std::size_t limit = kShownTextBytes);

}  // namespace vela
