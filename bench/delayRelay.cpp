// The relay of bench/remote-db.sh: a database "a few milliseconds away" on
// this machine.
//
//   kivo-bench-delay-relay PORT SOCKET DELAY_US
//       listens on 127.0.0.1:PORT; each connection is relayed to the unix
//       socket SOCKET (a PostgreSQL server's), every chunk held DELAY_US
//       microseconds in each direction before it is passed on. Runs until
//       killed.
//
// Each direction of each connection has a reader that stamps what it reads
// and a writer that passes it on once its time has come, so a chunk's delay
// does not hold up the next one behind it, as on a network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "support/posixIo.h"

using kivo::FileDescriptor;
using kivo::readRetry;
using kivo::writeAll;

namespace {

using Clock = std::chrono::steady_clock;

// One direction: from one descriptor to another, delayed.
class Pump {
 public:
  Pump(int from, int to, std::chrono::microseconds delay) : from_(from), to_(to), delay_(delay) {}

  void run() {
    std::thread writer([this] { write(); });
    char buffer[65536];
    for (;;) {
      ssize_t got = readRetry(from_, buffer, sizeof buffer);
      std::lock_guard<std::mutex> hold(mutex_);
      if (got <= 0) {
        ended_ = true;
        changed_.notify_all();
        break;
      }
      chunks_.emplace_back(Clock::now() + delay_, std::string(buffer, static_cast<size_t>(got)));
      changed_.notify_all();
    }
    writer.join();
    ::shutdown(to_, SHUT_WR);
  }

 private:
  void write() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      changed_.wait(hold, [this] { return ended_ || !chunks_.empty(); });
      if (chunks_.empty()) return;
      auto due = chunks_.front().first;
      if (Clock::now() < due) {
        changed_.wait_until(hold, due);
        continue;
      }
      std::string data = std::move(chunks_.front().second);
      chunks_.pop_front();
      hold.unlock();
      bool written = writeAll(to_, data) == 0;
      hold.lock();
      if (!written) return;
    }
  }

  int from_;
  int to_;
  std::chrono::microseconds delay_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<Clock::time_point, std::string>> chunks_;
  bool ended_ = false;
};

void relay(int client, std::string socketPath, std::chrono::microseconds delay) {
  FileDescriptor near(client);
  FileDescriptor far(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  if (!far.valid() ||
      ::connect(far.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return;
  }
  Pump out(near.get(), far.get(), delay);
  Pump back(far.get(), near.get(), delay);
  std::thread returning([&back] { back.run(); });
  out.run();
  returning.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s PORT SOCKET DELAY_US\n", argv[0]);
    return 2;
  }
  FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 128) != 0) {
    perror("kivo-bench-delay-relay: listen");
    return 1;
  }
  std::chrono::microseconds delay(atol(argv[3]));
  for (;;) {
    int client = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::thread(relay, client, std::string(argv[2]), delay).detach();
  }
}
