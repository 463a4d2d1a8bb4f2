// ISC without a peer: construction defaults and what an idle session does.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "kmbase/message.h"
#include "kmsrv/isc.h"

namespace {

// Exposes the members a host subclass may read.
class ExposedIsc : public ISC {
 public:
  using ISC::ISC;
  ~ExposedIsc() override { DisconnectAndWait(); }
  using ISC::address;
  using ISC::commandTimeout;
  using ISC::connectTimeout;
  using ISC::flags;
  using ISC::nextRequestId;
  using ISC::port;
  using ISC::receiveTimeout;
  using ISC::replyQueue;
  using ISC::SetupEncryption;
  SOCKET currentSocket() {
    Lock();
    const SOCKET s = socket;
    Unlock();
    return s;
  }
};

TEST(IscConstruction, DefaultPeerIsLoopbackPort4702) {
  ExposedIsc isc;
  EXPECT_EQ(isc.address, inet_addr("127.0.0.1"));
  EXPECT_EQ(isc.port, 4702);
}

TEST(IscConstruction, StartsIdleWithTheDocumentedTimeouts) {
  ExposedIsc isc(htonl(0x0A000001), 9000);
  EXPECT_EQ(isc.address, htonl(0x0A000001));
  EXPECT_EQ(isc.port, 9000);
  EXPECT_EQ(isc.flags.load(), 0u);
  EXPECT_FALSE(isc.IsConnected());
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
  EXPECT_EQ(isc.nextRequestId.load(), 1u);
  EXPECT_EQ(isc.receiveTimeout.load(), 420000u);
  EXPECT_EQ(isc.commandTimeout.load(), 10000u);
  EXPECT_EQ(isc.connectTimeout.load(), 30000u);
  EXPECT_EQ(isc.replyQueue.size(), 0u);
}

TEST(IscIdleSession, SendsNothingAndRequestsFailAsBroken) {
  ExposedIsc isc;
  CSCPMessage msg;
  msg.SetCode(MC_KEEPALIVE);
  msg.SetId(5);
  EXPECT_FALSE(isc.SendMessageW(&msg));
  EXPECT_FALSE(isc.SendMessageW(nullptr));
  // Nothing can arrive on a session that is not up: the waits return at
  // once instead of sitting out their time-outs.
  EXPECT_EQ(isc.Nop(), ISC_RESULT_CONNECTION_BROKEN);
  EXPECT_EQ(isc.WaitForRCC(5, 600000), ISC_RESULT_CONNECTION_BROKEN);
  EXPECT_EQ(isc.WaitForMessage(MC_KEEPALIVE, 5, 600000), nullptr);
  EXPECT_EQ(isc.SetupEncryption(nullptr), ISC_RESULT_CONNECTION_BROKEN);
}

TEST(IscIdleSession, UnclaimedMessagesStayClaimableByCodeAndId) {
  ExposedIsc isc;
  auto *msg = new CSCPMessage;
  msg->SetCode(MC_REQUEST_COMPLETED);
  msg->SetId(9);
  msg->SetVariable(28u, 17u);  // VAR_RCC
  isc.replyQueue.put(msg);
  EXPECT_EQ(isc.WaitForRCC(9, 1000), 17u);
  EXPECT_EQ(isc.replyQueue.size(), 0u);
}

TEST(IscIdleSession, DisconnectOnIdleSessionChangesNothing) {
  ExposedIsc isc;
  isc.Disconnect();
  isc.DisconnectAndWait();
  EXPECT_FALSE(isc.IsConnected());
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

}  // namespace
