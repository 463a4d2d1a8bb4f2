// The reference agent's file area, run in-process: uploads and downloads
// through AgentConnection arrive byte-identical (clear and encrypted), names
// stay inside the area, and refusals leave nothing behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "agent_server.h"
#include "agent_test_support.h"
#include "kmsrv/protocol.h"

namespace kmtest {
namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 0x9E3779B9u ^ static_cast<uint32_t>(size);
  for (auto &b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

std::u16string Wide(const std::string &s) { return KmUtf8ToWide(s); }

struct Agent {
  TempDir area;
  TempDir local;
  std::unique_ptr<AgentServer> server;
  std::unique_ptr<TestConnection> conn;

  explicit Agent(bool encrypted, uint64_t maxUpload = uint64_t{1} << 30, bool withArea = true,
                 const std::function<void(AgentConfig &)> &tune = {}) {
    AgentConfig config;
    config.listenAddress = "127.0.0.1";
    config.requireEncryption = encrypted;
    if (withArea) config.filesDir = area.path;
    config.maxUploadSize = maxUpload;
    if (tune) tune(config);
    server = std::make_unique<AgentServer>(std::move(config));
    std::string error;
    EXPECT_TRUE(server->start(&error)) << error;
    conn = std::make_unique<TestConnection>(kLoopbackNet, server->port());
    conn->setEncryptionPolicy(encrypted ? ENCRYPTION_MANDATORY : ENCRYPTION_OFF);
    EXPECT_TRUE(conn->connect(encrypted ? TestKey() : nullptr));
  }
  ~Agent() {
    conn.reset();
    server->stop();
  }
  // What the area holds, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> n = area.names();
    std::sort(n.begin(), n.end());
    return n;
  }
  uint32_t download(const std::string &name, const std::string &target) {
    CSCPMessage request(conn->getProtocolVersion());
    request.SetCode(MC_AGENT_DOWNLOAD_FILE);
    request.SetVariable(VAR_FILE_NAME, Wide(name).c_str());
    CSCPMessage *reply = conn->customRequest(&request, Wide(target).c_str());
    const uint32_t rcc = reply != nullptr ? reply->GetVariableLong(VAR_RCC) : 0xFFFFFFFFu;
    delete reply;
    return rcc;
  }
};

class AgentdFiles : public ::testing::TestWithParam<bool> {};

TEST_P(AgentdFiles, UploadsAndDownloadsArriveByteIdentical) {
  Agent agent(GetParam());
  for (size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{65537}, size_t{8} << 20}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> data = Pattern(size);
    const std::string src = agent.local.file("src.bin");
    WriteFile(src, data);
    ASSERT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"stored.bin"), RCC_SUCCESS);
    EXPECT_TRUE(ReadFileBytes(agent.area.file("stored.bin")) == data);
    const std::string dst = agent.local.file("back.bin");
    ASSERT_EQ(agent.download("stored.bin", dst), RCC_SUCCESS);
    EXPECT_TRUE(ReadFileBytes(dst) == data);
  }
  EXPECT_EQ(agent.area.names(), std::vector<std::string>{"stored.bin"});
}

INSTANTIATE_TEST_SUITE_P(ClearAndEncrypted, AgentdFiles, ::testing::Bool());

TEST(AgentdFileArea, NamesAreReducedToTheirLastComponent) {
  Agent agent(false);
  const std::string src = agent.local.file("x");
  WriteFile(src, Pattern(10));
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"../../escape"), RCC_SUCCESS);
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"..\\win\\name"), RCC_SUCCESS);
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"dir/.."), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(agent.names(), (std::vector<std::string>{"escape", "name"}));
  EXPECT_EQ(agent.download("../../escape", agent.local.file("e")), RCC_SUCCESS);
  EXPECT_EQ(ReadFileBytes(agent.local.file("e")), Pattern(10));
}

TEST(AgentdFileArea, RefusalsAndOversizedUploadsLeaveNothingBehind) {
  {
    Agent agent(false, 100);
    const std::string src = agent.local.file("big");
    WriteFile(src, Pattern(101));
    EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str()), RCC_IO_FAILURE);
    WriteFile(src, Pattern(100));
    EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str()), RCC_SUCCESS);
    EXPECT_EQ(agent.area.names(), std::vector<std::string>{"big"});
    // A missing file is refused and the download file removed.
    EXPECT_EQ(agent.download("none", agent.local.file("n")), RCC_FILE_OPEN_ERROR);
    EXPECT_FALSE(std::ifstream(agent.local.file("n")).good());
  }
  {
    Agent agent(false, 100, false);
    const std::string src = agent.local.file("f");
    WriteFile(src, Pattern(5));
    EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str()), RCC_ACCESS_DENIED);
    EXPECT_EQ(agent.download("f", agent.local.file("g")), RCC_ACCESS_DENIED);
    EXPECT_TRUE(agent.area.names().empty());
  }
}

// Names a hostile server chooses: the area's own dot files, control
// characters that would forge log and record lines, links planted in the
// area, and a quota that the area keeps.
TEST(AgentdFileArea, DotNamesControlCharactersLinksAndQuotaAreRefused) {
  Agent agent(false, uint64_t{1} << 30, true, [](AgentConfig &c) {
    c.maxAreaFiles = 3;
    c.maxAreaBytes = 100;
  });
  const std::string src = agent.local.file("src");
  WriteFile(src, Pattern(10));
  for (const char16_t *name : {u".upgrades", u".x", u"a\nb", u"tab\tname", u"del\x7F"}) {
    EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), name), RCC_BAD_ARGUMENTS);
    EXPECT_EQ(agent.conn->startUpgrade(name), RCC_BAD_ARGUMENTS);
  }
  EXPECT_EQ(agent.download(".upgrades", agent.local.file("d")), RCC_BAD_ARGUMENTS);
  EXPECT_TRUE(agent.area.names().empty());

  // Links to a file outside the area, one of them in place of the record.
  const std::string outside = agent.local.file("outside");
  WriteFile(outside, std::vector<uint8_t>{'s', 'e', 'c', 'r', 'e', 't'});
  ASSERT_EQ(::symlink(outside.c_str(), agent.area.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), agent.area.file(".upgrades").c_str()), 0);
  EXPECT_EQ(agent.download("link", agent.local.file("got")), RCC_FILE_OPEN_ERROR);
  EXPECT_FALSE(std::ifstream(agent.local.file("got")).good());
  EXPECT_EQ(agent.conn->startUpgrade(u"link"), RCC_FILE_OPEN_ERROR);
  ASSERT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"pkg"), RCC_SUCCESS);
  EXPECT_EQ(agent.conn->startUpgrade(u"pkg"), RCC_IO_FAILURE);
  EXPECT_EQ(ReadFile(outside), "secret");

  // Quota: 100 bytes and 3 regular files (links do not count; "pkg" holds
  // 10 bytes); the file an upload replaces does not count against it.
  WriteFile(src, Pattern(91));
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"big"), RCC_IO_FAILURE);
  WriteFile(src, Pattern(80));
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"big"), RCC_SUCCESS);
  WriteFile(src, Pattern(10));
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"more"), RCC_SUCCESS);
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"full"), RCC_OUT_OF_RESOURCES);
  EXPECT_EQ(agent.conn->uploadFile(Wide(src).c_str(), u"more"), RCC_SUCCESS);
  EXPECT_EQ(agent.names(), (std::vector<std::string>{".upgrades", "big", "link", "more", "pkg"}));
}

}  // namespace
}  // namespace kmtest
