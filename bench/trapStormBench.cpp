// The sender and stopwatch of bench/storm.sh and bench/storm-installed.sh.
//
//   kivo-bench-trap-storm send PORT RATE COUNT TAG LOG LIMIT SPOOL [SOURCES]
//       sends COUNT SNMPv2c traps (community public, trap OID
//       .1.3.6.1.4.1.99.0.1) at RATE a second to udp:127.0.0.1:PORT,
//       BER-encoded here: one process keeps any rate that the machine can.
//       Without SOURCES they all come from 127.0.0.1; with SOURCES, trap i
//       comes from device i % SOURCES, whose address is sourceAddress() below
//       (127.10.0.1, 127.10.0.2, ...), one bound socket each.
//   kivo-bench-trap-storm repeat PORT RATE COUNT TAG LOG LIMIT SPOOL [SOURCES]
//       the same, but every trap is one critical trap with the text TAG,
//       the same but for its uptime: a flapping device.
//   kivo-bench-trap-storm files SPOOL INTERVAL_MS COUNT TAG LOG LIMIT
//       puts COUNT trap files into SPOOL, one every INTERVAL_MS, each written
//       beside it first and renamed in.
//
// Each trap's second variable is "TAG-<number>-<send time in ns>", which the
// daemon's line for the start of its plug-in (the system log LOG, "#EXEC#"
// and the command line) repeats. The main thread follows LOG and takes the
// time at which each such line appears, and watches SPOOL: every name
// "trap-..." that appears there is a trap that reached the spool, and the
// spool has drained when every one is gone again. Both modes wait, after the
// last trap was sent, until the spool has drained and no file has arrived
// for 2 s, or LIMIT seconds have passed. A trap that never reached the spool
// is lost (dropped before it, by the kernel or snmptrapd); one still in the
// spool at the end is left. They print one line: "<sent> <reached the
// spool> <handled> <lost> <median ms> <99th percentile ms> <drain>
// <spooled>", where drain is the seconds from the last trap sent to the
// spool's emptying, or "left=N" when N files were still there at the end, and
// spooled the seconds from the last trap sent to the last file's arrival in
// the spool (how far the receiver lagged behind).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/posixIo.h"

using kivo::FileDescriptor;
using kivo::writeAll;

