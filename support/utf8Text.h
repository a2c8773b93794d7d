// Text that the server accepts whatever bytes a plug-in wrote.
//
// A text parameter travels as a C string and is checked against the
// connection's client encoding: a NUL byte would cut it short, and in UTF8
// one invalid byte makes the server refuse the whole statement. Pure
// functions, callable from any thread.
#ifndef KIVO_SUPPORT_UTF8TEXT_H
#define KIVO_SUPPORT_UTF8TEXT_H

#include <string>

namespace kivo {

// text with every NUL byte removed and every byte that does not belong to
// a well-formed UTF-8 sequence (overlong forms, surrogates and code points
// above U+10FFFF included) replaced by U+FFFD, one per byte.
std::string validUtf8(const std::string& text);

// text without its NUL bytes.
std::string withoutNul(const std::string& text);

// The text to send for a connection whose client encoding is named
// encoding: validUtf8 for "UTF8", withoutNul for any other.
std::string textForEncoding(const std::string& text, const std::string& encoding);

}  // namespace kivo

#endif
