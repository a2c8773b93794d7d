#include "daemon/worker/foldWindows.h"

namespace kivo {

FoldWindows::FoldWindows(const Settings& settings, std::function<void(const snmpTrap&)> tick)
    : settings_(settings), tick_(std::move(tick)) {
  if (enabled()) thread_ = std::thread(&FoldWindows::run, this);
}

FoldWindows::~FoldWindows() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string FoldWindows::signature(const snmpTrap& trap) const {
  std::string text;
  for (const trap_variable& variable : trap.getVariables()) {
    // Lengths first, so that no two lists of variables read alike.
    bool counts = settings_.ignoredOids.count(variable.oid) == 0;
    const std::string& value = counts ? variable.value : std::string();
    text += std::to_string(variable.oid.size()) + ":" + variable.oid +
            std::to_string(value.size()) + ":" + value;
  }
  return text;
}

FoldWindows::Verdict FoldWindows::arrive(int serviceId, const std::string& serviceName,
                                         const snmpTrap& trap, Clock::time_point now) {
  Verdict verdict;
  if (!enabled()) return verdict;
  std::lock_guard<std::mutex> hold(mutex_);
  std::string closedName;
  closeExpired(serviceId, now, verdict, &closedName);
  if (verdict.runFirst) recordRun(serviceId, serviceName, *verdict.runFirst, now);
  auto open = windows_.find(serviceId);
  std::string mark = signature(trap);
  if (open == windows_.end() || open->second.ran.count(mark) == 0) {
    // No window, or no repeat: it runs, and a trap held before it never
    // will.
    if (open != windows_.end() && open->second.held) {
      verdict.dropped = std::move(open->second.held);
      open->second.held.reset();
      --held_;
      ++open->second.folded;
    }
    recordRun(serviceId, serviceName, trap, now);
    return verdict;
  }
  Window& window = open->second;
  if (window.held) {
    verdict.dropped = std::move(window.held);
    window.held.reset();
    --held_;
    ++window.folded;
  }
  if (mark == window.last) {
    verdict.decision = kFold;
    ++window.folded;
  } else {
    verdict.decision = kHold;
    window.held = trap;
    ++held_;
  }
  return verdict;
}

FoldWindows::Verdict FoldWindows::close(int serviceId, Clock::time_point now) {
  Verdict verdict;
  std::lock_guard<std::mutex> hold(mutex_);
  std::string name;
  closeExpired(serviceId, now, verdict, &name);
  // The held trap runs now, and opens the next window.
  if (verdict.runFirst) recordRun(serviceId, name, *verdict.runFirst, now);
  return verdict;
}

void FoldWindows::closeExpired(int serviceId, Clock::time_point now, Verdict& verdict,
                               std::string* name) {
  auto open = windows_.find(serviceId);
  if (open == windows_.end() || now < open->second.closes) return;
  Window& window = open->second;
  if (window.held) --held_;
  if (window.folded > 0) {
    verdict.closedLine = "service " + window.name + " (" + std::to_string(serviceId) +
                         "): " + std::to_string(window.folded) + " repeated traps folded in " +
                         std::to_string(settings_.windowSeconds) + " s";
  }
  verdict.runFirst = std::move(window.held);
  *name = window.name;
  windows_.erase(open);
}

void FoldWindows::recordRun(int serviceId, const std::string& name, const snmpTrap& trap,
                            Clock::time_point now) {
  auto open = windows_.find(serviceId);
  if (open == windows_.end()) {
    Window window;
    window.closes = now + std::chrono::seconds(settings_.windowSeconds);
    window.name = name;
    window.address = trap.getHostAddr();
    window.oid = trap.getOid();
    open = windows_.emplace(serviceId, std::move(window)).first;
    due_.emplace(open->second.closes, serviceId);
    changed_.notify_all();
  }
  std::string mark = signature(trap);
  open->second.ran.insert(mark);
  open->second.last = mark;
}

void FoldWindows::closeNow(const std::vector<int>& serviceIds) {
  Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (int id : serviceIds) {
      auto open = windows_.find(id);
      if (open == windows_.end()) continue;
      open->second.closes = now;
      due_.emplace(now, id);
    }
  }
  changed_.notify_all();
}

size_t FoldWindows::held() {
  std::lock_guard<std::mutex> hold(mutex_);
  return held_;
}

void FoldWindows::run() {
  std::unique_lock<std::mutex> hold(mutex_);
  while (!quit_) {
    if (due_.empty()) {
      changed_.wait(hold);
      continue;
    }
    Clock::time_point when = due_.top().first;
    if (Clock::now() < when) {
      changed_.wait_until(hold, when);
      continue;
    }
    int id = due_.top().second;
    due_.pop();
    auto open = windows_.find(id);
    // A window already closed, or one opened since with a later close.
    if (open == windows_.end() || open->second.closes > when) continue;
    if (!open->second.held && open->second.folded == 0) {
      // Nothing to run and nothing to tell: it simply ends.
      windows_.erase(open);
      continue;
    }
    snmpTrap close;
    close.setWindowClose(open->second.address, open->second.oid, id);
    hold.unlock();
    tick_(close);
    hold.lock();
  }
}

}  // namespace kivo
