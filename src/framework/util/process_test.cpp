#include "framework/util/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "platform/assert.h"
#include "testing/test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::TempDir;

// File names a user or a modem's storage could hand us.
const char* const kHostileNames[] = {
    "My Modem Profile.plist",
    "it's \"quoted\".txt",
    "a;rm -rf x",
    "$(touch PWNED)",
    "`touch PWNED`",
    "line one\nline two",
    "back\\slash & pipe | <in> >out",
    "'",
    "",
    "-n",
};

TEST(Process, HostileFileNameArrivesAsOneArgument) {
  TempDir dir;
  for (const char* name : kHostileNames) {
    const std::string marker = dir / "PWNED";
    // printf repeats its format for every argument, so a split argument would show as
    // more than one bracketed part.
    const std::optional<std::string> output =
        QPX_Framework_RunCommand_Sync({"/usr/bin/printf", "[%s]", name});
    ASSERT_TRUE(output.has_value()) << name;
    EXPECT_EQ(*output, std::string("[") + name + "]");
    EXPECT_FALSE(FileExists(marker));
    EXPECT_FALSE(FileExists("PWNED"));
  }
}

TEST(Process, QuotedCommandLineMeansTheSameToAShell) {
  // What a log shows can be pasted into a shell: the shell reads each quoted argument back
  // as exactly the original text.
  for (const char* name : kHostileNames) {
    const std::string line = "printf '[%s]' " + QPX_Framework_QuoteArgument(name);
    const std::optional<std::string> output = QPX_Framework_RunCommand_Sync({"/bin/sh", "-c", line});
    ASSERT_TRUE(output.has_value()) << line;
    EXPECT_EQ(*output, std::string("[") + name + "]") << line;
  }
  EXPECT_EQ(QPX_Framework_CommandLineForDisplay({"/usr/bin/zip", "-r", "it's here.zip"}),
            "'/usr/bin/zip' '-r' 'it'\\''s here.zip'");
}

TEST(Process, FailuresGiveNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> argv;
  } const cases[] = {
      {"exit status 1 after printing", {"/bin/sh", "-c", "echo printed; exit 1"}},
      {"ended by a signal", {"/bin/sh", "-c", "echo printed; kill -TERM $$"}},
      {"program missing", {"/nonexistent/program"}},
      {"not in PATH", {"no-such-program-anywhere"}},
      {"output not UTF-8", {"/usr/bin/printf", "\\377\\376"}},
  };
  for (const Case& c : cases) EXPECT_FALSE(QPX_Framework_RunCommand_Sync(c.argv).has_value()) << c.name;
  EXPECT_THROW(QPX_Framework_Process_Run({}), platform::AssertionFailure);
}

TEST(Process, ResultDetails) {
  QPX_Framework_ProcessResult result = QPX_Framework_Process_Run({"/bin/sh", "-c", "echo out; exit 3"});
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.exited());
  EXPECT_EQ(result.exitCode(), 3);
  EXPECT_EQ(result.output, "out\n");
  EXPECT_FALSE(result.succeeded());

  result = QPX_Framework_Process_Run({"/bin/sh", "-c", "kill -KILL $$"});
  EXPECT_FALSE(result.exited());
  EXPECT_EQ(result.terminatingSignal(), SIGKILL);

  result = QPX_Framework_Process_Run({"/nonexistent/program"});
  EXPECT_FALSE(result.started);
  EXPECT_EQ(result.startError, ENOENT);

  // PATH lookup for a bare name.
  EXPECT_EQ(QPX_Framework_RunCommand_Sync({"printf", "%s", "found"}), "found");
}

TEST(Process, ReadsOutputLargerThanThePipe) {
  const std::optional<std::string> output =
      QPX_Framework_RunCommand_Sync({"/usr/bin/head", "-c", "1000000", "/dev/zero"});
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->size(), 1000000u);
}

TEST(Process, ChildGetsNoInputAndNoneOfOurDescriptors) {
  // Standard input is /dev/null: a program reading it ends at once instead of waiting.
  EXPECT_EQ(QPX_Framework_RunCommand_Sync({"/bin/cat"}), "");

  // A descriptor opened without close-on-exec stays ours.
  const int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  const int high = ::dup2(fd, 200);
  ASSERT_EQ(high, 200);
  const std::optional<std::string> listing = QPX_Framework_RunCommand_Sync({"/bin/ls", "/proc/self/fd"});
  ::close(fd);
  ::close(high);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->find("200"), std::string::npos) << *listing;
}

TEST(Process, IgnoredSignalsAreResetInTheChild) {
  // A signal this process ignores must not stay ignored in the programs it starts.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGTERM, &ignore, &previous), 0);
  const QPX_Framework_ProcessResult result =
      QPX_Framework_Process_Run({"/bin/sh", "-c", "kill -TERM $$; exit 0"});
  ::sigaction(SIGTERM, &previous, nullptr);
  EXPECT_EQ(result.terminatingSignal(), SIGTERM);
}

}  // namespace
