// SIGTERM, SIGINT and SIGHUP, carried out of signal context.
//
// Handler only records the signal: it writes one byte to a pipe. A thread
// owned by TermSignal reads the pipe and acts on it. SIGTERM and SIGINT
// stop the daemon: the system log line " stop kivoTrapD... SIGTERM", then
// the stop action given to install() (the daemon's Stop::stop). SIGHUP runs
// the hang-up action (the daemon reopens the system log and asks for a
// reload of the services) and never stops anything.
// Doing this in the handler itself could deadlock on a lock that the
// interrupted thread holds.
#ifndef KIVO_DAEMON_TERMSIGNAL_H
#define KIVO_DAEMON_TERMSIGNAL_H

#include <functional>
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
  // and starts the signal thread, which runs stop for every SIGTERM and
  // SIGINT and hangUp (when set) for every SIGHUP. False when sigaction
  // fails.
  bool install(std::function<void()> stop, std::function<void()> hangUp = nullptr);

 private:
  void run();

  std::function<void()> stop_;
  std::function<void()> hangUp_;
  std::thread thread_;
};

}  // namespace kivo

#endif
