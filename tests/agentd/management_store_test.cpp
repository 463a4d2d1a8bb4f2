// The agent's management stores on their own: GUID names, policy files,
// listing and removal, reading and atomically replacing the served
// configuration, and the options that name them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agentd_options.h"
#include "kmbase/text.h"
#include "kmsrv/result_codes.h"
#include "management.h"
#include "support/temp_dir.h"

namespace {

using namespace kmagent::detail;

using kmtest::TempDir;
using kmtest::WriteFile;

TEST(ManagementStore, PolicyTextKeysLimitsAndRepeats) {
  PolicyRecord r;
  std::string error;
  ASSERT_TRUE(ParsePolicyText("# c\n\n type = 65535 \nserver = a b\nother = x\n", &r, &error)) << error;
  EXPECT_EQ(r.type, 65535);
  EXPECT_EQ(r.server, "a b");
  ASSERT_TRUE(ParsePolicyText("", &r, &error));
  EXPECT_EQ(r.type, 0);
  EXPECT_FALSE(r.server.has_value());
  EXPECT_EQ(PolicyText({{}, 9, std::string("s")}), "type = 9\nserver = s\n");

  ASSERT_TRUE(ParsePolicyText("server = " + std::string(kMaxPolicyServer, 's'), &r, &error));
  const std::vector<std::string> broken = {
      "type = 65536",         "type = -1",  "type = 1x", "type =", "type = 1\ntype = 2",
      "server = a\nserver = b", "no equals sign", "server = " + std::string(kMaxPolicyServer + 1, 's')};
  for (const std::string &text : broken) EXPECT_FALSE(ParsePolicyText(text, &r, &error)) << text;
}

TEST(ManagementStore, ListingIsBoundedAndRemovalStaysInTheStore) {
  TempDir store;
  PolicyGuid guid{};
  for (size_t i = 0; i < kMaxPolicies; i++) {
    guid[15] = static_cast<uint8_t>(i);
    guid[14] = static_cast<uint8_t>(i >> 8);
    WriteFile(store.file(KmGuidToText(guid.data())), "type = 1\n");
  }
  // A policy file just within its size limit, and one just beyond it.
  WriteFile(store.file("ffffffff-ffff-ffff-ffff-fffffffffff0"), std::string(kMaxPolicyFileSize, '\n'));
  WriteFile(store.file("ffffffff-ffff-ffff-ffff-fffffffffff1"), std::string(kMaxPolicyFileSize + 1, '\n'));
  std::vector<PolicyRecord> policies;
  std::vector<std::string> skipped;
  std::string error;
  EXPECT_FALSE(ListPolicies(store.path, &policies, &skipped, &error));
  EXPECT_NE(error.find("more than 1024"), std::string::npos) << error;
  EXPECT_TRUE(policies.empty());

  ASSERT_EQ(RemovePolicy(store.path, guid), RCC_SUCCESS);  // the last one written
  ASSERT_TRUE(ListPolicies(store.path, &policies, &skipped, &error)) << error;
  EXPECT_EQ(policies.size(), kMaxPolicies);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].find("fffffffffff1"), std::string::npos);
  EXPECT_EQ(RemovePolicy(store.path, guid), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(RemovePolicy(store.file("missing"), guid), RCC_IO_FAILURE);
}

TEST(ManagementStore, ANewServedConfigIsPrivateAndAFailedReplaceLeavesNothing) {
  TempDir dir;
  const std::string path = dir.file("agent.conf");
  std::string bytes;
  EXPECT_EQ(ReadServedConfig(path, &bytes), RCC_FILE_OPEN_ERROR);
  std::string error;
  ASSERT_TRUE(ReplaceFileAtomically(path, std::string("new\0file", 8), &error)) << error;
  ASSERT_EQ(ReadServedConfig(path, &bytes), RCC_SUCCESS);
  EXPECT_EQ(bytes, std::string("new\0file", 8));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  EXPECT_FALSE(ReplaceFileAtomically(dir.file("sub"), "x", &error));
  EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
  size_t entries = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir.path)) entries += e.exists() ? 1 : 0;
  EXPECT_EQ(entries, 2u);  // agent.conf and sub: the temporary file is gone
}

TEST(ManagementStore, OptionsNameTheServedConfigAndThePolicyStore) {
  kmagent::AgentdOptions o;
  std::string error;
  const char *argv[] = {"kmagentd", "--served-config", "/etc/kmagentd/agent.conf",
                        "--policies=/var/lib/kmagentd/policies"};
  ASSERT_TRUE(kmagent::ParseAgentdCommandLine(4, argv, &o, &error)) << error;
  EXPECT_EQ(o.agent.servedConfig, "/etc/kmagentd/agent.conf");
  EXPECT_EQ(o.agent.policiesDir, "/var/lib/kmagentd/policies");
  kmagent::AgentdOptions f;
  ASSERT_TRUE(kmagent::ParseAgentdConfigText("served_config = a.conf\npolicies = p\n", "f", &f,
                                             &error))
      << error;
  EXPECT_EQ(f.agent.servedConfig, "a.conf");
  EXPECT_EQ(f.agent.policiesDir, "p");
  const std::string usage = kmagent::AgentdUsage();
  EXPECT_NE(usage.find("--served-config FILE"), std::string::npos);
  EXPECT_NE(usage.find("--policies DIR"), std::string::npos);
}

}  // namespace
