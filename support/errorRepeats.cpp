#include "support/errorRepeats.h"

namespace kivo {

ErrorRepeats::Verdict ErrorRepeats::failed(const std::string& statement, const std::string& kind,
                                           Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  Episode::Line line = failing_[statement].try_emplace(kind, pace_).first->second.failed(now);
  Verdict verdict;
  verdict.tell = line.kind == Episode::Line::kBegins;
  if (line.kind == Episode::Line::kRepeats) {
    verdict.countLine = countLine(statement, kind, line.repeats);
  }
  return verdict;
}

std::optional<std::string> ErrorRepeats::succeeded(const std::string& statement) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = failing_.find(statement);
  if (known == failing_.end()) return std::nullopt;
  std::string lines;
  for (auto& kind : known->second) {
    long untold = kind.second.succeeded().repeats;
    if (untold == 0) continue;
    if (!lines.empty()) lines += "; ";
    lines += countLine(statement, kind.first, untold);
  }
  failing_.erase(known);
  if (lines.empty()) return std::nullopt;
  return lines;
}

std::string ErrorRepeats::countLine(const std::string& statement, const std::string& kind,
                                    long repeats) {
  return "database statement " + statement + " failed " + std::to_string(repeats) +
         " more times with the same error (" + kind + ")";
}

}  // namespace kivo
