#include "support/childProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

bool Pipe::open() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  read_.reset(ends[0]);
  write_.reset(ends[1]);
  return true;
}

ChildProcess::SpawnResult ChildProcess::spawn(const ArgumentVector& arguments, int output) {
  posix_spawn_file_actions_t actions;
  int error = ::posix_spawn_file_actions_init(&actions);
  if (error != 0) {
    errno = error;
    return kNoProcess;
  }
  // dup2 onto the descriptor itself clears its close-on-exec flag too.
  if (output >= 0) error = ::posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  pid_t pid = -1;
  if (error == 0) {
    error = ::posix_spawn(&pid, arguments.program(), &actions, nullptr, arguments.argv(), environ);
  }
  ::posix_spawn_file_actions_destroy(&actions);
  if (error == 0) {
    pid_ = pid;
    return kStarted;
  }
  errno = error;
  // The process itself fails to come with EAGAIN; every other error is that
  // of exec, after which posix_spawn has reaped the process.
  return error == EAGAIN ? kNoProcess : kProgramFailed;
}

bool ChildProcess::wait(int* status, int options) {
  if (pid_ <= 0) {
    errno = ECHILD;
    return false;
  }
  pid_t got;
  do {
    got = ::waitpid(pid_, status, options);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    // ECHILD: the child was reaped behind our back (SIGCHLD ignored). Its
    // pid may be reused, so it must never be signalled again.
    if (errno == ECHILD) pid_ = -1;
    return false;
  }
  if (got == 0) {
    errno = 0;
    return false;
  }
  if (WIFEXITED(*status) || WIFSIGNALED(*status)) pid_ = -1;
  return true;
}

void ChildProcess::killAndReap() {
  if (pid_ <= 0) return;
  // An unreaped child keeps its pid even after it has ended, so the signal
  // reaches no other process; SIGKILL also ends a stopped child.
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

ArgumentVector::ArgumentVector(const std::string& program,
                               const std::vector<std::string>& arguments) {
  strings_.reserve(arguments.size() + 1);
  strings_.push_back(program);
  strings_.insert(strings_.end(), arguments.begin(), arguments.end());
  // The pointers are taken once every string is in place, so none moves.
  pointers_.reserve(strings_.size() + 1);
  for (std::string& text : strings_) pointers_.push_back(&text[0]);
  pointers_.push_back(nullptr);
}
