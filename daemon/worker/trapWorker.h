// The worker threads: each takes traps off fifo_trap one at a time, logs
// them, runs the matching service's plug-in, records the result and runs the
// alerting program when the result calls for it.
//
// Workers share fifo_trap, map_service_trap, pgSQL and the logs, each
// guarded by its own lock; each works on its own copies of the trap and the
// service. A worker ends after the trap at hand once die_kivo is set.
#ifndef KIVO_DAEMON_WORKER_TRAPWORKER_H
#define KIVO_DAEMON_WORKER_TRAPWORKER_H

#include "daemon/worker/workerParts.h"
#include "services/service.h"
#include "trap/snmpTrap.h"

// The body of a worker thread (kivo::TrapHandler does the work for each
// record, with kivo::workerParts()); returns when die_kivo is set.
void* thread_treat_trap(void*);

namespace kivo {

// Starts count workers into vec_thread, working with the parts in use
// (WorkerPartsInUse), which must stay in use until they have been joined. A
// thread that cannot be created is reported; the daemon goes on with those
// that started. Returns how many run.
int startWorkers(int count);

// Joins every worker and empties vec_thread; the stop (kivo::Stop) must have
// been said: each worker then finishes the trap at hand. Traps still queued
// stay in fifo_trap.
void joinWorkers();

}  // namespace kivo

#endif
