#include "support/utf8Text.h"

namespace kivo {

namespace {

const char* const kReplacement = "\xEF\xBF\xBD";

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed sequence at text[i], or 0 when the byte
// there begins none. The ranges of the second byte rule out overlong forms,
// surrogates and code points beyond U+10FFFF.
size_t sequenceLength(const std::string& text, size_t i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  unsigned char second = static_cast<unsigned char>(text[i + 1]);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!isContinuation(static_cast<unsigned char>(text[i + k]))) return 0;
  }
  return length;
}

}  // namespace

std::string validUtf8(const std::string& text) {
  std::string clean;
  clean.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\0') {
      ++i;
      continue;
    }
    size_t length = sequenceLength(text, i);
    if (length == 0) {
      clean += kReplacement;
      ++i;
      continue;
    }
    clean.append(text, i, length);
    i += length;
  }
  return clean;
}

std::string withoutNul(const std::string& text) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text) {
    if (c != '\0') clean += c;
  }
  return clean;
}

std::string textForEncoding(const std::string& text, const std::string& encoding) {
  return encoding == "UTF8" ? validUtf8(text) : withoutNul(text);
}

}  // namespace kivo
