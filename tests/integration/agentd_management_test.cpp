// Agent management through AgentConnection against the reference agent run
// in-process: the served configuration file (read, replaced atomically), the
// policy store (listed, removed from), upgrade requests (checked against the
// file area and recorded, never installed).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "agent_test_support.h"
#include "kmsrv/protocol.h"

namespace kmtest {
namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;

std::u16string Wide(const std::string &s) { return KmUtf8ToWide(s); }

using TextPtr = std::unique_ptr<char16_t, decltype(&free)>;

constexpr const char *kGuidA = "0a1b2c3d-0000-1111-2222-333344445555";
constexpr const char *kGuidB = "ffeeddcc-0000-1111-2222-333344445555";

void GuidBytes(const char *text, uint8_t *out) {
  std::string hex;
  for (const char *p = text; *p != 0; p++)
    if (*p != '-') hex += *p;
  for (size_t i = 0; i < 16; i++) out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
}

struct Agent {
  TempDir dir;
  std::unique_ptr<AgentServer> server;
  std::unique_ptr<TestConnection> conn;

  // Empty names leave the feature off.
  explicit Agent(const std::string &served = "served.conf", const std::string &policies = "policies",
                 const std::string &area = "area") {
    AgentConfig config;
    if (!served.empty()) config.servedConfig = dir.file(served);
    if (!policies.empty()) {
      mkdir(dir.file(policies).c_str(), 0700);
      config.policiesDir = dir.file(policies);
    }
    if (!area.empty()) {
      mkdir(dir.file(area).c_str(), 0700);
      config.filesDir = dir.file(area);
    }
    server = std::make_unique<AgentServer>(std::move(config));
    std::string error;
    EXPECT_TRUE(server->start(&error)) << error;
    conn = newConnection();
  }
  ~Agent() {
    conn.reset();
    server->stop();
  }
  std::unique_ptr<TestConnection> newConnection() {
    auto c = std::make_unique<TestConnection>(kLoopbackNet, server->port());
    c->setEncryptionPolicy(ENCRYPTION_OFF);
    EXPECT_TRUE(c->connect());
    return c;
  }
  // The configuration text, or "<RCC n>".
  std::u16string config(TestConnection &c) {
    char16_t *raw = nullptr;
    uint32_t size = 0;
    const uint32_t rcc = c.getConfigFile(&raw, &size);
    TextPtr text(raw, &free);
    if (rcc != RCC_SUCCESS) return u"<RCC " + Wide(std::to_string(rcc)) + u">";
    return std::u16string(text.get());
  }
};

// ------------------------------------------------------------ configuration

TEST(AgentdManagement, ConfigIsServedCleanedAndReplacedKeepingItsMode) {
  Agent agent;
  const std::string path = agent.dir.file("served.conf");
  WriteFile(path, std::string("listen = 1\0x\x1b[1m\n", 17));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  EXPECT_EQ(agent.config(*agent.conn), u"listen = 1 x [1m\n");

  ASSERT_EQ(agent.conn->updateConfigFile(u"listen = 2\n# new\n"), RCC_SUCCESS);
  EXPECT_EQ(ReadFile(path), "listen = 2\n# new\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(agent.config(*agent.conn), u"listen = 2\n# new\n");
  // No temporary file is left next to it.
  EXPECT_EQ(agent.dir.names(), (std::vector<std::string>{"area", "policies", "served.conf"}));

  // An empty text empties the file; reading it gives an empty text.
  ASSERT_EQ(agent.conn->updateConfigFile(u""), RCC_SUCCESS);
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_EQ(agent.config(*agent.conn), u"");
}

TEST(AgentdManagement, ConfigRefusalsOffMissingTooLargeAndUnreplaceable) {
  {
    Agent off("", "", "");
    EXPECT_EQ(off.config(*off.conn), u"<RCC 403>");
    EXPECT_EQ(off.conn->updateConfigFile(u"x"), RCC_ACCESS_DENIED);
  }
  Agent agent;
  const std::string path = agent.dir.file("served.conf");
  EXPECT_EQ(agent.config(*agent.conn), u"<RCC 915>");  // not there yet
  // The largest file that is served, and one byte more.
  WriteFile(path, std::string(200 * 1024, 'x'));
  EXPECT_EQ(agent.config(*agent.conn).size(), 200u * 1024u);
  WriteFile(path, std::string(200 * 1024 + 1, 'x'));
  EXPECT_EQ(agent.config(*agent.conn), u"<RCC 503>");
  EXPECT_EQ(agent.conn->updateConfigFile(std::u16string(200 * 1024 + 1, u'y').c_str()),
            RCC_OUT_OF_RESOURCES);
  EXPECT_EQ(ReadFile(path).size(), 200u * 1024u + 1u);  // untouched

  // A directory where the file should be cannot be replaced: 903, and the
  // temporary file is gone.
  unlink(path.c_str());
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(agent.config(*agent.conn), u"<RCC 915>");
  EXPECT_EQ(agent.conn->updateConfigFile(u"x"), RCC_IO_FAILURE);
  EXPECT_EQ(agent.dir.names(), (std::vector<std::string>{"area", "policies", "served.conf"}));
}

TEST(AgentdManagement, ReadersSeeTheOldOrTheNewConfigNeverAMix) {
  Agent agent;
  const std::string path = agent.dir.file("served.conf");
  // Two contents of different lengths: a reader of a file being rewritten in
  // place would see a prefix of one, or one followed by the rest of the other.
  const std::u16string a(150 * 1024, u'a');
  const std::u16string b(90 * 1024, u'b');
  WriteFile(path, std::string(a.size(), 'a'));
  std::unique_ptr<TestConnection> writer = agent.newConnection();
  std::atomic<bool> done{false};
  std::thread update([&] {
    for (int i = 0; i < 40; i++)
      EXPECT_EQ(writer->updateConfigFile(i % 2 == 0 ? b.c_str() : a.c_str()), RCC_SUCCESS);
    done = true;
  });
  int reads = 0;
  for (; reads < 2000 && !done; reads++) {
    const std::u16string seen = agent.config(*agent.conn);
    ASSERT_TRUE(seen == a || seen == b) << "read " << reads << ": " << seen.size() << " characters";
  }
  update.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(agent.config(*agent.conn), a);  // the last update (i = 39) wrote a
}

// ------------------------------------------------------------ policies

TEST(AgentdManagement, InventoryListsPolicyFilesAndSkipsEverythingElse) {
  Agent agent;
  const std::string store = agent.dir.file("policies");
  WriteFile(store + "/" + kGuidB, "type = 2\nserver = srv-b\n");
  WriteFile(store + "/" + std::string(kGuidA), "# no server\ntype = 65535\n");
  WriteFile(store + "/0a1b2c3d-0000-1111-2222-33334444aaaa", "type = banana\n");  // broken
  WriteFile(store + "/README", "type = 1\n");                                     // not a GUID
  ASSERT_EQ(symlink("/etc/passwd", (store + "/0a1b2c3d-0000-1111-2222-33334444bbbb").c_str()), 0);
  ASSERT_EQ(mkdir((store + "/0a1b2c3d-0000-1111-2222-33334444cccc").c_str(), 0700), 0);

  AgentPolicyInfo *raw = nullptr;
  ASSERT_EQ(agent.conn->getPolicyInventory(&raw), RCC_SUCCESS);
  std::unique_ptr<AgentPolicyInfo> info(raw);
  ASSERT_EQ(info->getSize(), 2);
  uint8_t guid[16], expected[16];
  ASSERT_TRUE(info->getGuid(0, guid));  // sorted by GUID
  GuidBytes(kGuidA, expected);
  EXPECT_EQ(std::memcmp(guid, expected, 16), 0);
  EXPECT_EQ(info->getType(0), 65535);
  EXPECT_EQ(info->getServer(0), nullptr);
  ASSERT_TRUE(info->getGuid(1, guid));
  GuidBytes(kGuidB, expected);
  EXPECT_EQ(std::memcmp(guid, expected, 16), 0);
  EXPECT_EQ(info->getType(1), 2);
  EXPECT_EQ(std::u16string(info->getServer(1)), u"srv-b");
}

TEST(AgentdManagement, UninstallRemovesOnlyThatPolicyAndRefusesUnknownAndBadGuids) {
  Agent agent;
  const std::string store = agent.dir.file("policies");
  WriteFile(store + "/" + kGuidA, "type = 1\n");
  // Upper-case names are the same GUID.
  std::string upper = kGuidB;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  WriteFile(store + "/" + upper, "type = 2\n");

  uint8_t a[16], b[16];
  GuidBytes(kGuidA, a);
  GuidBytes(kGuidB, b);
  EXPECT_EQ(agent.conn->uninstallPolicy(b), RCC_SUCCESS);
  EXPECT_EQ(ReadFile(store + "/" + kGuidA), "type = 1\n");
  EXPECT_FALSE(std::ifstream(store + "/" + upper).good());
  EXPECT_EQ(agent.conn->uninstallPolicy(b), RCC_UNKNOWN_PARAMETER);
  uint8_t unknown[16] = {1, 2, 3};
  EXPECT_EQ(agent.conn->uninstallPolicy(unknown), RCC_UNKNOWN_PARAMETER);

  // A GUID field that is not 16 bytes, or missing, is refused.
  for (uint32_t length : {0u, 15u, 17u}) {
    CSCPMessage request(agent.conn->getProtocolVersion());
    request.SetCode(MC_UNINSTALL_POLICY);
    const uint8_t bytes[17] = {};
    request.SetVariable(VAR_POLICY_GUID, bytes, length);
    std::unique_ptr<CSCPMessage> reply(agent.conn->customRequest(&request));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_BAD_ARGUMENTS) << length;
  }
  CSCPMessage bare(agent.conn->getProtocolVersion());
  bare.SetCode(MC_UNINSTALL_POLICY);
  std::unique_ptr<CSCPMessage> reply(agent.conn->customRequest(&bare));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_MALFORMED_COMMAND);
  EXPECT_EQ(ReadFile(store + "/" + kGuidA), "type = 1\n");

