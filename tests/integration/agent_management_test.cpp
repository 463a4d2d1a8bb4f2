// Agent management requests of AgentConnection (upgrade, configuration
// file, policy inventory and removal) against a scripted peer that plays the
// agent, and the decoders of their replies on hand-made messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_test_support.h"
#include "kmsrv/agent_policy.h"
#include "kmsrv/protocol.h"
#include "scripted_peer.h"

namespace kmtest {
namespace {

struct Session {
  Session() { connected = ConnectScripted(conn, peer); }
  ScriptedPeer peer;
  TestConnection conn{kLoopbackNet, peer.port()};
  bool connected = false;
};

void SetBytes(CSCPMessage &msg, uint32_t id, const std::string &bytes) {
  msg.SetVariable(id, reinterpret_cast<const uint8_t *>(bytes.data()),
                  static_cast<uint32_t>(bytes.size()));
}

std::string Bytes(const CSCPMessage &msg, uint32_t id) {
  const auto view = msg.GetVariableBinaryView(id);
  return std::string(reinterpret_cast<const char *>(view.data()), view.size());
}

uint32_t PolicyField(uint32_t record, uint32_t which) {
  return VAR_LIST_BASE + AGENT_POLICY_RECORD_STRIDE * record + which;
}

void AddPolicy(CSCPMessage &msg, uint32_t record, uint8_t firstByte, uint16_t type,
               const char16_t *server) {
  uint8_t guid[16];
  for (int k = 0; k < 16; k++) guid[k] = static_cast<uint8_t>(firstByte + k);
  msg.SetVariable(PolicyField(record, 0), guid, 16);
  msg.SetVariable(PolicyField(record, 1), type);
  if (server != nullptr) msg.SetVariable(PolicyField(record, 2), server);
}

using TextPtr = std::unique_ptr<char16_t, decltype(&free)>;

// ------------------------------------------------------------ upgrade

TEST(AgentManagement, UpgradeTakesOnlyThePackagesLastComponent) {
  Session s;
  ASSERT_TRUE(s.connected);
  const struct {
    const char16_t *path;
    const char16_t *sent;
  } cases[] = {{u"C:\\pkgs\\agent-2.0.tgz", u"agent-2.0.tgz"},
               {u"/srv/pkgs.d/agent.tgz", u"agent.tgz"},
               {u"dir\\sub/mixed.pkg", u"mixed.pkg"},
               {u"bare.pkg", u"bare.pkg"}};
  for (const auto &c : cases) {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &) {});
    EXPECT_EQ(s.conn.startUpgrade(c.path), RCC_SUCCESS);
    ASSERT_NE(peer.request(), nullptr);
    EXPECT_EQ(peer.request()->GetCode(), MC_UPGRADE_AGENT);
    char16_t name[64];
    peer.request()->GetVariableStr(VAR_FILE_NAME, name, 64);
    EXPECT_EQ(std::u16string(name), c.sent);
  }
  PeerAnswer refused(s.peer, [](const CSCPMessage &, CSCPMessage &r) {
    r.SetVariable(VAR_RCC, RCC_FILE_OPEN_ERROR);
  });
  EXPECT_EQ(s.conn.startUpgrade(u"missing.pkg"), RCC_FILE_OPEN_ERROR);
}

// ------------------------------------------------------------ configuration

TEST(AgentManagement, ConfigControlCharactersBecomeSpacesButTabsAndLineEndsStay) {
  Session s;
  ASSERT_TRUE(s.connected);
  const std::string sent = std::string("a\0b", 3) + "\x0b" + "c\x0c" + "d\x1b" + "e\t\n\r\x7f" +
                           "\x01\x1f" + " z";
  PeerAnswer peer(s.peer, [&](const CSCPMessage &, CSCPMessage &r) {
    SetBytes(r, VAR_CONFIG_FILE, sent);
  });
  char16_t *raw = reinterpret_cast<char16_t *>(1);
  uint32_t size = 99;
  EXPECT_EQ(s.conn.getConfigFile(&raw, &size), RCC_SUCCESS);
  TextPtr text(raw, &free);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(peer.request()->GetCode(), MC_GET_AGENT_CONFIG);
  EXPECT_EQ(peer.request()->GetNumFields(), 0u);
  ASSERT_EQ(size, sent.size());
  // Single-byte text: exactly `size` characters, terminated there.
  EXPECT_EQ(std::u16string(text.get(), size), u"a b c d e\t\n\r\x7f   z");
  EXPECT_EQ(text.get()[size], 0);
}

