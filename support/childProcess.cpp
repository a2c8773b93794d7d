#include "support/childProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

bool Pipe::open() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  read_.reset(ends[0]);
  write_.reset(ends[1]);
  return true;
}

pid_t ChildProcess::fork() {
  pid_t pid = ::fork();
  if (pid > 0) pid_ = pid;
  return pid;
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

ChildMessage& ChildMessage::append(const char* text) {
  while (*text != '\0' && size_ < sizeof buffer_) buffer_[size_++] = *text++;
  return *this;
}

ChildMessage& ChildMessage::appendErrorText(int error) {
  // strerrordesc_np reads a constant table: no locale, no allocation, no
  // lock, unlike strerror.
  const char* text = ::strerrordesc_np(error);
  if (text != nullptr) return append(text);
  return append("Unknown error ").appendNumber(error);
}

ChildMessage& ChildMessage::appendNumber(int value) {
  char digits[16];
  int count = 0;
  // Built from the negative side so that INT_MIN needs no special case.
  int rest = value < 0 ? value : -value;
  do {
    digits[count++] = static_cast<char>('0' - rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) append("-");
  while (count > 0 && size_ < sizeof buffer_) buffer_[size_++] = digits[--count];
  return *this;
}

void ChildMessage::writeTo(int fd) const { (void)writeAll(fd, buffer_, size_); }
