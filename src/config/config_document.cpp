#include "config/config_document.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace vela {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

// The text between an opening tag at `open` (of length `openLength`) and a closing
// tag at `close`; empty when the closing tag does not lie after the opening one.
std::string_view between(std::string_view text, std::size_t open, std::size_t openLength,
                         std::size_t close) {
    const std::size_t start = open + openLength;
    if (close <= start) return {};
    return text.substr(start, close - start);
}

}  // namespace

std::size_t FindText(std::string_view text, std::string_view needle, std::size_t from) {
    if (from > text.size() || needle.size() > text.size() - from) return kNotFound;
    if (needle.empty()) return from;
    const char* const base = text.data();
    const char* const last = base + (text.size() - needle.size());  // last possible start
    const std::size_t screened = std::min<std::size_t>(needle.size(), 3);
    for (const char* p = base + from; p <= last; ++p) {
        p = static_cast<const char*>(
            std::memchr(p, needle[0], static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr) return kNotFound;
        bool candidate = true;
        for (std::size_t k = 1; k < screened && candidate; ++k) candidate = p[k] == needle[k];
        if (candidate && std::memcmp(p, needle.data(), needle.size()) == 0) {
            return static_cast<std::size_t>(p - base);
        }
    }
    return kNotFound;
}

namespace {

// Built by appending into a reserved string: GCC 12 at -O3 misreads the inlined
// `"<" + std::string(name)` as an overlapping copy and warns.
std::string Bracketed(std::string_view opening, std::string_view name) {
    std::string tag;
    tag.reserve(opening.size() + name.size() + 1);
    tag.append(opening).append(name).push_back('>');
    return tag;
}

}  // namespace

Tag::Tag(std::string_view name) : open(Bracketed("<", name)), close(Bracketed("</", name)) {}

Tag::Tag(std::string openTag, std::string closeTag)
    : open(std::move(openTag)), close(std::move(closeTag)) {}

ConfigDocument::ConfigDocument(std::string_view fileBytes)
    : text_(fileBytes.substr(0, fileBytes.find('\0'))) {
    // Only ASCII letters: bytes from 0x80 up are left alone whatever the locale.
    std::transform(text_.begin(), text_.end(), text_.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
}

std::optional<std::string> ConfigDocument::TakeSection(const Tag& tag) {
    const std::string_view text = text_;
    // Without its opening tag the section is absent whatever the closing tag does, so
    // that search is spared.
    const std::size_t s = FindText(text, tag.open);
    if (s == kNotFound) return std::nullopt;
    const std::size_t e = FindText(text, tag.close);
    if (e == kNotFound) return std::nullopt;
    if (e < s + tag.open.size()) return std::string();
    std::string section(between(text, s, tag.open.size(), e));
    text_.erase(s, e + tag.close.size() - s);
    return section;
}

std::optional<std::string_view> ConfigDocument::NextElement(const Tag& tag, ElementCursor& cursor,
                                                            CursorAdvance advance) const {
    const std::string_view text = text_;
    const std::size_t q = FindText(text, tag.open, cursor.openFrom);
    const std::size_t r = q == kNotFound ? kNotFound : FindText(text, tag.close, cursor.closeFrom);
    if (q == kNotFound || r == kNotFound) {
        // Searching from the end finds nothing, so the loop stays over.
        cursor.openFrom = cursor.closeFrom = text.size() + 1;
        return std::nullopt;
    }
    if (advance == CursorAdvance::BothPastElement) {
        cursor.openFrom = cursor.closeFrom = r + tag.close.size();
    } else {
        cursor.openFrom = q + tag.open.size();
        cursor.closeFrom = r + tag.close.size();
    }
    return between(text, q, tag.open.size(), r);
}

std::optional<std::string_view> ConfigDocument::ReadValue(std::string_view text, const Tag& tag) {
    const std::size_t v = FindText(text, tag.open);
    if (v == kNotFound) return std::nullopt;
    const std::size_t w = FindText(text, tag.close);
    if (w == kNotFound) return std::nullopt;
    return between(text, v, tag.open.size(), w);
}

std::size_t ElementValues::find(const std::string& needle, std::size_t from) {
    for (NextOccurrence& next : next_) {
        if (next.needle != &needle) continue;
        // Still valid when the search would start at or after the last one and not
        // beyond what it found.
        if (from < next.from || (next.at != kNotFound && next.at < from)) {
            next.from = from;
            next.at = FindText(text_, needle, from);
        }
        return next.at;
    }
    next_.push_back({&needle, from, FindText(text_, needle, from)});
    return next_.back().at;
}

std::optional<std::string_view> ElementValues::ReadValue(std::string_view element, const Tag& tag) {
    const std::less<const char*> before;
    const char* const begin = text_.data();
    const char* const end = begin + text_.size();
    if (before(element.data(), begin) || before(end, element.data()) ||
        element.size() > static_cast<std::size_t>(end - element.data())) {
        return ConfigDocument::ReadValue(element, tag);
    }
    const std::size_t start = static_cast<std::size_t>(element.data() - begin);
    const std::size_t limit = start + element.size();
    // The first occurrence in the document from the element's start is the first one
    // inside the element, when it ends within it; otherwise there is none inside.
    const auto inside = [&](const std::string& needle) {
        const std::size_t at = find(needle, start);
        return (at != kNotFound && at + needle.size() <= limit) ? at - start : kNotFound;
    };
    const std::size_t v = inside(tag.open);
    if (v == kNotFound) return std::nullopt;
    const std::size_t w = inside(tag.close);
    if (w == kNotFound) return std::nullopt;
    return between(element, v, tag.open.size(), w);
}

}  // namespace vela
