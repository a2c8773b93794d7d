#include "daemon/worker/resourceShortage.h"

#include <errno.h>
#include <poll.h>

#include "daemon/base/systemLog.h"
#include "support/stopNotice.h"

namespace kivo {

void ResourceShortage::failed(const std::string& what, const std::string& why) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    lastFailure_ = std::chrono::steady_clock::now();
    if (short_) return;
    short_ = true;
    since_ = lastFailure_;
  }
  write_log("ERR", "kivo can't start " + what + " for lack of resources: " + why +
                       ": its trap waits and is tried again");
}

void ResourceShortage::succeeded() {
  std::chrono::steady_clock::duration length;
  {
    const std::chrono::seconds kQuiet{5};
    std::lock_guard<std::mutex> hold(mutex_);
    if (!short_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - lastFailure_ < kQuiet) return;
    short_ = false;
    length = now - since_;
  }
  long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(length).count());
  write_log("INFO", "programs start again after " + std::to_string(seconds) + " s");
}

bool ResourceShortage::pause(const StopNotice& stop) {
  if (stop.begun()) return false;
  pollfd watched = {stop.fd(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&watched, stop.fd() >= 0 ? 1 : 0, static_cast<int>(pause_.count()));
  } while (ready < 0 && errno == EINTR);
  return !stop.begun();
}

}  // namespace kivo
