// The linear value search of loops must read exactly what a fresh search of each
// element reads, whatever the nesting, and every loop must end.
#include "config/config_document.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkLoop(const vela::ConfigDocument& document, const vela::Tag& loop,
               vela::CursorAdvance advance) {
    static const vela::Tag kValueTags[] = {vela::Tag("v"), vela::Tag("w"), vela::Tag("f")};
    vela::ElementValues values(document);
    vela::ElementCursor cursor;
    std::size_t elements = 0;
    while (auto element = document.NextElement(loop, cursor, advance)) {
        check(++elements <= document.text().size());
        for (const vela::Tag& tag : kValueTags) {
            check(values.ReadValue(*element, tag) ==
                  vela::ConfigDocument::ReadValue(*element, tag));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The tag search agrees with the standard one, for needles taken from the input too.
    for (const std::string_view needle :
         {std::string_view("<f>"), std::string_view(" </f>"), std::string_view("<"),
          input.substr(0, 4), input.substr(size / 2, 6)}) {
        for (const std::size_t from : {std::size_t{0}, size / 3, size, size + 1}) {
            check(vela::FindText(input, needle, from) == input.find(needle, from));
        }
    }
    vela::ConfigDocument document(input);
    checkLoop(document, vela::Tag("f"), vela::CursorAdvance::EachPastItsTag);
    checkLoop(document, vela::Tag(" <f>", " </f>"), vela::CursorAdvance::BothPastElement);
    // A cut never grows the document, and the section text was part of it.
    const std::size_t before = document.text().size();
    if (auto section = document.TakeSection(vela::Tag("s"))) {
        check(document.text().size() + section->size() <= before);
    }
    checkLoop(document, vela::Tag("f"), vela::CursorAdvance::EachPastItsTag);
    return 0;
}
