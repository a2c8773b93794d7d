#include "services/service.h"

#include <boost/tokenizer.hpp>

using kivo::splitArguments;

std::vector<std::string> kivo::splitArguments(const std::string& text) {
  typedef boost::tokenizer<boost::escaped_list_separator<char>> Tokenizer;
  boost::escaped_list_separator<char> separator("", " ", "\"'");
  Tokenizer tokens(text, separator);
  std::vector<std::string> arguments;
  for (const std::string& token : tokens) {
    if (!token.empty()) arguments.push_back(token);
  }
  return arguments;
}

void service::Setparameter(std::string p) {
  parameter = std::move(p);
  vectorParam = splitArguments(parameter);
}

void service::SetFilledParameter(std::string p, std::vector<std::string> arguments) {
  parameter = std::move(p);
  vectorParam = std::move(arguments);
}

void service::SetAlertingParameter(std::string p) {
  std::vector<std::string> arguments = splitArguments(p);
  vectorAlertingParam.insert(vectorAlertingParam.end(), arguments.begin(), arguments.end());
}

namespace kivo {

void FilledText::appendTemplate(const std::string& part) {
  text += part;
  fromTrap.insert(fromTrap.end(), part.size(), false);
}

void FilledText::replace(size_t at, size_t length, const std::string& inserted) {
  text.replace(at, length, inserted);
  fromTrap.erase(fromTrap.begin() + static_cast<std::ptrdiff_t>(at),
                 fromTrap.begin() + static_cast<std::ptrdiff_t>(at + length));
  fromTrap.insert(fromTrap.begin() + static_cast<std::ptrdiff_t>(at), inserted.size(), true);
}

std::vector<std::string> splitFilledArguments(const FilledText& filled) {
  std::vector<std::string> arguments;
  std::string current;
  bool quoted = false;
  for (size_t i = 0; i < filled.text.size(); ++i) {
    char c = filled.text[i];
    bool plain = i < filled.fromTrap.size() && filled.fromTrap[i];
    if (!plain && (c == '"' || c == '\'')) {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      if (!current.empty()) arguments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) arguments.push_back(current);
  return arguments;
}

}  // namespace kivo
