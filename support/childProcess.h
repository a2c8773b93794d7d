// Holders for running a program as a child process: the pipe that carries its
// output, the child itself, and a message buffer the child can use between
// fork and exec.
//
// Pipe and ChildProcess own what they hold and release it on every way out
// of their scope, exceptions included, so no descriptor leaks into another
// worker's child and no child is left unreaped. Each holder belongs to the
// one thread that made it; different threads use different holders.
//
// Between fork and exec a child of a threaded process may only make
// async-signal-safe calls: another thread may have held the allocator's or
// stdio's lock at the moment of the fork. Everything the child needs is
// therefore built before the fork, and ChildMessage is the child's only way
// to compose a message.
#ifndef KIVO_SUPPORT_CHILDPROCESS_H
#define KIVO_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/posixIo.h"

// Both ends of one pipe, each close-on-exec, so that a program started by
// another thread at the same moment never inherits them; dup2 onto a
// standard descriptor makes the copy that a child is meant to keep.
class Pipe {
 public:
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Makes the pipe. Returns false with errno set when the system refuses.
  bool open();

  FileDescriptor& readEnd() { return read_; }
  FileDescriptor& writeEnd() { return write_; }

 private:
  FileDescriptor read_;
  FileDescriptor write_;
};

// One child process of this process, from fork until it is reaped.
//
// While it holds a child that has not been reaped, the destructor kills it
// with SIGKILL and reaps it. Once a wait has reported that the child ended,
// or that it no longer exists as a child of this process, the holder lets it
// go and does nothing more.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { killAndReap(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // fork(2). Returns 0 in the new child, the child's process id in the
  // parent, whose holder now owns the child, and -1 with errno set when no
  // child could be made. The holder must be empty.
  pid_t fork();

  // The child's process id; -1 when none is held.
  pid_t pid() const { return pid_; }

  // waitpid(2) on the held child with options, retried after EINTR. Returns
  // true with *status filled when the child reported a change; false with
  // errno set when the wait failed, or with 0 under WNOHANG when nothing
  // changed yet.
  bool wait(int* status, int options);

  // Kills the held child, if it has not been reaped yet, and reaps it.
  void killAndReap();

 private:
  pid_t pid_ = -1;
};

// An argument vector for execv: copies of the program and its arguments,
// with the pointer array over them that ends with a null pointer. Build it
// before the fork; the child only reads it.
class ArgumentVector {
 public:
  ArgumentVector(const std::string& program, const std::vector<std::string>& arguments);
  ArgumentVector(const ArgumentVector&) = delete;
  ArgumentVector& operator=(const ArgumentVector&) = delete;

  const char* program() const { return strings_[0].c_str(); }
  char* const* argv() const { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// One message composed in a fixed buffer and written with one write(2) call,
// so that it reaches a shared log as one piece. Every member is
// async-signal-safe; text beyond the buffer is dropped.
class ChildMessage {
 public:
  ChildMessage() = default;

  ChildMessage& append(const char* text);
  // The system's text for error, as strerror gives it in the C locale.
  ChildMessage& appendErrorText(int error);
  // Writes the message to fd; short writes and EINTR are retried, other
  // failures ignored, since a child has nowhere else to report them.
  void writeTo(int fd) const;

 private:
  ChildMessage& appendNumber(int value);

  char buffer_[512];
  size_t size_ = 0;
};

#endif
