#include "daemon/trapParameters.h"

#include <stdlib.h>

#include "daemon/kivoTrapd.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/standardOutput.h"

namespace {

void replaceFirst(std::string& text, const std::string& reference, const std::string& value) {
  size_t at = text.find(reference);
  if (at != std::string::npos) text.replace(at, reference.size(), value);
}

// The one character at position at, read as a number: 0 (an unresolvable
// variable) for anything but a digit and past the end of the text.
int digitAt(const std::string& text, size_t at) {
  if (at >= text.size()) return 0;
  char digit[2] = {text[at], '\0'};
  return atoi(digit);
}

std::string allVariables(const snmpTrap& trap) {
  std::string text;
  for (const trap_variable& variable : trap.getVariables()) {
    text += variable.oid + ":" + variable.value + " ";
  }
  return text;
}

// Replaces the reference at position at (its "$") and returns the length of
// the inserted text. Throws VariableNoFoundException when the reference
// names a variable the trap does not have.
size_t expandReference(std::string& text, size_t at, const snmpTrap& trap) {
  char kind = at + 1 < text.size() ? text[at + 1] : '\0';
  std::string value;
  size_t length = 2;
  if (kind == '+') {
    int number = digitAt(text, at + 2);
    std::string variableValue = trap.getValue(number - 1);
    value = trap.getVariableOid(number - 1) + ":" + variableValue;
    write_log("REP", value);
    length = 3;
  } else if (kind == '*') {
    value = allVariables(trap);
  } else {
    value = trap.getValue(digitAt(text, at + 1) - 1);
  }
  text.replace(at, length, value);
  return value.size();
}

}  // namespace

std::string buildParameters(const std::string& parameterTemplate, const snmpTrap& trap,
                            const service& s) {
  std::string text = parameterTemplate;
  replaceFirst(text, "$r", trap.getHost());
  replaceFirst(text, "$IP", trap.getHostAddr());
  replaceFirst(text, "$SERID", intToString(s.GetService_id()));
  size_t at = text.find('$');
  while (at != std::string::npos) {
    size_t next;
    try {
      next = at + expandReference(text, at, trap);
    } catch (const VariableNoFoundException& e) {
      std::string read = at + 1 < text.size() ? text.substr(at + 1, 1) : std::string();
      writeStandardOutputLine("Variable no found:" + std::string(e.what()) + "#" + read + "#" +
                              s.Getname() + "#" + text);
      next = at + 1;
    }
    at = text.find('$', next);
  }
  return text;
}
