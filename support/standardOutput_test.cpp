#include "support/standardOutput.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace kivo {

TEST(StandardOutput, DiscardedWhileTheHolderLivesThenBackOnDescriptorOne) {
  {
    DiscardedStandardOutput quiet;
    EXPECT_NE(standardOutputDescriptor(), STDOUT_FILENO);
  }
  EXPECT_EQ(standardOutputDescriptor(), STDOUT_FILENO);
}

}  // namespace kivo
