#include "support/errorRepeats.h"

namespace kivo {

ErrorRepeats::Verdict ErrorRepeats::failed(const std::string& statement, const std::string& kind,
                                           Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  Verdict verdict;
  std::map<std::string, Repeats>& kinds = failing_[statement];
  auto known = kinds.find(kind);
  if (known == kinds.end()) {
    kinds[kind].lastLine = now;
    verdict.tell = true;
    return verdict;
  }
  Repeats& repeats = known->second;
  ++repeats.untold;
  if (now - repeats.lastLine >= countEvery_) {
    verdict.countLine = countLine(statement, kind, repeats.untold);
    repeats.untold = 0;
    repeats.lastLine = now;
  }
  return verdict;
}

std::string ErrorRepeats::succeeded(const std::string& statement) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = failing_.find(statement);
  if (known == failing_.end()) return "";
  std::string lines;
  for (const auto& kind : known->second) {
    if (kind.second.untold == 0) continue;
    if (!lines.empty()) lines += "; ";
    lines += countLine(statement, kind.first, kind.second.untold);
  }
  failing_.erase(known);
  return lines;
}

std::string ErrorRepeats::countLine(const std::string& statement, const std::string& kind,
                                    long repeats) {
  return "database statement " + statement + " failed " + std::to_string(repeats) +
         " more times with the same error (" + kind + ")";
}

}  // namespace kivo
