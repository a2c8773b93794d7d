#include "daemon/base/daemonStop.h"

#include <poll.h>

#include "daemon/base/daemonGlobals.h"

namespace kivo {

void Stop::stop() {
  notice_.begin(grace_);
  fifo_trap.lock();
  if (die_kivo.exchange(1) == 0) {
    for (const std::function<void()>& wake : wakes_) wake();
  }
  fifo_trap.unlock();
  fifo_trap.broadcast();
}

bool Stop::stopped() const { return die_kivo.load() != 0; }

void Stop::pause(std::chrono::milliseconds length) const {
  if (stopped() || length.count() <= 0) return;
  pollfd watched = {notice_.fd(), POLLIN, 0};
  // Without the descriptor the pause runs its length.
  (void)::poll(&watched, 1, static_cast<int>(length.count()));
}

void Stop::reset() {
  die_kivo.store(0);
  notice_.reset();
}

}  // namespace kivo
