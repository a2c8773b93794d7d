// One run of a program as a child process, bounded in time and in the
// output kept: the wait that the daemon's workers use for plug-ins and
// alerting programs.
//
// The run ends when the program has ended and its output pipe (when it has
// one) is closed; at its time limit; or at the stop's deadline (StopNotice).
// The wait watches the output pipe, the child's end (a pidfd) and the stop
// notice together in one poll, so it never sleeps in steps. A program whose
// time is up gets SIGTERM on its whole process group, then SIGKILL after
// killGrace; a group member that keeps the pipe open after the program has
// ended is given outputGrace, then its group goes the same way. Output
// beyond outputMax is read and dropped, so the program never blocks on a
// full pipe and the daemon's memory stays bounded.
//
// A ProgramRun belongs to the thread that made it; it owns its pipe and its
// child, and the child is reaped before wait() returns (or, on every other
// way out, by the ChildProcess holder).
#ifndef KIVO_SUPPORT_PROGRAMRUN_H
#define KIVO_SUPPORT_PROGRAMRUN_H

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>

#include "support/childProcess.h"

namespace kivo {

class StopNotice;

// What bounds one run.
struct RunLimits {
  // Seconds the program may run; 0 or less: no limit.
  int timeout = 0;
  // Bytes of output kept; the rest is read and dropped.
  size_t outputMax = std::numeric_limits<size_t>::max();
  // When set, a program still running at the stop's deadline is killed.
  const StopNotice* stop = nullptr;
  // After SIGTERM, how long the group has before SIGKILL.
  std::chrono::milliseconds killGrace{1000};
  // After the program's end, how long others may hold its output open.
  std::chrono::milliseconds outputGrace{1000};
};

class ProgramRun {
 public:
  enum End {
    kEnded,      // the program ended by itself: status() and output()
    kTimedOut,   // its time limit came first; it was killed
    kStopped,    // the stop's deadline came first; it was killed
    kWaitFailed  // it could not be reaped; error() says why
  };

  explicit ProgramRun(const RunLimits& limits) : limits_(limits) {}
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // Gives the program a pipe as its standard output, read by wait(). Call
  // before start(). Returns 0, or the error number when the system refuses.
  int captureOutput();

  // Starts the program (ChildProcess::spawn); *error says why when it did
  // not start.
  ChildProcess::SpawnResult start(const ArgumentVector& arguments, int* error);

  // Waits for the end of the run, as the class comment says, and reaps the
  // child. Only after start() said kStarted.
  End wait();

  // The wait status of an ended run: a program that was found stopped and
  // killed for it shows as killed by SIGKILL.
  int status() const { return status_; }
  // The first outputMax bytes that the program wrote.
  const std::string& output() const { return output_; }
  // The error number of kWaitFailed.
  int error() const { return error_; }

 private:
  using Clock = std::chrono::steady_clock;

  Clock::time_point nextDeadline() const;
  void noteStop();
  void noteDeadline(Clock::time_point now);
  void terminate(End why, Clock::time_point now);
  void pollOnce(Clock::time_point now);
  void readOutput();
  void noteProgramEnd(Clock::time_point now);

  RunLimits limits_;
  Pipe pipe_;
  ChildProcess child_;
  std::string output_;
  int status_ = 0;
  int error_ = 0;

  // The wait's state.
  End end_ = kEnded;
  bool programEnded_ = false;
  bool terminating_ = false;  // SIGTERM sent; SIGKILL follows
  bool killNow_ = false;      // found stopped: SIGKILL at once
  bool stopKnown_ = false;
  Clock::time_point runDeadline_ = Clock::time_point::max();
  Clock::time_point outputDeadline_ = Clock::time_point::max();
  Clock::time_point killDeadline_ = Clock::time_point::max();
  Clock::time_point stopDeadline_ = Clock::time_point::max();
};

}  // namespace kivo

#endif
