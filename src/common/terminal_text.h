#pragma once

// Bytes from outside (a network peer, a modem, a file) shown to an operator: on a
// terminal, in a log or in a window line, a control character could move the cursor,
// forge a line or change the terminal's state, so every byte that is not printable
// ASCII is written as an escape.
#include <string>
#include <string_view>

namespace vela {

// Printable ASCII stays (a backslash is doubled); \r \n \t as themselves escaped ("\r");
// every other byte as "\xHH". The result is printable ASCII only and decodes back to
// the input exactly.
std::string EscapeForTerminal(std::string_view bytes);

}  // namespace vela
