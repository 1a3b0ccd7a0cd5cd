#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vela {

// What a step of the modem dialogue has read since its command, for the substring
// tests of its awaited texts. Length-counted, so NUL bytes from the line do not hide
// what follows them. Bounded: a modem that streams noise must not make the text grow
// without end, so only the bytes of the last append and up to kKeep bytes before them
// are kept. A text of up to kKeep + 1 bytes that is completed by the last append is
// found exactly as in the whole reply; one completed earlier was found by the test
// after its own append, and the dialogue decides on the first find.
class ReplyText {
public:
    static constexpr std::size_t kKeep = 4096;

    void append(const char* data, std::size_t count);
    bool contains(std::string_view text) const { return text_.find(text) != std::string::npos; }
    std::string_view view() const { return text_; }
    std::size_t size() const { return text_.size(); }

private:
    std::string text_;
};

}  // namespace vela
