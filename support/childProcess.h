// Holders for running a program as a child process: the pipe that carries its
// output, the child itself and its argument vector.
//
// Pipe and ChildProcess own what they hold and release it on every way out
// of their scope, exceptions included, so no descriptor leaks into another
// worker's child and no child is left unreaped. Each holder belongs to the
// one thread that made it; different threads use different holders.
//
// Children are started with posix_spawn, not fork: the new process shares
// the daemon's memory until it has called exec, so starting a program costs
// the same however large the daemon has grown (with fork, every page of a
// queue swollen by a trap storm would be mapped again for each plug-in), and
// no code of the daemon runs in the child, where only async-signal-safe
// calls would be allowed.
//
// Each child leads a process group of its own, with standard input from
// /dev/null: whatever it starts in the background belongs to that group and
// ends with it when the group is killed, and nothing waits for input that
// will never come. The child's pid stays the group's id for as long as the
// child is not reaped, so signals to the group never reach a stranger.
#ifndef KIVO_SUPPORT_CHILDPROCESS_H
#define KIVO_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/posixIo.h"

namespace kivo {

// Both ends of one pipe, each close-on-exec, so that a program started by
// another thread at the same moment never inherits them; dup2 onto a
// standard descriptor makes the copy that a child is meant to keep.
class Pipe {
 public:
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Makes the pipe. Returns 0, or the error number when the system refuses.
  int open();

  FileDescriptor& readEnd() { return read_; }
  FileDescriptor& writeEnd() { return write_; }

 private:
  FileDescriptor read_;
  FileDescriptor write_;
};

class ArgumentVector;

// One child process of this process, from its start until it is reaped.
//
// While it holds a child that has not been reaped, the destructor kills its
// whole process group with SIGKILL and reaps the child. Once a wait has
// reported that the child ended, or that it no longer exists as a child of
// this process, the holder lets it go and does nothing more.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { killAndReap(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  enum SpawnResult {
    kStarted,        // the program runs; the holder owns its process
    kNoProcess,      // no process could be made, for lack of resources
                     // (processes, memory, descriptors) or otherwise
    kProgramFailed,  // the process could not run the program (exec
                     // failed: no such file, no permission...) and is gone
  };

  // Starts arguments.program() with arguments.argv() and the daemon's
  // environment, in a new process group, with standard input from
  // /dev/null. With output >= 0 that descriptor becomes the program's
  // standard output; every other descriptor is inherited as it is, those
  // marked close-on-exec excepted. The holder must be empty. Unless the
  // result is kStarted, *error gets why.
  SpawnResult spawn(const ArgumentVector& arguments, int output, int* error);

  // The child's process id, which is also its group's id; -1 when none is
  // held.
  pid_t pid() const { return pid_; }

  // A descriptor that becomes readable when the child has ended (it does not
  // for a stop); -1 when none is held, or when none could be had for a
  // started child (the descriptors ran out): ended() then tells.
  int endDescriptor() const { return pidfd_.get(); }

  // True when the child has ended (or cannot be waited for); reaps nothing
  // and leaves the report for a later wait.
  bool ended();

  // Sends signal to the child's whole process group, unless the child has
  // been reaped already.
  void signalGroup(int signal);

  // True when the child has been stopped by a signal; reaps nothing and
  // leaves the report for a later wait.
  bool stopped();

  // waitpid(2) on the held child with options, retried after EINTR. Returns
  // 0 with *status filled when the child reported a change, -1 under WNOHANG
  // when nothing changed yet, or the error number of a failed wait.
  int wait(int* status, int options);

  // Kills the held child's group, if the child has not been reaped yet, and
  // reaps the child.
  void killAndReap();

 private:
  void forget();

  pid_t pid_ = -1;
  FileDescriptor pidfd_;
};

// An argument vector for execv and getopt_long: copies of the program and
// its arguments, with the pointer array over them that ends with a null
// pointer.
class ArgumentVector {
 public:
  ArgumentVector(const std::string& program, const std::vector<std::string>& arguments);
  ArgumentVector(const ArgumentVector&) = delete;
  ArgumentVector& operator=(const ArgumentVector&) = delete;

  const char* program() const { return strings_[0].c_str(); }
  char* const* argv() const { return pointers_.data(); }
  int argc() const { return static_cast<int>(strings_.size()); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

}  // namespace kivo

#endif