namespace {

long long nowNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// BER: a tag with its length and content.
std::string tlv(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  size_t length = content.size();
  if (length < 0x80) {
    out += static_cast<char>(length);
  } else if (length < 0x100) {
    out += '\x81';
    out += static_cast<char>(length);
  } else {
    out += '\x82';
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(length & 0xff);
  }
  return out + content;
}

std::string berInteger(unsigned char tag, long long value) {
  std::string bytes;
  for (;;) {
    bytes.insert(bytes.begin(), static_cast<char>(value & 0xff));
    long long rest = value >> 8;
    bool signClear = (value & 0x80) == 0;
    if ((rest == 0 && signClear) || (rest == -1 && !signClear)) break;
    value = rest;
  }
  return tlv(tag, bytes);
}

// A numeric OID without its leading dot, "1.3.6.1...".
std::string berOid(const std::string& text) {
  std::vector<unsigned long> arcs;
  for (const char* p = text.c_str(); *p != '\0';) {
    char* end = nullptr;
    arcs.push_back(strtoul(p, &end, 10));
    p = *end == '.' ? end + 1 : end;
  }
  std::string content(1, static_cast<char>(arcs[0] * 40 + arcs[1]));
  for (size_t i = 2; i < arcs.size(); ++i) {
    std::string arc(1, static_cast<char>(arcs[i] & 0x7f));
    for (unsigned long rest = arcs[i] >> 7; rest != 0; rest >>= 7) {
      arc.insert(arc.begin(), static_cast<char>(0x80 | (rest & 0x7f)));
    }
    content += arc;
  }
  return tlv(0x06, content);
}

std::string varbind(const std::string& oid, const std::string& value) {
  return tlv(0x30, berOid(oid) + value);
}

// One SNMPv2-Trap message: uptime, trap OID, state, message text.
std::string trapMessage(long long requestId, const std::string& text, long long uptime = 12345,
                        int state = 0) {
  std::string variables = varbind("1.3.6.1.2.1.1.3.0", berInteger(0x43, uptime)) +
                          varbind("1.3.6.1.6.3.1.1.4.1.0", berOid("1.3.6.1.4.1.99.0.1")) +
                          varbind("1.3.6.1.4.1.99.1", berInteger(0x02, state)) +
                          varbind("1.3.6.1.4.1.99.2", tlv(0x04, text));
  std::string pdu = berInteger(0x02, requestId) + berInteger(0x02, 0) + berInteger(0x02, 0) +
                    tlv(0x30, variables);
  return tlv(0x30, berInteger(0x02, 1) + tlv(0x04, "public") + tlv(0xa7, pdu));
}

std::string trapText(const std::string& tag, long number) {
  return tag + "-" + std::to_string(number) + "-" + std::to_string(nowNanoseconds());
}

// Device number's source address: 127.10.0.1 to 127.10.0.200, then
// 127.10.1.1 and so on; bench/storm-installed.sh stores the same addresses.
in_addr sourceAddress(long device) {
  in_addr address;
  address.s_addr = htonl((127u << 24) | (10u << 16) | (static_cast<uint32_t>(device / 200) << 8) |
                         static_cast<uint32_t>(device % 200 + 1));
  return address;
}

// Sleeps until the given time on the monotonic clock.
void sleepUntil(const timespec& start, long long offsetNanoseconds) {
  timespec at = start;
  long long ns = at.tv_nsec + offsetNanoseconds;
  at.tv_sec += ns / 1000000000LL;
  at.tv_nsec = ns % 1000000000LL;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// Follows the daemon's log from its present end and notes, for each plug-in
// line of this run, the time between sending and seeing it; watches the
// spool for trap files arriving and leaving. Used by the main thread only.
class Watch {
 public:
  Watch(const std::string& log, const std::string& spool, const std::string& tag)
      : marker_("\"" + tag + "-"), file_(::open(log.c_str(), O_RDONLY | O_CLOEXEC)),
        notify_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (!file_.valid() || !notify_.valid()) {
      perror(log.c_str());
      exit(1);
    }
    logWatch_ = inotify_add_watch(notify_.get(), log.c_str(), IN_MODIFY);
    spoolWatch_ = inotify_add_watch(notify_.get(), spool.c_str(),
                                    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM);
    if (logWatch_ < 0 || spoolWatch_ < 0) {
      perror("inotify");
      exit(1);
    }
    lseek(file_.get(), 0, SEEK_END);
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // Reads until, once lastSent is set (it is 0 while sending goes on), the
  // spool has drained and nothing arrived for kQuiet, or limitSeconds have
  // passed since lastSent.
  void run(const std::atomic<long long>& lastSent, int limitSeconds) {
    const long long kQuiet = 2000000000LL;
    for (;;) {
      long long last = lastSent.load();
      long long now = nowNanoseconds();
      if (last != 0 && (now - last > limitSeconds * 1000000000LL ||
                        (inSpool_ <= 0 && now - std::max(last, lastArrival_) > kQuiet))) {
        break;
      }
      pollfd wait = {notify_.get(), POLLIN, 0};
      if (poll(&wait, 1, 100) > 0) readEvents();
      readLines();
    }
    readLines();
  }

  long handled() const { return static_cast<long>(latencies_.size()); }
  long reached() const { return reached_; }
  long inSpool() const { return inSpool_; }
  // When the last trap file left the spool (0: none did).
  long long lastDeparture() const { return lastDeparture_; }
  // When the last trap file arrived in the spool (0: none did).
  long long lastArrival() const { return lastArrival_; }
  bool overflowed() const { return overflowed_; }
  const std::vector<double>& latencies() const { return latencies_; }

 private:
  void readEvents() {
    alignas(inotify_event) char events[65536];
    ssize_t count;
    while ((count = read(notify_.get(), events, sizeof events)) > 0) {
      long long at = nowNanoseconds();
      for (char* p = events; p < events + count;) {
        const inotify_event* event = reinterpret_cast<const inotify_event*>(p);
        p += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) overflowed_ = true;
        if (event->wd != spoolWatch_ || event->len == 0 || strncmp(event->name, "trap-", 5) != 0) {
          continue;
        }
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          ++reached_;
          ++inSpool_;
          lastArrival_ = at;
        } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
          --inSpool_;
          lastDeparture_ = at;
        }
      }
    }
  }

  void readLines() {
    char buffer[65536];
    ssize_t count;
    while ((count = read(file_.get(), buffer, sizeof buffer)) > 0) {
      long long seenAt = nowNanoseconds();
      pending_.append(buffer, static_cast<size_t>(count));
      size_t start = 0;
      for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        takeLine(pending_.substr(start, end - start), seenAt);
      }
      pending_.erase(0, start);
    }
  }

  void takeLine(const std::string& line, long long seenAt) {
    if (line.find("#EXEC#") == std::string::npos) return;
    size_t at = line.find(marker_);
    if (at == std::string::npos) return;
    size_t dash = line.find('-', at + marker_.size());
    if (dash == std::string::npos) return;
    long long sent = atoll(line.c_str() + dash + 1);
    latencies_.push_back((seenAt - sent) / 1e6);
  }

  std::string marker_;
  FileDescriptor file_;
  FileDescriptor notify_;
  int logWatch_ = -1;
  int spoolWatch_ = -1;
  std::string pending_;
  long reached_ = 0;
  long inSpool_ = 0;
  long long lastArrival_ = 0;
  long long lastDeparture_ = 0;
  bool overflowed_ = false;
  std::vector<double> latencies_;
};

