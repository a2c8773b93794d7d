#include "support/failureEpisodes.h"

#include "support/connectionOutage.h"

namespace kivo {

namespace {

std::string wholeSeconds(Episode::Clock::duration length) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(length).count());
}

}  // namespace

std::optional<std::string> FailureEpisodes::failed(const std::string& statement,
                                                   const std::string& error,
                                                   Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  Episode::Line line = episodes_.try_emplace(statement, pace_).first->second.failed(now);
  if (line.kind == Episode::Line::kBegins) {
    return "database statement " + statement + " failed, running it again: " +
           errorTextOnOneLine(error);
  }
  if (line.kind != Episode::Line::kRepeats) return std::nullopt;
  return "database statement " + statement + " still failing after " +
         wholeSeconds(line.length) + " s: " + errorTextOnOneLine(error);
}

std::optional<std::string> FailureEpisodes::succeeded(const std::string& statement,
                                                      Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = episodes_.find(statement);
  if (known == episodes_.end()) return std::nullopt;
  Episode::Line line = known->second.succeeded(now);
  episodes_.erase(known);
  return "database statement " + statement + " ran again after " + wholeSeconds(line.length) +
         " s";
}

bool passingFailure(const std::string& sqlState) {
  if (sqlState.size() != 5) return false;
  std::string kind = sqlState.substr(0, 2);
  return kind == "40" || kind == "53" || kind == "57" || sqlState == "55P03";
}

}  // namespace kivo
