#include "config/config_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela {
namespace {

using namespace std::string_literals;

TEST(FindText, FindsWhatTheStandardSearchFinds) {
    const std::string_view text = "<<a <ab> </ab><ab>";
    for (const std::string_view needle : {"<ab>", "</ab>", "<", " <", "<ab>x", "b> <", ""}) {
        for (std::size_t from = 0; from <= text.size() + 1; ++from) {
            EXPECT_EQ(FindText(text, needle, from), text.find(needle, from))
                << needle << " from " << from;
        }
    }
    EXPECT_EQ(FindText("", "<a>", 0), std::string_view::npos);
}

TEST(ConfigDocument, LowersOnlyAsciiLettersAndStopsAtTheFirstZeroByte) {
    const ConfigDocument document("<GPS>Ab\xC4\xD6Z\x7F<Sys>"s + '\0' + "<TAIL>"s);
    EXPECT_EQ(document.text(), "<gps>ab\xC4\xD6z\x7F<sys>");
}

TEST(ConfigDocument, TakeSectionCutsExactlyTheSection) {
    // Adjacent sections: taking one must leave every character of the next.
    ConfigDocument document("x<sys>1</sys><gps>2</gps>\r\ny");
    EXPECT_EQ(document.TakeSection(Tag("sys")), "1");
    EXPECT_EQ(document.text(), "x<gps>2</gps>\r\ny");
    EXPECT_EQ(document.TakeSection(Tag("gps")), "2");
    EXPECT_EQ(document.text(), "x\r\ny");

    ConfigDocument atEdges("<home></home>");
    EXPECT_EQ(atEdges.TakeSection(Tag("home")), "");
    EXPECT_EQ(atEdges.text(), "");
}

TEST(ConfigDocument, ClosingTagBeforeOpeningGivesEmptySectionAndNoCut) {
    ConfigDocument document("</sys>abc<sys>def");
    EXPECT_EQ(document.TakeSection(Tag("sys")), "");
    EXPECT_EQ(document.text(), "</sys>abc<sys>def");
}

TEST(ConfigDocument, MissingTagMeansNoSectionAndNoCut) {
    ConfigDocument document("<sys>abc <gps>x</gps>");
    EXPECT_EQ(document.TakeSection(Tag("sys")), std::nullopt);
    EXPECT_EQ(document.TakeSection(Tag("gsm")), std::nullopt);
    EXPECT_EQ(document.text(), "<sys>abc <gps>x</gps>");
}

std::vector<std::string> allElements(const ConfigDocument& document, const Tag& tag,
                                     CursorAdvance advance = CursorAdvance::EachPastItsTag) {
    std::vector<std::string> elements;
    ElementCursor cursor;
    while (auto element = document.NextElement(tag, cursor, advance)) {
        elements.emplace_back(*element);
        if (elements.size() > 100) break;  // a loop that does not end is a fault
    }
    return elements;
}

TEST(ConfigDocument, NextElementWalksElementsInDocumentOrder) {
    const ConfigDocument document("<io>a</io> <io></io><io>c</io><io>dangling");
    EXPECT_EQ(allElements(document, Tag("io")), (std::vector<std::string>{"a", "", "c"}));
    EXPECT_EQ(document.text(), "<io>a</io> <io></io><io>c</io><io>dangling");
}

TEST(ConfigDocument, NextElementCursorsMoveIndependently) {
    // Nested elements: the n-th opening tag pairs with the n-th closing tag.
    const ConfigDocument nested("<f><f>a</f>b</f>");
    EXPECT_EQ(allElements(nested, Tag("f")), (std::vector<std::string>{"<f>a", "a</f>b"}));
    // A stray closing tag in front makes every element read as empty.
    const ConfigDocument stray("</f><f>a</f><f>b</f>");
    EXPECT_EQ(allElements(stray, Tag("f")), (std::vector<std::string>{"", ""}));
}

TEST(ConfigDocument, SecureNumberLoopResumesAfterEachElement) {
    const std::string text =
        "  <securenum>\n    <num>1</num>\n    <securenum>111</securenum>\n  </securenum>\n"
        "  <securenum>\n    <num>2</num>\n    <securenum>222</securenum>\n  </securenum>\n";
    const ConfigDocument document(text);
    const auto elements =
        allElements(document, Tag(" <securenum>", " </securenum>"), CursorAdvance::BothPastElement);
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(ConfigDocument::ReadValue(elements[0], Tag("securenum")), "111");
    EXPECT_EQ(ConfigDocument::ReadValue(elements[1], Tag("num")), "2");
}

TEST(ElementValues, ReadsWhatReadValueReadsAlsoInOverlappingElements) {
    // Nested, unbalanced and reversed elements, and value tags that straddle element ends.
    for (const char* text : {
             "<f><v>1</v></f><f></v><v>2</f>x</v></f><f><v></f>",
             "<f><f><f><v>a</v></f><v>b</v></f>c</v></f><v>d</v></f>",
             "</f></v><f><v>1<f></v><v>2</v></f></f><v>3</v><f>",
             "<f><v>12</v><w>3</w></f><f><w>4</w></f><f><v>5</v><v>6</v></f>",
         }) {
        const ConfigDocument document(text);
        ElementValues values(document);
        ElementCursor cursor;
        const Tag f("f"), v("v"), w("w");
        int elements = 0;
        while (auto element = document.NextElement(f, cursor)) {
            ASSERT_LT(++elements, 100);
            for (const Tag* tag : {&v, &w}) {
                EXPECT_EQ(values.ReadValue(*element, *tag),
                          ConfigDocument::ReadValue(*element, *tag))
                    << text << " element " << elements << " tag " << tag->open;
            }
        }
        EXPECT_GT(elements, 1) << text;
    }
}

TEST(ConfigDocument, ReadValueKeepsTheTextAsItIs) {
    EXPECT_EQ(ConfigDocument::ReadValue("<a> 6\t0\r\n</a>", Tag("a")), " 6\t0\r\n");
    EXPECT_EQ(ConfigDocument::ReadValue("<p>a&amp;b</p>", Tag("p")), "a&amp;b");
    EXPECT_EQ(ConfigDocument::ReadValue("<a>1</a><a>2</a>", Tag("a")), "1");
    EXPECT_EQ(ConfigDocument::ReadValue("</a>x<a>", Tag("a")), "");
    EXPECT_EQ(ConfigDocument::ReadValue("<a>x", Tag("a")), std::nullopt);
    EXPECT_EQ(ConfigDocument::ReadValue("x</a>", Tag("a")), std::nullopt);
    // Tags with attributes or blanks are not tags to this reader.
    EXPECT_EQ(ConfigDocument::ReadValue("<a id=\"1\">x</a>", Tag("a")), std::nullopt);
}

}  // namespace
}  // namespace vela