// One socket per source, connected to the receiver: 127.0.0.1 alone, or the
// devices' addresses. Exits when the system refuses one.
std::vector<FileDescriptor> senderSockets(int port, long sources) {
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  std::vector<FileDescriptor> sockets;
  for (long i = 0; i < std::max(sources, 1L); ++i) {
    FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr = sources > 0 ? sourceAddress(i) : to.sin_addr;
    if (!socket.valid() || bind(socket.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(socket.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      perror("socket");
      exit(1);
    }
    sockets.push_back(std::move(socket));
  }
  return sockets;
}

// With repeat, every trap is the same critical one but for its uptime: a
// flapping device.
void sendTraps(const std::vector<FileDescriptor>& sockets, double rate, long count,
               const std::string& tag, bool repeat, std::atomic<long long>* lastSent, long* sent) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long i = 0; i < count; ++i) {
    sleepUntil(start, static_cast<long long>(i * 1e9 / rate));
    std::string message =
        repeat ? trapMessage(i + 1, tag, 100 + i, 2) : trapMessage(i + 1, trapText(tag, i));
    int socket = sockets[static_cast<size_t>(i) % sockets.size()].get();
    if (send(socket, message.data(), message.size(), 0) == static_cast<ssize_t>(message.size())) {
      ++*sent;
    }
  }
  lastSent->store(nowNanoseconds());
}

void writeTrapFiles(const std::string& spool, long intervalMs, long count, const std::string& tag,
                    std::atomic<long long>* lastSent, long* sent) {
  std::string staging = spool + "/../.bench-staging";
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long i = 0; i < count; ++i) {
    sleepUntil(start, i * intervalMs * 1000000LL);
    std::string content =
        "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.2.1.1.3.0 0:0:01:02.03\n"
        ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n.1.3.6.1.4.1.99.1 0\n"
        ".1.3.6.1.4.1.99.2 \"" + trapText(tag, i) + "\"\ndate 2026-12-07 10:00:00\n";
    char name[64];
    snprintf(name, sizeof name, "/trap-%019lld-bench-%ld", nowNanoseconds(), i);
    FileDescriptor file(::open(staging.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.valid() || writeAll(file.get(), content) != 0 ||
        rename(staging.c_str(), (spool + name).c_str()) != 0) {
      perror(spool.c_str());
      exit(1);
    }
    ++*sent;
  }
  lastSent->store(nowNanoseconds());
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

int usage(const char* program) {
  fprintf(stderr,
          "usage: %s send|repeat PORT RATE COUNT TAG LOG LIMIT SPOOL [SOURCES]\n"
          "       %s files SPOOL INTERVAL_MS COUNT TAG LOG LIMIT\n",
          program, program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) return usage(argv[0]);
  std::string mode = argv[1];
  long count = atol(argv[4]);
  std::string tag = argv[5];
  int limit = atoi(argv[7]);
  bool repeat = mode == "repeat";
  bool send = (mode == "send" || repeat) && (argc == 9 || argc == 10);
  bool files = mode == "files" && argc == 8;
  if ((!send && !files) || count < 1 || limit < 1) return usage(argv[0]);
  std::string spool = send ? argv[8] : argv[2];
  long sources = argc == 10 ? atol(argv[9]) : 0;

  Watch watch(argv[6], spool, tag);
  std::vector<FileDescriptor> sockets;
  if (send) sockets = senderSockets(atoi(argv[2]), sources);
  std::atomic<long long> lastSent{0};
  long sent = 0;
  std::thread sender([&] {
    if (send) {
      sendTraps(sockets, atof(argv[3]), count, tag, repeat, &lastSent, &sent);
    } else {
      writeTrapFiles(argv[2], atol(argv[3]), count, tag, &lastSent, &sent);
    }
  });
  watch.run(lastSent, limit);
  sender.join();
  if (watch.overflowed()) fprintf(stderr, "inotify queue overflowed: counts are low\n");
  std::vector<double> latencies = watch.latencies();
  char drain[32];
  if (watch.inSpool() > 0) {
    snprintf(drain, sizeof drain, "left=%ld", watch.inSpool());
  } else {
    long long last = std::max(watch.lastDeparture(), lastSent.load());
    snprintf(drain, sizeof drain, "%.1f", (last - lastSent.load()) / 1e9);
  }
  double spooled = std::max(0LL, watch.lastArrival() - lastSent.load()) / 1e9;
  printf("%ld %ld %ld %ld %.1f %.1f %s %.1f\n", sent, watch.reached(), watch.handled(),
         sent - watch.reached(), percentile(latencies, 0.5), percentile(latencies, 0.99), drain,
         spooled);
  return 0;
}
