#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// The opening and closing tag of a name, as the reader searches them: "<name>" and
// "</name>". Built once per name so that loops do not rebuild them per element.
struct Tag {
    Tag(std::string_view name);  // NOLINT: implicit so that callers may pass a name
    Tag(std::string open, std::string close);
    std::string open;
    std::string close;
};

// The first occurrence of `needle` in `text` at or after `from`, or npos; the same result
// as std::string_view::find. Tags start with "<" or a blank, which are everywhere in XML,
// so candidates are screened on their next bytes before a full comparison.
std::size_t FindText(std::string_view text, std::string_view needle, std::size_t from = 0);

// Where the next search of one loop over repeated elements starts: one position for
// the opening tag and one for the closing tag. Both start at 0.
struct ElementCursor {
    std::size_t openFrom = 0;
    std::size_t closeFrom = 0;
};

// How the cursor moves after an element: each position past the tag it found, or both
// past the element's closing tag (the secure-number loop, whose value tag carries the
// element's own name).
enum class CursorAdvance { EachPastItsTag, BothPastElement };

// The text of an XML configuration file, searched by plain text: no XML parsing.
// It holds the file's bytes up to the first zero byte with "A" to "Z" lowered (only
// those: other bytes pass unchanged), and it shrinks as sections are taken out of it.
class ConfigDocument {
public:
    explicit ConfigDocument(std::string_view fileBytes);

    const std::string& text() const { return text_; }

    // The text between the first "<name>" and the first "</name>" (empty when the
    // closing tag does not come after the opening one), or nothing when either tag is
    // missing. A found section is cut out of the document, from the first character
    // of its opening tag through the last character of its closing tag, so that later
    // searches do not see it. A closing tag in front of the opening tag leaves the
    // document as it is.
    std::optional<std::string> TakeSection(const Tag& tag);

    // The next repeated element of a loop, or nothing when the loop is over. The view
    // points into the document, which loops do not change.
    std::optional<std::string_view> NextElement(
        const Tag& tag, ElementCursor& cursor,
        CursorAdvance advance = CursorAdvance::EachPastItsTag) const;

    // The text between the first opening and the first closing tag of `tag` in
    // `text`, untrimmed; nothing when either is missing.
    static std::optional<std::string_view> ReadValue(std::string_view text, const Tag& tag);

private:
    std::string text_;
};

// Reads the value tags of the successive elements of one loop. The elements of a loop
// start at non-decreasing positions of the document, so the next occurrence of each tag
// is searched once and reused until an element starts past it. Reading then stays
// linear in the document even where elements overlap (nested or unbalanced tags), which
// searching every element afresh is not.
class ElementValues {
public:
    explicit ElementValues(const ConfigDocument& document) : text_(document.text()) {}

    // The same result as ConfigDocument::ReadValue(element, tag), for an element that
    // NextElement returned; any other text is searched afresh.
    std::optional<std::string_view> ReadValue(std::string_view element, const Tag& tag);

private:
    struct NextOccurrence {
        const std::string* needle = nullptr;
        std::size_t from = 0;
        std::size_t at = 0;
    };
    std::size_t find(const std::string& needle, std::size_t from);

    const std::string& text_;
    std::vector<NextOccurrence> next_;
};

}  // namespace vela
