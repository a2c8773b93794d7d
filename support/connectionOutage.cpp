#include "support/connectionOutage.h"

#include <algorithm>

namespace kivo {

namespace {

std::string wholeSeconds(ConnectionOutage::Clock::duration length) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(length).count());
}

}  // namespace

std::string errorTextOnOneLine(const std::string& text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') {
      line += text[i];
      continue;
    }
    line += ' ';
    if (i + 1 < text.size() && text[i + 1] == '\t') ++i;
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

void ConnectionOutage::setPolicy(const Policy& policy) {
  std::lock_guard<std::mutex> hold(mutex_);
  policy_ = policy;
}

ConnectionOutage::Policy ConnectionOutage::policy() {
  std::lock_guard<std::mutex> hold(mutex_);
  return policy_;
}

std::optional<std::string> ConnectionOutage::lost(const std::string& error, Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (episode_.on()) return std::nullopt;
  // The first failed attempt tells why the server cannot be reached.
  episode_ = Episode(Episode::Pace{Clock::duration::zero(), policy_.reportEvery});
  episode_.failed(now);
  ++epoch_;
  // Often only this connection was cut (the server ended its backend, a
  // proxy restarted): the first attempt costs nothing to try at once.
  nextAttempt_ = now;
  delay_ = policy_.firstDelay;
  return "connection to the database lost: " + errorTextOnOneLine(error);
}

std::optional<std::string> ConnectionOutage::attemptFailed(const std::string& error,
                                                           Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!episode_.on()) return std::nullopt;
  nextAttempt_ = now + delay_;
  delay_ = std::min(delay_ * 2, policy_.maxDelay);
  Episode::Line line = episode_.failed(now);
  if (line.kind != Episode::Line::kRepeats) return std::nullopt;
  return "database still unreachable after " + wholeSeconds(line.length) +
         " s: " + errorTextOnOneLine(error);
}

std::optional<std::string> ConnectionOutage::restored(Clock::time_point now) {
  std::string line;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!episode_.on()) return std::nullopt;
    line = "connection to the database back after " +
           wholeSeconds(episode_.succeeded(now).length) + " s";
  }
  changed_.notify_all();
  return line;
}

bool ConnectionOutage::down() {
  std::lock_guard<std::mutex> hold(mutex_);
  return episode_.on();
}

unsigned long ConnectionOutage::epoch() {
  std::lock_guard<std::mutex> hold(mutex_);
  return epoch_;
}

bool ConnectionOutage::attemptDue(Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  return episode_.on() && now >= nextAttempt_;
}

ConnectionOutage::Clock::time_point ConnectionOutage::nextAttempt() {
  std::lock_guard<std::mutex> hold(mutex_);
  return nextAttempt_;
}

void ConnectionOutage::interrupt() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    interrupted_ = true;
  }
  changed_.notify_all();
}

bool ConnectionOutage::interrupted() {
  std::lock_guard<std::mutex> hold(mutex_);
  return interrupted_;
}

bool ConnectionOutage::waitForAttempt() {
  std::unique_lock<std::mutex> hold(mutex_);
  // When another thread made the attempt that this one woke for and it
  // failed, the next one lies later and the wait goes on.
  while (!interrupted_ && episode_.on() && Clock::now() < nextAttempt_) {
    changed_.wait_until(hold, nextAttempt_);
  }
  return !episode_.on() || !interrupted_;
}

bool ConnectionOutage::sleepFor(std::chrono::milliseconds length) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, length, [this] { return interrupted_; });
  return !interrupted_;
}

bool ConnectionOutage::waitUntilUp() {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [this] { return !episode_.on() || interrupted_; });
  return !episode_.on();
}

}  // namespace kivo
