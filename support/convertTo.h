// Conversions between text and numbers, as used for settings, database
// values and identifiers.
//
// Reading skips leading white space and takes the longest beginning of the
// text that forms a number of the type; the rest is ignored. Text that holds
// no number converts to 0. None of these functions throws or reports an
// error. Writing uses the default stream format: decimal digits, no grouping,
// no padding; doubles keep at most six significant digits.
#ifndef KIVO_SUPPORT_CONVERTTO_H
#define KIVO_SUPPORT_CONVERTTO_H

#include <string>

int stringToInt(std::string text);
unsigned int stringToUnsignedInt(std::string text);
long stringToLong(std::string text);
unsigned long stringToLongInt(std::string text);
double stringToDouble(std::string text);

std::string intToString(int value);
std::string longToString(long value);
std::string longIntToString(long value);
std::string doubleToString(double value);

#endif
