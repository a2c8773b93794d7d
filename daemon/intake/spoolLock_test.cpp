#include "daemon/intake/spoolLock.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "testing/tempDir.h"

namespace kivo {

TEST(SpoolLockThreadTest, OneClaimPerDirectoryTakenOnceReleasedWithinThePatience) {
  TempDir dir;
  auto first = std::make_unique<SpoolLock>();
  ASSERT_EQ(first->acquire(dir.path()), SpoolLock::kHeld);
  EXPECT_EQ(first->acquire(dir.path(), std::chrono::milliseconds(0)), SpoolLock::kHeld);
  SpoolLock second;
  EXPECT_EQ(second.acquire(dir.path(), std::chrono::milliseconds(0)), SpoolLock::kTaken);
  auto waiting = std::async(std::launch::async,
                            [&] { return second.acquire(dir.path(), std::chrono::seconds(10)); });
  first.reset();
  EXPECT_EQ(waiting.get(), SpoolLock::kHeld);
  SpoolLock missing;
  EXPECT_EQ(missing.acquire(dir.file("absent")), SpoolLock::kUnavailable);
}

}  // namespace kivo
