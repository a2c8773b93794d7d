#include "support/periodicThread.h"

#include <pthread.h>

namespace kivo {

PeriodicThread::PeriodicThread(std::string name, std::chrono::milliseconds interval,
                               std::function<void()> task)
    : name_(std::move(name)), interval_(interval), task_(std::move(task)) {
  // Last: run() reads the members above.
  thread_ = std::thread(&PeriodicThread::run, this);
}

PeriodicThread::~PeriodicThread() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  thread_.join();
}

void PeriodicThread::run() {
  ::pthread_setname_np(::pthread_self(), name_.c_str());
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    if (stopped_.wait_for(hold, interval_, [this] { return stop_; })) return;
    hold.unlock();
    task_();
    hold.lock();
  }
}

}  // namespace kivo