TEST(AgentManagement, EmptyConfigIsAnEmptyTextAndFailureLeavesNullAndZero) {
  Session s;
  ASSERT_TRUE(s.connected);
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &r) {
      r.SetVariable(VAR_CONFIG_FILE, static_cast<const uint8_t *>(nullptr), 0);
    });
    char16_t *raw = nullptr;
    uint32_t size = 7;
    EXPECT_EQ(s.conn.getConfigFile(&raw, &size), RCC_SUCCESS);
    TextPtr text(raw, &free);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text.get()[0], 0);
    EXPECT_EQ(size, 0u);
  }
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &r) {
      r.SetVariable(VAR_RCC, RCC_ACCESS_DENIED);
      SetBytes(r, VAR_CONFIG_FILE, "ignored");
    });
    char16_t *raw = reinterpret_cast<char16_t *>(1);
    uint32_t size = 7;
    EXPECT_EQ(s.conn.getConfigFile(&raw, &size), RCC_ACCESS_DENIED);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(size, 0u);
  }
}

TEST(AgentManagement, MultiByteConfigConvertsWholeAndZeroesThePositionsLeft) {
  Session s;
  ASSERT_TRUE(s.connected);
  const std::string utf8 = "k=\xc3\xa9\xe2\x82\xac";  // k=é€ in the default code page, UTF-8
  PeerAnswer peer(s.peer, [&](const CSCPMessage &, CSCPMessage &r) {
    SetBytes(r, VAR_CONFIG_FILE, utf8);
  });
  char16_t *raw = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(s.conn.getConfigFile(&raw, &size), RCC_SUCCESS);
  TextPtr text(raw, &free);
  EXPECT_EQ(size, utf8.size());
  EXPECT_EQ(std::u16string(text.get()), u"k=é€");
  for (uint32_t i = 4; i <= size; i++) EXPECT_EQ(text.get()[i], 0) << i;
}

TEST(AgentManagement, UpdateConfigSendsTheTextWithoutTerminator) {
  Session s;
  ASSERT_TRUE(s.connected);
  const struct {
    const char16_t *text;
    std::string bytes;
  } cases[] = {{u"a = 1\nb = 2\n", "a = 1\nb = 2\n"},
               {u"", ""},
               // Characters of several bytes go whole, not cut at the
               // character count.
               {u"name=é€", "name=\xc3\xa9\xe2\x82\xac"}};
  for (const auto &c : cases) {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &) {});
    EXPECT_EQ(s.conn.updateConfigFile(c.text), RCC_SUCCESS);
    ASSERT_NE(peer.request(), nullptr);
    EXPECT_EQ(peer.request()->GetCode(), MC_UPDATE_AGENT_CONFIG);
    KmcpFieldType type;
    ASSERT_TRUE(peer.request()->GetVariableType(VAR_CONFIG_FILE, &type));
    EXPECT_EQ(type, KmcpFieldType::Binary);
    EXPECT_EQ(Bytes(*peer.request(), VAR_CONFIG_FILE), c.bytes);
  }
  // A null text or one no message can carry is refused before sending.
  const uint32_t before = s.conn.generateRequestId();
  EXPECT_EQ(s.conn.updateConfigFile(nullptr), RCC_BAD_ARGUMENTS);
  std::u16string huge(KMCP_MAX_MESSAGE_SIZE, u'x');
  EXPECT_EQ(s.conn.updateConfigFile(huge.c_str()), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(s.conn.generateRequestId(), before + 1);
}

// ------------------------------------------------------------ policies

