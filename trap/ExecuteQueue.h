// A blocking first-in first-out queue between one producer and any number of
// consumers, with a shutdown flag that consumers wait on together with the
// elements.
//
// All members are guarded by the queue's mutex; every operation holds it for
// its whole length. The shutdown path changes the flag between lock() and
// unlock() and then calls broadcast(), so a consumer in waitNotEmptyOrDie
// either sees the flag or is woken by the broadcast. Elements are held and
// handed out by value.
#ifndef KIVO_TRAP_EXECUTEQUEUE_H
#define KIVO_TRAP_EXECUTEQUEUE_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>

#include "support/exceptions.h"

template <class T>
class ExecuteQueue {
 public:
  ExecuteQueue() = default;
  virtual ~ExecuteQueue() = default;
  ExecuteQueue(const ExecuteQueue&) = delete;
  ExecuteQueue& operator=(const ExecuteQueue&) = delete;

  // Appends a copy of e and wakes at most one waiting consumer.
  void push(T const& e) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      elements.push(e);
    }
    condition.notify_one();
  }

  bool empty() {
    std::lock_guard<std::mutex> hold(mutex);
    return elements.empty();
  }

  size_t size() {
    std::lock_guard<std::mutex> hold(mutex);
    return elements.size();
  }

  // The front element, removed. Throws EmptyQueueException "queue is empty"
  // when another consumer took the last one first.
  T pop() {
    std::lock_guard<std::mutex> hold(mutex);
    if (elements.empty()) throw EmptyQueueException("queue is empty");
    T front = elements.front();
    elements.pop();
    return front;
  }

  // Returns once the queue holds an element or *die is non-zero.
  void waitNotEmptyOrDie(const std::atomic<int>* die) {
    std::unique_lock<std::mutex> hold(mutex);
    condition.wait(hold, [&] { return !elements.empty() || die->load() != 0; });
  }

  // For the shutdown path, which changes the flag under the queue's mutex.
  void lock() { mutex.lock(); }
  void unlock() { mutex.unlock(); }
  // Wakes every waiting consumer.
  void broadcast() { condition.notify_all(); }

 private:
  std::mutex mutex;
  std::condition_variable condition;
  std::queue<T, std::deque<T>> elements;
};

#endif
