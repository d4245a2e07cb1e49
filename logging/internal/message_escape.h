// The message of a line in the forms that cannot break a line or a reader:
// inside a JSON string, or as text with its control bytes escaped.
#ifndef VELMOR_LOGGING_INTERNAL_MESSAGE_ESCAPE_H_
#define VELMOR_LOGGING_INTERNAL_MESSAGE_ESCAPE_H_

#include <cstddef>
#include <string_view>

namespace velmor::common::internal {

// An escaped message is at most this many times as long as the message.
constexpr std::size_t kMaxEscapeGrowth = 6;

// Writes `message` as the characters of a JSON string (RFC 8259), without
// the quotes, at `out`, which has room for kMaxEscapeGrowth bytes per byte
// of `message`; returns the bytes written. `"` and `\` are escaped, and so
// is every control character, C0, DEL and C1 (\n, \r, \t, \b, \f or
// \u00XX: JSON requires it below U+0020, and a terminal acts on the rest);
// other valid UTF-8 is kept as it is, and each maximal subpart of an invalid
// sequence becomes one U+FFFD, as the Unicode standard recommends.
std::size_t escapeJson(std::string_view message, char* out) noexcept;

// The bytes escapeJson() writes for `message`.
std::size_t escapedJsonSize(std::string_view message) noexcept;

// Writes `message` as text that is one line and gives the message back:
// `\` as "\\", LF as "\n", CR as "\r", every other byte below 0x20 except
// TAB, and 0x7F, as "\xHH" (upper-case hex); every other byte unchanged.
// `out` has room for kMaxEscapeGrowth bytes per byte; returns the bytes
// written.
std::size_t escapeControls(std::string_view message, char* out) noexcept;

// The bytes escapeControls() writes for `message`.
std::size_t escapedControlsSize(std::string_view message) noexcept;

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_MESSAGE_ESCAPE_H_
