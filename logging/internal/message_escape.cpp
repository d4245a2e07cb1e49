// JSON string escaping with UTF-8 repair, and control escaping for text.
#include "logging/internal/message_escape.h"

#include <cstdint>

namespace velmor::common::internal {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8.

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
template <typename Put>
void putUnicodeEscape(Put& put, unsigned char code) noexcept {
  for (const char c : std::string_view("\\u00")) put(c);
  put(kHex[code >> 4]);
  put(kHex[code & 0xF]);
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

// Runs `put(byte)` for the JSON form of `message`.
template <typename Put>
void forEachJsonByte(std::string_view message, Put put) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  const std::size_t size = message.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char byte = bytes[i];
    if (byte >= 0x80) {
      bool valid = false;
      const std::size_t length = sequenceAt(bytes + i, size - i, valid);
      if (valid && byte == 0xC2 && bytes[i + 1] < 0xA0) {
        putUnicodeEscape(put, bytes[i + 1]);  // A C1 control, U+0080 to U+009F.
      } else if (valid) {
        for (std::size_t k = 0; k < length; ++k) put(static_cast<char>(bytes[i + k]));
      } else {
        for (const char c : std::string_view(kReplacement)) put(c);
      }
      i += length;
      continue;
    }
    ++i;
    if (byte == '"' || byte == '\\') {
      put('\\');
      put(static_cast<char>(byte));
    } else if (byte >= 0x20 && byte != 0x7F) {
      put(static_cast<char>(byte));
    } else if (const char* shortForm = shortEscape(byte)) {
      put('\\');
      put(*shortForm);
    } else {
      putUnicodeEscape(put, byte);
    }
  }
}

// Runs `put(byte)` for the control-escaped form of `message`.
template <typename Put>
void forEachEscapedByte(std::string_view message, Put put) noexcept {
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      put('\\');
      put('\\');
    } else if (byte == '\n') {
      put('\\');
      put('n');
    } else if (byte == '\r') {
      put('\\');
      put('r');
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      put('\\');
      put('x');
      put(kHex[byte >> 4]);
      put(kHex[byte & 0xF]);
    } else {
      put(c);
    }
  }
}

}  // namespace

std::size_t escapeJson(std::string_view message, char* out) noexcept {
  char* end = out;
  forEachJsonByte(message, [&end](char c) { *end++ = c; });
  return static_cast<std::size_t>(end - out);
}

std::size_t escapedJsonSize(std::string_view message) noexcept {
  std::size_t size = 0;
  forEachJsonByte(message, [&size](char) { ++size; });
  return size;
}

std::size_t escapeControls(std::string_view message, char* out) noexcept {
  char* end = out;
  forEachEscapedByte(message, [&end](char c) { *end++ = c; });
  return static_cast<std::size_t>(end - out);
}

std::size_t escapedControlsSize(std::string_view message) noexcept {
  std::size_t size = 0;
  forEachEscapedByte(message, [&size](char) { ++size; });
  return size;
}

}  // namespace velmor::common::internal
