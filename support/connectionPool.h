// The daemon's connections to the database, several of them for a server a
// few milliseconds away, where one connection's round trips would set the
// pace whatever the number of workers.
//
// The first connection is the one made at start-up (pgSQL, not owned here);
// grow() makes the others like it (pgSafeThread's sharing constructor: the
// same statements prepared, one outage for all). A worker leases one
// connection for all the statements of one trap, so that a trap's record
// and the lookup of its id run on the connection that wrote them; the
// journal functions use the leased connection of their thread
// (currentConnection()). Every connection stays one statement at a time.
//
// Any thread may lease; grow() and clear() are for the main thread while no
// lease is held.
#ifndef KIVO_SUPPORT_CONNECTIONPOOL_H
#define KIVO_SUPPORT_CONNECTIONPOOL_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "support/pgSafeThread.h"

namespace kivo {

class ConnectionPool {
 public:
  ConnectionPool() = default;
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The pool holds first and count - 1 more. PostgresqlException when one
  // cannot be made; the pool then holds first alone.
  void grow(pgSafeThread& first, int count);
  // Forgets every connection (the first is not closed here).
  void clear();
  size_t size();

  // One connection, held until the lease goes; while it is held, this
  // thread's currentConnection() is that one. A lease is what a transaction
  // needs, so a single connection is leased like the others; threads that
  // use pgSQL without a lease must run nothing that a transaction would
  // mind (reads, and statements that may be lost with it).
  class Lease {
   public:
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();

   private:
    friend class ConnectionPool;
    Lease(ConnectionPool& pool, pgSafeThread* connection);
    ConnectionPool& pool_;
    pgSafeThread* connection_;
    pgSafeThread* previous_;
  };
  // Waits for a free connection. With no connection, holds none.
  std::unique_ptr<Lease> lease();

 private:
  void giveBack(pgSafeThread* connection);

  std::mutex mutex_;
  std::condition_variable freed_;
  pgSafeThread* first_ = nullptr;
  std::vector<std::unique_ptr<pgSafeThread>> others_;
  std::vector<pgSafeThread*> free_;
};

// The connection this thread has leased, or fallback.
pgSafeThread& currentConnection(pgSafeThread& fallback);

}  // namespace kivo

#endif
