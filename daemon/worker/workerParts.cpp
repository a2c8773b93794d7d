#include "daemon/worker/workerParts.h"

#include <atomic>

namespace kivo {

namespace {

std::atomic<const WorkerParts*> parts_in_use{nullptr};

}  // namespace

const WorkerParts* workerParts() { return parts_in_use.load(); }

WorkerPartsInUse::WorkerPartsInUse(const WorkerParts& parts) : parts_(parts) {
  parts_in_use.store(&parts_);
}

WorkerPartsInUse::~WorkerPartsInUse() { parts_in_use.store(nullptr); }

}  // namespace kivo
