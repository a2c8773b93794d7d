#include "services/service.h"

#include <boost/tokenizer.hpp>

std::vector<std::string> splitArguments(const std::string& text) {
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

void service::SetAlertingParameter(std::string p) {
  std::vector<std::string> arguments = splitArguments(p);
  vectorAlertingParam.insert(vectorAlertingParam.end(), arguments.begin(), arguments.end());
}
