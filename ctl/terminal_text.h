#pragma once

// What halvexctl writes holds text from the service (product names, codes, addresses, its error messages)
// and from bundles on disk (versions). A terminal acts on control characters in it: an escape sequence
// can retitle the window, move the cursor or rewrite what was printed before. Everything halvexctl
// writes therefore passes through `escapedForTerminal`.

#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace halvex::ctl {

// `text` with every control character but the line feed (C0, DEL and the C1 range U+0080-U+009F) written
// as "\u001b" and every byte that is not part of well-formed UTF-8 as "\xff". The first form is also a
// JSON string escape, so JSON output stays valid JSON with the same meaning.
std::string escapedForTerminal(std::string_view text);

// A stream writing through `escapedForTerminal` into another stream's buffer, unbuffered itself, so
// that its writes and direct writes to the other stream keep their order. Each write is escaped on its
// own: a character split across two writes is taken for two broken ones.
class TerminalStream : public std::ostream {
  public:
    explicit TerminalStream(std::ostream& target);

  private:
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(std::streambuf* target) : target_(target) {}

      protected:
        int_type overflow(int_type character) override;
        std::streamsize xsputn(const char* text, std::streamsize count) override;
        int sync() override;

      private:
        std::streambuf* target_;
    };

    Buffer buffer_;
};

}  // namespace halvex::ctl
