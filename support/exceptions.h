// The daemon's failure types.
//
// Every failure travels as one of these, carrying a message that is built
// once, where the failure is known, and returned unchanged by what(): no
// prefix, no class name, no code. Callers catch the narrowest type and decide
// whether the failure is reported and survived or ends the daemon.
#ifndef KIVO_SUPPORT_EXCEPTIONS_H
#define KIVO_SUPPORT_EXCEPTIONS_H

#include <exception>
#include <string>
#include <utility>

namespace kivo {

// The one shape of every failure type: a message, returned by what().
template <class Tag>
class MessageException : public std::exception {
 public:
  explicit MessageException(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};

// Every failure of the database, of either kind below: for the callers to
// whom a refused statement and an unreachable server mean the same.
using DatabaseFailure = MessageException<struct DatabaseFailureTag>;

}  // namespace kivo

// A file or directory could not be opened, read or written.
using FileException = kivo::MessageException<struct FileExceptionTag>;
// A statement or the connection to the PostgreSQL server failed. sqlState is
// the server's SQLSTATE for the failure, "" when it gave none.
class PostgresqlException : public kivo::DatabaseFailure {
 public:
  explicit PostgresqlException(std::string text, std::string state = std::string())
      : kivo::DatabaseFailure(std::move(text)), sqlState(std::move(state)) {}

  std::string sqlState;
};
// A trap variable was asked for by a number the trap does not have.
using VariableNoFoundException = kivo::MessageException<struct VariableNoFoundTag>;
// Something was taken from an empty queue.
using EmptyQueueException = kivo::MessageException<struct EmptyQueueTag>;
// A plug-in could not be run or ended outside the plug-in convention.
using serviceException = kivo::MessageException<struct ServiceExceptionTag>;

namespace kivo {

// A statement gave up waiting for an unreachable server because the daemon
// is stopping, or would not wait for it at all (a reload's statements). Not a
// PostgresqlException on purpose: the handlers that report a failed statement
// and go on must let it through to the trap's caller.
class DatabaseUnavailableException : public DatabaseFailure {
 public:
  explicit DatabaseUnavailableException(std::string text) : DatabaseFailure(std::move(text)) {}
};
// A transaction was cut short by a passing failure (a lost connection, a
// deadlock, a lock not available, ...): its owner rolls it back and runs it
// again whole. Not a PostgresqlException, for the reason above.
class TransactionInterrupted : public DatabaseFailure {
 public:
  explicit TransactionInterrupted(std::string text) : DatabaseFailure(std::move(text)) {}
};

// The daemon's stop cut a program short: its trap is not done.
using StopException = MessageException<struct StopExceptionTag>;
// A program could not be started for lack of resources (descriptors,
// memory, processes): nothing is wrong with it, and it is tried again.
using ResourceShortageException = MessageException<struct ResourceShortageTag>;

}  // namespace kivo

#endif
