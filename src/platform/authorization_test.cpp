#include "platform/authorization.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

TEST(SimulatedAuthorization, NothingRunsWithoutConsent) {
  testing_support::TempDir dir;
  const std::string marker = dir / "ran";
  platform::SimulatedAuthorization refused(false, "");
  EXPECT_FALSE(refused.Obtain());
  EXPECT_EQ(refused.ExecuteWithPrivileges("/usr/bin/touch", {marker}), -1);
  EXPECT_FALSE(testing_support::FileExists(marker));

  platform::SimulatedAuthorization granted(true, "");
  // Not asked yet: nothing runs either.
  EXPECT_EQ(granted.ExecuteWithPrivileges("/usr/bin/touch", {marker}), -1);
  EXPECT_TRUE(granted.Obtain());
  EXPECT_EQ(granted.ExecuteWithPrivileges("/usr/bin/touch", {marker}), 0);
  EXPECT_TRUE(testing_support::FileExists(marker));
  EXPECT_EQ(granted.ExecuteWithPrivileges("/bin/sh", {"-c", "exit 3"}), 3);
  EXPECT_EQ(granted.ExecuteWithPrivileges("/no/such/program", {}), -1);
  EXPECT_EQ(granted.obtainCount(), 1);
}

}  // namespace
