// JSON string escaping with UTF-8 repair, and control escaping for text.
#include "logging/internal/message_escape.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace velmor::common::internal {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8.

// The bytes each form passes on unchanged, found a run at a time: a line of
// plain text costs one table look-up per byte and one copy.
using ByteSet = std::array<bool, 256>;
constexpr ByteSet jsonPlain() {
  ByteSet set{};
  for (int byte = 0x20; byte < 0x7F; ++byte) set[byte] = byte != '"' && byte != '\\';
  return set;
}
constexpr ByteSet textPlain() {
  ByteSet set{};
  for (int byte = 0; byte < 256; ++byte) {
    set[byte] = byte == '\t' || (byte >= 0x20 && byte != 0x7F && byte != '\\');
  }
  return set;
}
constexpr ByteSet kJsonPlain = jsonPlain();
constexpr ByteSet kTextPlain = textPlain();

// The length of the run of bytes in `set` at the start of `bytes`.
std::size_t plainRun(const unsigned char* bytes, std::size_t left, const ByteSet& set) noexcept {
  std::size_t n = 0;
  while (n < left && set[bytes[n]]) ++n;
  return n;
}

// Where escaped bytes go: written out, or only counted.
struct Writer {
  char* end;
  void put(char c) noexcept { *end++ = c; }
  void run(const unsigned char* bytes, std::size_t n) noexcept {
    if (n != 0) std::memcpy(end, bytes, n);
    end += n;
  }
};
struct Counter {
  std::size_t size = 0;
  void put(char) noexcept { ++size; }
  void run(const unsigned char*, std::size_t n) noexcept { size += n; }
};

// The length of the well-formed UTF-8 sequence at the start of `bytes`
// (2 to 4), or, if there is none, the length of its maximal subpart: the
// longest start of a well-formed sequence (at least 1).
std::size_t sequenceAt(const unsigned char* bytes, std::size_t left, bool& valid) noexcept {
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // The range of the second byte.
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // No overlong forms.
    if (lead == 0xED) high = 0x9F;  // No surrogates.
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // Nothing above U+10FFFF.
  } else {
    valid = false;  // A continuation byte, C0, C1 or F5 to FF.
    return 1;
  }
  std::size_t at = 1;
  for (; at < length && at < left; ++at) {
    const unsigned char byte = bytes[at];
    if (byte < (at == 1 ? low : 0x80) || byte > (at == 1 ? high : 0xBF)) break;
  }
  valid = at == length;
  return at;
}

// Puts "\u00XX" for the code point `code` (below U+0100).
template <typename Out>
void putUnicodeEscape(Out& out, unsigned char code) noexcept {
  for (const char c : std::string_view("\\u00")) out.put(c);
  out.put(kHex[code >> 4]);
  out.put(kHex[code & 0xF]);
}

// The letter of JSON's two-character escape of `byte`, if it has one.
const char* shortEscape(unsigned char byte) noexcept {
  switch (byte) {
    case '\n':
      return "n";
    case '\r':
      return "r";
    case '\t':
      return "t";
    case '\b':
      return "b";
    case '\f':
      return "f";
    default:
      return nullptr;
  }
}

// Gives `out` the JSON form of `message`.
template <typename Out>
void escapeJsonTo(std::string_view message, Out& out) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  const std::size_t size = message.size();
  for (std::size_t i = 0; i < size;) {
    const std::size_t plain = plainRun(bytes + i, size - i, kJsonPlain);
    out.run(bytes + i, plain);
    i += plain;
    if (i == size) break;
    const unsigned char byte = bytes[i];
    if (byte >= 0x80) {
      bool valid = false;
      const std::size_t length = sequenceAt(bytes + i, size - i, valid);
      if (valid && byte == 0xC2 && bytes[i + 1] < 0xA0) {
        putUnicodeEscape(out, bytes[i + 1]);  // A C1 control, U+0080 to U+009F.
      } else if (valid) {
        out.run(bytes + i, length);
      } else {
        out.run(reinterpret_cast<const unsigned char*>(kReplacement), 3);
      }
      i += length;
      continue;
    }
    ++i;
    if (byte == '"' || byte == '\\') {
      out.put('\\');
      out.put(static_cast<char>(byte));
    } else if (const char* shortForm = shortEscape(byte)) {
      out.put('\\');
      out.put(*shortForm);
    } else {
      putUnicodeEscape(out, byte);  // The other C0 controls, and DEL.
    }
  }
}

// Gives `out` the control-escaped text form of `message`.
template <typename Out>
void escapeControlsTo(std::string_view message, Out& out) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  const std::size_t size = message.size();
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t plain = plainRun(bytes + i, size - i, kTextPlain);
    out.run(bytes + i, plain);
    i += plain;
    if (i == size) break;
    const unsigned char byte = bytes[i];
    out.put('\\');
    if (byte == '\\' || byte == '\n' || byte == '\r') {
      out.put(byte == '\\' ? '\\' : byte == '\n' ? 'n' : 'r');
    } else {
      out.put('x');
      out.put(kHex[byte >> 4]);
      out.put(kHex[byte & 0xF]);
    }
  }
}

}  // namespace

std::size_t escapeJson(std::string_view message, char* out) noexcept {
  Writer writer{out};
  escapeJsonTo(message, writer);
  return static_cast<std::size_t>(writer.end - out);
}

std::size_t escapedJsonSize(std::string_view message) noexcept {
  Counter counter;
  escapeJsonTo(message, counter);
  return counter.size;
}

std::size_t escapeControls(std::string_view message, char* out) noexcept {
  Writer writer{out};
  escapeControlsTo(message, writer);
  return static_cast<std::size_t>(writer.end - out);
}

std::size_t escapedControlsSize(std::string_view message) noexcept {
  Counter counter;
  escapeControlsTo(message, counter);
  return counter.size;
}

}  // namespace velmor::common::internal
