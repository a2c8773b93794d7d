#include "daemon/worker/trapParameters.h"

#include <stdlib.h>

#include "daemon/base/systemLog.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/logText.h"
#include "support/standardOutput.h"

namespace {

void replaceFirst(kivo::FilledText& filled, const std::string& reference, const std::string& value) {
  size_t at = filled.text.find(reference);
  if (at != std::string::npos) filled.replace(at, reference.size(), value);
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
size_t expandReference(kivo::FilledText& filled, size_t at, const snmpTrap& trap) {
  const std::string& text = filled.text;
  char kind = at + 1 < text.size() ? text[at + 1] : '\0';
  std::string value;
  size_t length = 2;
  if (kind == '+') {
    int number = digitAt(text, at + 2);
    std::string variableValue = trap.getValue(number - 1);
    value = trap.getVariableOid(number - 1) + ":" + variableValue;
    write_log("REP", kivo::escapeControls(value));
    length = 3;
  } else if (kind == '*') {
    value = allVariables(trap);
  } else {
    value = trap.getValue(digitAt(text, at + 1) - 1);
  }
  filled.replace(at, length, value);
  return value.size();
}

}  // namespace

kivo::FilledText kivo::fillParameters(const std::string& parameterTemplate, const snmpTrap& trap,
                                      const service& s) {
  FilledText filled;
  filled.appendTemplate(parameterTemplate);
  replaceFirst(filled, "$r", trap.getHost());
  replaceFirst(filled, "$IP", trap.getHostAddr());
  replaceFirst(filled, "$SERID", intToString(s.GetService_id()));
  size_t at = filled.text.find('$');
  while (at != std::string::npos) {
    size_t next;
    try {
      next = at + expandReference(filled, at, trap);
    } catch (const VariableNoFoundException& e) {
      const std::string& text = filled.text;
      std::string read = at + 1 < text.size() ? text.substr(at + 1, 1) : std::string();
      writeStandardOutputLine("Variable no found:" + std::string(e.what()) + "#" +
                              kivo::escapeControls(read) + "#" + s.Getname() + "#" +
                              kivo::escapeControls(text));
      next = at + 1;
    }
    at = filled.text.find('$', next);
  }
  return filled;
}

void kivo::fillServiceParameters(service& s, const snmpTrap& trap) {
  FilledText filled = fillParameters(s.Getparameter(), trap, s);
  s.SetFilledParameter(filled.text, splitFilledArguments(filled));
}

std::string kivo::buildParameters(const std::string& parameterTemplate, const snmpTrap& trap,
                            const service& s) {
  return kivo::fillParameters(parameterTemplate, trap, s).text;
}
