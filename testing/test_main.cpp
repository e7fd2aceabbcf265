// The main() of every unit-test executable: assertions throw instead of ending the process,
// and HOME points at a private temporary folder so no test touches the real user's files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/assert.h"
#include "testing/test_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  platform::SetAssertionHandler(&platform::ThrowingAssertionHandler);
  testing_support::TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  return RUN_ALL_TESTS();
}
