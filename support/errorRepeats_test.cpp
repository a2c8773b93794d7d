#include "support/errorRepeats.h"

#include <gtest/gtest.h>

namespace kivo {

// When lines are due is Episode's rule (episode_test.cpp); here what makes an
// episode of its own, and the texts.
TEST(ErrorRepeats, OneEpisodePerStatementAndKind) {
  ErrorRepeats repeats;
  for (const char* kind : {"42501", "42703", "42501", "42703"}) repeats.failed("Insert", kind);
  EXPECT_TRUE(repeats.failed("Update", "42501").tell) << "another statement";
  const std::string counted = "database statement Insert failed 1 more times with the same error (";
  EXPECT_EQ(repeats.succeeded("Insert"), counted + "42501); " + counted + "42703)");
}

}  // namespace kivo
