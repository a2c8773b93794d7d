// SIGTERM, SIGINT and SIGHUP, carried out of signal context.
//
// Handler only records the signal: it writes one byte to a pipe. A thread
// owned by TermSignal reads the pipe and acts on it. SIGTERM and SIGINT
// stop the daemon: the system log line " stop kivoTrapD... SIGTERM",
// die_kivo set to 1 under the queue's mutex, a broadcast to the workers, and
// the end of the main thread's pause. SIGHUP runs the hang-up action given
// to install() (main reopens the system log and asks for a reload of the
// services) and never stops anything.
// Doing this in the handler itself could deadlock on a lock that the
// interrupted thread holds.
#ifndef KIVO_DAEMON_TERMSIGNAL_H
#define KIVO_DAEMON_TERMSIGNAL_H

#include <time.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// The handler of the three signals: records the signal and returns.
void Handler(int);

namespace kivo {

class TermSignal {
 public:
  TermSignal();
  // Stops and joins the signal thread; a later SIGTERM is only recorded.
  ~TermSignal();
  TermSignal(const TermSignal&) = delete;
  TermSignal& operator=(const TermSignal&) = delete;

  // Installs Handler for SIGTERM, SIGINT and SIGHUP (empty mask, no flags)
  // and starts the signal thread, which runs hangUp (when set) for every
  // SIGHUP. False when sigaction fails.
  bool install(std::function<void()> hangUp = nullptr);

  // Sleeps for pause, or until the stop has been carried out.
  void pause(const timespec& length);

  // The three effects of SIGTERM, in their order. Public for the signal
  // thread and for tests.
  void stop();

 private:
  void run();

  std::function<void()> hangUp_;
  std::thread thread_;
  std::mutex pauseMutex_;
  std::condition_variable pauseCondition_;
};

}  // namespace kivo

#endif
