// The claim of one daemon on its spool directory, held for the daemon's
// life.
//
// Two daemons on one spool directory would take the same files. The claim is
// an exclusive flock(2) on the directory itself (not on a file inside it,
// which the intake would list as a trap); the kernel releases it when the
// process ends, however it ends. The descriptor is close-on-exec, so no
// plug-in keeps the claim; but a child that a killed daemon was starting
// holds it until it has run its program, so a claim that is taken is tried
// again for a moment before another daemon is blamed. The claim is on the
// directory at the path: once that directory was removed or moved away, the
// next acquire() lets it go and claims the one now there. Used by the main
// thread only.
#ifndef KIVO_DAEMON_INTAKE_SPOOLLOCK_H
#define KIVO_DAEMON_INTAKE_SPOOLLOCK_H

#include <chrono>
#include <string>

#include "support/posixIo.h"

namespace kivo {

class SpoolLock {
 public:
  enum Result {
    kHeld,         // this daemon holds the claim
    kTaken,        // another process holds it
    kUnavailable,  // the directory cannot be opened or locked (yet); the
                   // intake, which lists it, reports why
  };

  SpoolLock() = default;
  SpoolLock(const SpoolLock&) = delete;
  SpoolLock& operator=(const SpoolLock&) = delete;

  // Claims directory, trying again for up to patience while another
  // process holds it. Once held, further calls answer kHeld after one
  // stat(2), while the claimed directory is still the one at the path.
  Result acquire(const std::string& directory,
                 std::chrono::milliseconds patience = std::chrono::seconds(3));
  bool held() const { return directory_.valid(); }

 private:
  FileDescriptor directory_;
};

}  // namespace kivo

#endif
