// The gate between the intake and the workers that keeps each service's
// traps in order: traps that match the same service are handled one at a
// time, in the order the intake took them.
//
// A trap's service is known by the sending device's address and the trap
// OID (the service map gives one service, or none, for each such pair), so
// the gate keys traps by that pair and needs no lookup. At most one trap of
// a key is in the queue or in a worker's hands at a time; the others wait in
// the key's backlog, in arrival order, and the worker that is done with a
// trap hands the next one of its key to the queue. Traps of other keys go
// on in parallel meanwhile. Waiting traps are admitted in the spool ledger,
// so they count in queue_max.
//
// The intake (and the fold windows' ticks) call offer(); workers call
// done() once for every trap they took off the queue. Any thread may call
// any member; the gate's mutex is taken before the queue's, never the other
// way round.
#ifndef KIVO_DAEMON_INTAKE_SERVICEGATE_H
#define KIVO_DAEMON_INTAKE_SERVICEGATE_H

#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "trap/ExecuteQueue.h"
#include "trap/snmpTrap.h"

namespace kivo {

class ServiceGate {
 public:
  explicit ServiceGate(ExecuteQueue<snmpTrap>& queue) : queue_(queue) {}
  ServiceGate(const ServiceGate&) = delete;
  ServiceGate& operator=(const ServiceGate&) = delete;

  // The key of the trap's service: its device address and trap OID.
  static std::string keyOf(const snmpTrap& trap);

  // Queues the trap, or keeps it in its key's backlog while a trap of the
  // same key is queued or in hand.
  void offer(const snmpTrap& trap);
  // A worker is done with a trap of key: the next one of the key, if any,
  // goes to the queue.
  void done(const std::string& key);

  // Traps waiting in backlogs (not in the queue, not in hand).
  size_t waiting();

 private:
  ExecuteQueue<snmpTrap>& queue_;
  std::mutex mutex_;
  // Keys with a trap in the queue or in hand, and their waiting traps.
  std::map<std::string, std::deque<snmpTrap>> busy_;
  size_t waiting_ = 0;
};

}  // namespace kivo

#endif
