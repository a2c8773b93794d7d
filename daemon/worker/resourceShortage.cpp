#include "daemon/worker/resourceShortage.h"

#include <errno.h>
#include <poll.h>

#include "daemon/base/systemLog.h"
#include "support/stopNotice.h"

namespace kivo {

void ResourceShortage::failed(const std::string& what, const std::string& why) {
  Episode::Line line;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    line = episode_.failed();
  }
  if (line.kind != Episode::Line::kBegins) return;
  write_log("ERR", "kivo can't start " + what + " for lack of resources: " + why +
                       ": its trap waits and is tried again");
}

void ResourceShortage::succeeded() {
  Episode::Line line;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    line = episode_.succeeded();
  }
  if (line.kind != Episode::Line::kEnds) return;
  long seconds =
      static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(line.length).count());
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
