#include "support/childProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivo {

int Pipe::open() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
  read_.reset(ends[0]);
  write_.reset(ends[1]);
  return 0;
}

namespace {

// The spawn settings, released on every way out.
class SpawnSettings {
 public:
  SpawnSettings() {
    error_ = ::posix_spawn_file_actions_init(&actions_);
    if (error_ == 0) actionsMade_ = true;
    if (error_ == 0) error_ = ::posix_spawnattr_init(&attributes_);
    if (error_ == 0) attributesMade_ = true;
  }
  ~SpawnSettings() {
    if (actionsMade_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attributesMade_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // A group of its own, no blocked signals, and the default action for
  // the signals that end it, whatever the daemon itself was given; input
  // from /dev/null; output, when given, onto descriptor 1.
  int prepare(int output) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (error_ == 0) error_ = ::posix_spawnattr_setflags(&attributes_, flags);
    if (error_ == 0) error_ = ::posix_spawnattr_setpgroup(&attributes_, 0);
    if (error_ == 0) error_ = ::posix_spawnattr_setsigmask(&attributes_, &none);
    if (error_ == 0) error_ = ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    if (error_ == 0) {
      error_ = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    // dup2 onto the descriptor itself clears its close-on-exec flag too.
    if (error_ == 0 && output >= 0) {
      error_ = ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO);
    }
    return error_;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  int error_ = 0;
  bool actionsMade_ = false;
  bool attributesMade_ = false;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

ChildProcess::SpawnResult ChildProcess::spawn(const ArgumentVector& arguments, int output,
                                              int* error) {
  SpawnSettings settings;
  *error = settings.prepare(output);
  if (*error != 0) return kNoProcess;
  pid_t pid = -1;
  *error = ::posix_spawn(&pid, arguments.program(), settings.actions(), settings.attributes(),
                         arguments.argv(), environ);
  if (*error != 0) {
    // The process fails to come with EAGAIN or ENOMEM; the child's own steps
    // (opening /dev/null, exec) fail with their error, after which
    // posix_spawn has reaped the process. Descriptors or memory running
    // short there is no fault of the program.
    return lacksResources(*error) ? kNoProcess : kProgramFailed;
  }
  pid_ = pid;
  // The child cannot have been reaped yet, so the descriptor is surely its.
  // Called through syscall: this C library's header declares pidfd_open
  // without C linkage. A pidfd is always close-on-exec. Without one (the
  // descriptors ran out just now) the program still runs: killing it would
  // cost a second run of what it has begun.
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  return kStarted;
}

void ChildProcess::signalGroup(int signal) {
  if (pid_ > 0) ::killpg(pid_, signal);
}

bool ChildProcess::ended() {
  if (pid_ <= 0) return true;
  siginfo_t info = {};
  int result;
  do {
    result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (result < 0 && errno == EINTR);
  return result != 0 || info.si_pid == pid_;
}

bool ChildProcess::stopped() {
  if (pid_ <= 0) return false;
  siginfo_t info = {};
  int result;
  do {
    result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WNOHANG | WNOWAIT);
  } while (result < 0 && errno == EINTR);
  return result == 0 && info.si_pid == pid_ && info.si_code == CLD_STOPPED;
}

int ChildProcess::wait(int* status, int options) {
  if (pid_ <= 0) return ECHILD;
  pid_t got;
  do {
    got = ::waitpid(pid_, status, options);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    int error = errno;
    // ECHILD: the child was reaped behind our back (SIGCHLD ignored). Its
    // pid may be reused, so it must never be signalled again.
    if (error == ECHILD) forget();
    return error;
  }
  if (got == 0) return -1;
  if (WIFEXITED(*status) || WIFSIGNALED(*status)) forget();
  return 0;
}

void ChildProcess::killAndReap() {
  if (pid_ <= 0) return;
  // An unreaped child keeps its pid even after it has ended, so the signal
  // reaches no other group; SIGKILL also ends a stopped child.
  ::killpg(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  forget();
}

void ChildProcess::forget() {
  pid_ = -1;
  pidfd_.reset();
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

}  // namespace kivo
