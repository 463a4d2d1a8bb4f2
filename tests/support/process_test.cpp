// The process helper's own logic: what a run collects, the time limit, lines
// from either stream, the environment a child gets, and the listening line.
#include "support/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace kmtest {
namespace {

TEST(Process, RunCollectsBothStreamsAndTheExitStatusOrWhyItCouldNotStart) {
  const RunResult r = kmtest::Run("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");

  const RunResult missing = kmtest::Run("/nonexistent/program", {});
  EXPECT_EQ(missing.status, -1);
  EXPECT_NE(missing.err.find("cannot start /nonexistent/program"), std::string::npos)
      << missing.err;
}

TEST(Process, RunKillsAProgramStillRunningAtItsTimeLimitAndKeepsWhatItPrinted) {
  // exec: the shell becomes the sleeper, so the kill ends the only process.
  const RunResult r =
      kmtest::Run("/bin/sh", {"-c", "echo started; exec sleep 600"}, InheritedEnvironment(), 300);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, "started\n");
}

TEST(Process, ReadsLinesOfEitherStreamAndReportsAnEndBySignal) {
  // The sleeper runs with its standard output closed: that stream ends.
  Process p("/bin/sh", {"-c", "echo one; echo two >&2; printf 'no end'; exec sleep 600 >&-"});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.readLine(kProgramWaitMs, Process::kErr), "two\n");
  EXPECT_EQ(p.readLine(), "one\n");
  // A line without its end comes back once the stream has ended.
  EXPECT_EQ(p.readLine(), "no end");
  EXPECT_EQ(p.readLine(), "");
  ASSERT_TRUE(p.signal(SIGTERM));
  EXPECT_EQ(p.wait(), -1);
  EXPECT_FALSE(p.timedOut());
  EXPECT_FALSE(p.signal(SIGTERM));  // already waited for
}

TEST(Process, ChildGetsTheGivenEnvironmentLessWhatWasDropped) {
  ASSERT_EQ(setenv("KMTEST_DROPPED", "x", 1), 0);
  ASSERT_EQ(setenv("KMTEST_KEPT", "y", 1), 0);
  std::vector<std::string> env = InheritedEnvironment("KMTEST_D");
  env.push_back("KMTEST_ADDED=z");
  const RunResult r =
      kmtest::Run("/bin/sh", {"-c", "echo \"$KMTEST_DROPPED|$KMTEST_KEPT|$KMTEST_ADDED\""}, env);
  unsetenv("KMTEST_DROPPED");
  unsetenv("KMTEST_KEPT");
  EXPECT_EQ(r.out, "|y|z\n");
}

TEST(Process, ListeningPortTakesOnlyTheExactLine) {
  const struct {
    const char *line;
    uint16_t port;
  } cases[] = {
      {"listening on 127.0.0.1:4700\n", 4700}, {"listening on 127.0.0.1:65535\n", 65535},
      {"listening on 127.0.0.1:4700", 0},     // no end of line
      {"listening on 127.0.0.1:65536\n", 0},  // not a port
      {"listening on 127.0.0.1:47x0\n", 0},    {"listening on 127.0.0.1:\n", 0},
      {"listening on 0.0.0.0:4700\n", 0},      {"", 0},
  };
  for (const auto &c : cases) EXPECT_EQ(ListeningPort(c.line), c.port) << c.line;
}

}  // namespace
}  // namespace kmtest
