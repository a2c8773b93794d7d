#include "support/convertTo.h"

#include <sstream>

namespace {

// A failed extraction leaves 0 (or the clamped value on overflow) in the
// target, which is the documented result for text without a number.
template <class Number>
Number readNumber(const std::string& text) {
  std::istringstream in(text);
  Number value = 0;
  in >> value;
  return value;
}

template <class Number>
std::string writeNumber(Number value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

int stringToInt(std::string text) { return readNumber<int>(text); }
unsigned int stringToUnsignedInt(std::string text) { return readNumber<unsigned int>(text); }
long stringToLong(std::string text) { return readNumber<long>(text); }
unsigned long stringToLongInt(std::string text) { return readNumber<unsigned long>(text); }
double stringToDouble(std::string text) { return readNumber<double>(text); }

std::string intToString(int value) { return writeNumber(value); }
std::string longToString(long value) { return writeNumber(value); }
std::string longIntToString(long value) { return writeNumber(value); }
std::string doubleToString(double value) { return writeNumber(value); }
