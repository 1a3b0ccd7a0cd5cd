#include "modem/reply_text.h"

namespace vela {

void ReplyText::append(const char* data, std::size_t count) {
    if (count == 0) return;
    // Everything before the kept tail has been searched already.
    if (text_.size() > kKeep) text_.erase(0, text_.size() - kKeep);
    text_.append(data, count);
}

}  // namespace vela
