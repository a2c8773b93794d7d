#include "support/connectionPool.h"

namespace kivo {

namespace {

thread_local pgSafeThread* leased = nullptr;

}  // namespace

pgSafeThread& currentConnection(pgSafeThread& fallback) {
  return leased != nullptr ? *leased : fallback;
}

void ConnectionPool::grow(pgSafeThread& first, int count) {
  std::vector<std::unique_ptr<pgSafeThread>> others;
  for (int i = 1; i < count; ++i) {
    others.emplace_back(new pgSafeThread(first, pgSafeThread::kSharingOutage));
  }
  std::lock_guard<std::mutex> hold(mutex_);
  first_ = &first;
  others_ = std::move(others);
  free_.assign(1, first_);
  for (const auto& other : others_) free_.push_back(other.get());
}

void ConnectionPool::clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  free_.clear();
  others_.clear();
  first_ = nullptr;
}

size_t ConnectionPool::size() {
  std::lock_guard<std::mutex> hold(mutex_);
  return first_ == nullptr ? 0 : others_.size() + 1;
}

std::unique_ptr<ConnectionPool::Lease> ConnectionPool::lease() {
  std::unique_lock<std::mutex> hold(mutex_);
  // A lease holds a transaction, so even a single connection is held by
  // one worker at a time.
  if (first_ == nullptr) {
    return std::unique_ptr<Lease>(new Lease(*this, nullptr));
  }
  freed_.wait(hold, [this] { return !free_.empty(); });
  pgSafeThread* connection = free_.back();
  free_.pop_back();
  return std::unique_ptr<Lease>(new Lease(*this, connection));
}

void ConnectionPool::giveBack(pgSafeThread* connection) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    free_.push_back(connection);
  }
  freed_.notify_one();
}

ConnectionPool::Lease::Lease(ConnectionPool& pool, pgSafeThread* connection)
    : pool_(pool), connection_(connection), previous_(leased) {
  if (connection_ != nullptr) leased = connection_;
}

ConnectionPool::Lease::~Lease() {
  if (connection_ == nullptr) return;
  leased = previous_;
  pool_.giveBack(connection_);
}

}  // namespace kivo
