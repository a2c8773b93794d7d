// A thread that runs one task again and again, a fixed interval after the
// end of its last run, until the holder goes.
//
// The holder owns the thread: the constructor starts it, the destructor ends
// the wait at once, lets a run in progress finish and joins it. The task
// runs on that thread only; what it shares with other threads it guards
// itself. The first run comes one interval after the start.
#ifndef KIVO_SUPPORT_PERIODICTHREAD_H
#define KIVO_SUPPORT_PERIODICTHREAD_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kivo {

class PeriodicThread {
 public:
  // name (at most 15 characters) is the thread's name in ps -L and top.
  PeriodicThread(std::string name, std::chrono::milliseconds interval, std::function<void()> task);
  ~PeriodicThread();
  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

 private:
  void run();

  const std::string name_;
  const std::chrono::milliseconds interval_;
  const std::function<void()> task_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kivo

#endif
