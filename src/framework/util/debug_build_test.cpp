#include "framework/util/debug_build.h"

#include <gtest/gtest.h>

TEST(DebugBuildTest, TheInfoKeyOrABuildIDBeginningWithDEBUGMarksADebugBuild) {
  struct Case {
    Value info;
    const char* buildID;
    bool debug;
  } cases[] = {
      {Value::EmptyDictionary(), "1.0.0", false},
      {Value::EmptyDictionary(), "DEBUG-1.0", true},
      {Value::EmptyDictionary(), "debug-1.0", false},
      {Value{{"QPX Debug Build", Value(true)}}, "1.0.0", true},
      {Value{{"QPX Debug Build", Value(false)}}, "1.0.0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_IsDebugBuild(c.info, c.buildID), c.debug) << c.buildID;
}
