#include "ctl/terminal_text.h"

#include <cstdio>

#include "core/foundation/utf8.h"

namespace halvex::ctl {

namespace {

bool isControl(char32_t codePoint) {
    return (codePoint < 0x20 && codePoint != '\n') || (codePoint >= 0x7F && codePoint <= 0x9F);
}

}  // namespace

std::string escapedForTerminal(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    char code[8];
    while (!text.empty()) {
        const auto character = firstUTF8Character(text);
        if (!character) {
            std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(text.front()));
            escaped += code;
            text.remove_prefix(1);
            continue;
        }
        if (isControl(character->codePoint)) {
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(character->codePoint));
            escaped += code;
        } else {
            escaped += text.substr(0, character->length);
        }
        text.remove_prefix(character->length);
    }
    return escaped;
}

TerminalStream::TerminalStream(std::ostream& target) : std::ostream(nullptr), buffer_(target.rdbuf()) {
    rdbuf(&buffer_);
}

TerminalStream::Buffer::int_type TerminalStream::Buffer::overflow(int_type character) {
    if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(character);
    const char byte = traits_type::to_char_type(character);
    return xsputn(&byte, 1) == 1 ? character : traits_type::eof();
}

std::streamsize TerminalStream::Buffer::xsputn(const char* text, std::streamsize count) {
    const auto escaped = escapedForTerminal(std::string_view(text, static_cast<std::size_t>(count)));
    const auto size = static_cast<std::streamsize>(escaped.size());
    return target_->sputn(escaped.data(), size) == size ? count : 0;
}

int TerminalStream::Buffer::sync() {
    return target_->pubsync();
}

}  // namespace halvex::ctl