TEST(AgentManagement, PolicyRecordsWithAMissingServerAndAShortGuid) {
  Session s;
  ASSERT_TRUE(s.connected);
  PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &r) {
    r.SetVariable(VAR_NUM_POLICIES, 3u);
    AddPolicy(r, 0, 0x10, 1, u"server-a");
    AddPolicy(r, 1, 0x20, 0xFFFF, nullptr);  // no server field
    AddPolicy(r, 2, 0x30, 7, u"server-c");
    const uint8_t shortGuid[3] = {0xAA, 0xBB, 0xCC};
    r.SetVariable(PolicyField(2, 0), shortGuid, 3);
  });
  AgentPolicyInfo *raw = nullptr;
  ASSERT_EQ(s.conn.getPolicyInventory(&raw), RCC_SUCCESS);
  std::unique_ptr<AgentPolicyInfo> info(raw);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(peer.request()->GetCode(), MC_GET_POLICY_INVENTORY);
  ASSERT_EQ(info->getSize(), 3);
  EXPECT_EQ(std::u16string(info->getServer(0)), u"server-a");
  EXPECT_EQ(info->getServer(1), nullptr);
  EXPECT_EQ(std::u16string(info->getServer(2)), u"server-c");
  EXPECT_EQ(info->getType(0), 1);
  EXPECT_EQ(info->getType(1), 0xFFFF);  // zero-extended, not -1
  EXPECT_EQ(info->getType(2), 7);
  uint8_t guid[16];
  ASSERT_TRUE(info->getGuid(1, guid));
  for (int k = 0; k < 16; k++) EXPECT_EQ(guid[k], 0x20 + k);
  ASSERT_TRUE(info->getGuid(2, guid));
  const uint8_t expected[16] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(std::memcmp(guid, expected, 16), 0);
}

TEST(AgentManagement, ZeroAndNegativePolicyCountsGiveAnObjectWithoutRecords) {
  Session s;
  ASSERT_TRUE(s.connected);
  for (uint32_t count : {0u, 0xFFFFFFFBu /* -5 */, 0x80000000u /* INT32_MIN */}) {
    SCOPED_TRACE(count);
    PeerAnswer peer(s.peer, [count](const CSCPMessage &, CSCPMessage &r) {
      r.SetVariable(VAR_NUM_POLICIES, count);
      AddPolicy(r, 0, 1, 2, u"not read");
    });
    AgentPolicyInfo *raw = nullptr;
    ASSERT_EQ(s.conn.getPolicyInventory(&raw), RCC_SUCCESS);
    std::unique_ptr<AgentPolicyInfo> info(raw);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getSize(), static_cast<int32_t>(count));
    uint8_t guid[16];
    std::memset(guid, 0x5A, sizeof(guid));
    for (int32_t index : {-1, 0, 1}) {
      EXPECT_EQ(info->getType(index), -1);
      EXPECT_EQ(info->getServer(index), nullptr);
      EXPECT_FALSE(info->getGuid(index, guid));
    }
    EXPECT_EQ(guid[0], 0x5A);
    EXPECT_EQ(guid[15], 0x5A);
  }
}

TEST(AgentManagement, PolicyCountTheReplyCannotHoldFailsWithNullOutput) {
  Session s;
  ASSERT_TRUE(s.connected);
  for (uint32_t count : {0x7FFFFFFFu, 1000u}) {
    PeerAnswer peer(s.peer, [count](const CSCPMessage &, CSCPMessage &r) {
      r.SetVariable(VAR_NUM_POLICIES, count);
      AddPolicy(r, 0, 1, 2, u"one");
    });
    AgentPolicyInfo *raw = reinterpret_cast<AgentPolicyInfo *>(1);
    EXPECT_EQ(s.conn.getPolicyInventory(&raw), RCC_BAD_RESPONSE);
    EXPECT_EQ(raw, nullptr);
  }
  PeerAnswer refused(s.peer, [](const CSCPMessage &, CSCPMessage &r) {
    r.SetVariable(VAR_RCC, RCC_ACCESS_DENIED);
  });
  AgentPolicyInfo *raw = reinterpret_cast<AgentPolicyInfo *>(1);
  EXPECT_EQ(s.conn.getPolicyInventory(&raw), RCC_ACCESS_DENIED);
  EXPECT_EQ(raw, nullptr);
}

