#include "daemon/termSignal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "daemon/base/systemLog.h"
#include "support/posixIo.h"

using kivo::readRetry;

namespace {

const char kTermByte = 'T';
const char kHangUpByte = 'H';
const char kQuitByte = 'Q';

// The pipe lives as long as the process: the handler may still run while
// main ends, and must never write to a descriptor that was closed and reused.
int signal_pipe[2] = {-1, -1};
std::atomic<pid_t> daemon_pid{0};

bool openSignalPipe() {
  if (signal_pipe[0] >= 0) return true;
  if (::pipe2(signal_pipe, O_CLOEXEC) != 0) return false;
  // A burst of signals must never block the handler.
  ::fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
  return true;
}

}  // namespace

void Handler(int number) {
  // A child between fork and exec still has this handler; its signal is not
  // the daemon's.
  if (::getpid() != daemon_pid.load()) return;
  int saved = errno;
  char byte = number == SIGHUP ? kHangUpByte : kTermByte;
  (void)!::write(signal_pipe[1], &byte, 1);
  errno = saved;
}

namespace kivo {

TermSignal::TermSignal() = default;

TermSignal::~TermSignal() {
  if (thread_.joinable()) {
    char byte = kQuitByte;
    (void)writeAll(signal_pipe[1], &byte, 1);
    thread_.join();
  }
}

bool TermSignal::install(std::function<void()> stop, std::function<void()> hangUp) {
  if (!openSignalPipe()) return false;
  stop_ = std::move(stop);
  hangUp_ = std::move(hangUp);
  daemon_pid.store(::getpid());
  struct sigaction action = {};
  action.sa_handler = Handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(number, &action, nullptr) != 0) return false;
  }
  thread_ = std::thread(&TermSignal::run, this);
  return true;
}

void TermSignal::run() {
  for (;;) {
    char byte;
    ssize_t got = readRetry(signal_pipe[0], &byte, 1);
    if (got <= 0 || byte == kQuitByte) return;
    if (byte == kHangUpByte) {
      if (hangUp_) hangUp_();
    } else {
      write_log("INFO", " stop kivoTrapD... SIGTERM");
      stop_();
    }
  }
}

}  // namespace kivo