  Agent off("", "", "");
  AgentPolicyInfo *raw = reinterpret_cast<AgentPolicyInfo *>(1);
  EXPECT_EQ(off.conn->getPolicyInventory(&raw), RCC_ACCESS_DENIED);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(off.conn->uninstallPolicy(a), RCC_ACCESS_DENIED);
}

// ------------------------------------------------------------ upgrade

TEST(AgentdManagement, UpgradeRequiresThePackageInTheAreaAndOnlyRecordsIt) {
  Agent agent;
  const std::string area = agent.dir.file("area");
  EXPECT_EQ(agent.conn->startUpgrade(u"agent-2.0.pkg"), RCC_FILE_OPEN_ERROR);
  EXPECT_TRUE(agent.dir.names() == (std::vector<std::string>{"area", "policies"}));
  TempDir local;
  WriteFile(local.file("agent-2.0.pkg"), "package bytes");
  ASSERT_EQ(agent.conn->uploadFile(Wide(local.file("agent-2.0.pkg")).c_str()), RCC_SUCCESS);
  // The local path's last component names the package.
  EXPECT_EQ(agent.conn->startUpgrade(Wide(local.file("agent-2.0.pkg")).c_str()), RCC_SUCCESS);
  EXPECT_EQ(agent.conn->startUpgrade(u"..\\..\\agent-2.0.pkg"), RCC_SUCCESS);
  const std::string record = ReadFile(area + "/.upgrades");
  EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 2);
  EXPECT_NE(record.find(" package agent-2.0.pkg 13 bytes\n"), std::string::npos) << record;
  EXPECT_EQ(ReadFile(area + "/agent-2.0.pkg"), "package bytes");  // nothing installed or moved

  // Names that leave nothing usable, and the area's own dot files.
  EXPECT_EQ(agent.conn->startUpgrade(u"dir/"), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(agent.conn->startUpgrade(u".upgrades"), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(agent.conn->startUpgrade(u"/etc/passwd"), RCC_FILE_OPEN_ERROR);

  Agent off("", "", "");
  EXPECT_EQ(off.conn->startUpgrade(u"agent-2.0.pkg"), RCC_ACCESS_DENIED);
}

TEST(AgentdManagement, StartRefusesAStoreThatIsNoDirectory) {
  TempDir dir;
  WriteFile(dir.file("file"), "");
  for (int which = 0; which < 2; which++) {
    AgentConfig config;
    if (which == 0)
      config.policiesDir = dir.file("file");
    else
      config.servedConfig = dir.file("missing-dir/served.conf");
    AgentServer server(std::move(config));
    std::string error;
    EXPECT_FALSE(server.start(&error));
    EXPECT_NE(error.find(which == 0 ? "policy store" : "served configuration"), std::string::npos)
        << error;
  }
}

}  // namespace
}  // namespace kmtest