TEST(AgentManagement, UninstallSendsTheGuidBytesUnchanged) {
  Session s;
  ASSERT_TRUE(s.connected);
  uint8_t guid[16];
  for (int k = 0; k < 16; k++) guid[k] = static_cast<uint8_t>(0xF0 - k);
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &r) {
      r.SetVariable(VAR_RCC, RCC_UNKNOWN_PARAMETER);
    });
    EXPECT_EQ(s.conn.uninstallPolicy(guid), RCC_UNKNOWN_PARAMETER);
    ASSERT_NE(peer.request(), nullptr);
    EXPECT_EQ(peer.request()->GetCode(), MC_UNINSTALL_POLICY);
    EXPECT_EQ(Bytes(*peer.request(), VAR_POLICY_GUID),
              std::string(reinterpret_cast<const char *>(guid), 16));
  }
  EXPECT_EQ(s.conn.uninstallPolicy(nullptr), RCC_BAD_ARGUMENTS);
}

TEST(AgentManagement, NeverConnectedSessionGives900OrTheFailedSendsCode) {
  TestConnection conn(kLoopbackNet, 1);
  const uint32_t before = conn.generateRequestId();
  EXPECT_EQ(conn.startUpgrade(u"a.pkg"), RCC_NOT_CONNECTED);
  char16_t *text = reinterpret_cast<char16_t *>(1);
  uint32_t size = 5;
  EXPECT_EQ(conn.getConfigFile(&text, &size), RCC_NOT_CONNECTED);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(conn.updateConfigFile(u"x"), RCC_NOT_CONNECTED);
  // These two have no connected test: each uses up an id and fails to send.
  AgentPolicyInfo *info = reinterpret_cast<AgentPolicyInfo *>(1);
  EXPECT_EQ(conn.getPolicyInventory(&info), RCC_CONNECTION_BROKEN);
  EXPECT_EQ(info, nullptr);
  const uint8_t guid[16] = {};
  EXPECT_EQ(conn.uninstallPolicy(guid), RCC_CONNECTION_BROKEN);
  EXPECT_EQ(conn.generateRequestId(), before + 3);
}

// ------------------------------------------------------------ decoders

TEST(AgentPolicyInfoDecoder, CountIsBelievedUpToTheFieldCountExactly) {
  CSCPMessage msg;
  msg.SetVariable(VAR_NUM_POLICIES, 3u);
  AddPolicy(msg, 0, 1, 1, nullptr);  // two fields: 3 fields in all with the count
  ASSERT_EQ(msg.GetNumFields(), 3u);
  AgentPolicyInfo fits(&msg);
  EXPECT_TRUE(fits.isValid());
  EXPECT_EQ(fits.getSize(), 3);
  // Records the message lacks read as zeros and null.
  uint8_t guid[16];
  ASSERT_TRUE(fits.getGuid(2, guid));
  EXPECT_EQ(guid[0], 0);
  EXPECT_EQ(fits.getType(2), 0);
  EXPECT_EQ(fits.getServer(2), nullptr);

  msg.SetVariable(VAR_NUM_POLICIES, 4u);
  AgentPolicyInfo tooMany(&msg);
  EXPECT_FALSE(tooMany.isValid());
  EXPECT_EQ(tooMany.getSize(), 0);
  EXPECT_EQ(tooMany.getType(0), -1);

  CSCPMessage empty;
  AgentPolicyInfo none(&empty);  // no count field at all
  EXPECT_TRUE(none.isValid());
  EXPECT_EQ(none.getSize(), 0);
}

TEST(ConfigTextDecoder, EveryControlCharacterButTabAndLineEnds) {
  std::string all;
  for (int c = 0; c < 128; c++) all += static_cast<char>(c);
  TextPtr text(DecodeAgentConfigText(reinterpret_cast<const uint8_t *>(all.data()), 128), &free);
  ASSERT_NE(text, nullptr);
  for (int c = 0; c < 128; c++) {
    const bool kept = c >= 32 || c == 9 || c == 10 || c == 13;
    EXPECT_EQ(text.get()[c], kept ? static_cast<char16_t>(c) : u' ') << c;
  }
  EXPECT_EQ(text.get()[128], 0);
  TextPtr empty(DecodeAgentConfigText(nullptr, 0), &free);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty.get()[0], 0);
}

}  // namespace
}  // namespace kmtest
