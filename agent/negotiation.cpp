// Session negotiation of AgentConnection: encryption policy, key exchange,
// login, liveness test and the proxy hop. Runs on the thread inside
// connect(); the replies come through the receiver thread.
#include <arpa/inet.h>

#include <cstring>

#include "agent_link.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "kmsrv/debug.h"
#include "kmsrv/protocol.h"
#include "secret.h"

namespace {

// The proxy may need a while to reach the agent behind it, so the hop has a
// fixed wait of its own, independent of the command time-out.
constexpr uint32_t kProxySetupTimeoutMs = 60000;

// Unknown policies behave as ENCRYPTION_ON_DEMAND.
int32_t EffectivePolicy(int32_t policy) {
  return (policy >= ENCRYPTION_OFF && policy <= ENCRYPTION_MANDATORY) ? policy
                                                                      : ENCRYPTION_ON_DEMAND;
}

}  // namespace

void AgentConnection::setProxy(uint32_t proxyAddr, uint16_t proxyPortNumber, int32_t method,
                               const char16_t *secretText) {
  proxyAddress = proxyAddr;
  proxyPort = proxyPortNumber;
  proxyAuthMethod = method;
  kmsrv_agent::WideSecretToAnsi(secretText, proxySecret);
  useProxy = true;
}

uint32_t AgentConnection::nop() {
  CSCPMessage msg(protocolVersion);
  msg.SetCode(MC_KEEPALIVE);
  return executeRequest(&msg, false, commandTimeout);
}

uint32_t AgentConnection::authenticate(bool useProxyCredentials) {
  const int32_t method = useProxyCredentials ? proxyAuthMethod : authMethod;
  const char *secretText = useProxyCredentials ? proxySecret : secret;
  if (method == AUTH_METHOD_NONE) return RCC_SUCCESS;

  CSCPMessage msg(protocolVersion);
  msg.SetCode(MC_LOGIN);
  msg.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(method));
  switch (method) {
    case AUTH_METHOD_CLEAR: {
      char16_t wide[AGENT_SECRET_SIZE];
      KmAnsiToWide(secretText, -1, wide, AGENT_SECRET_SIZE);
      msg.SetVariable(VAR_SHARED_SECRET, wide);
      kmsrv_agent::WipeSecret(wide, sizeof(wide));
      break;
    }
    case AUTH_METHOD_MD5:
    case AUTH_METHOD_SHA1: {
      uint8_t hash[20];
      const auto *bytes = reinterpret_cast<const uint8_t *>(secretText);
      const bool md5 = method == AUTH_METHOD_MD5;
      (md5 ? CalculateMD5Hash : CalculateSHA1Hash)(bytes, strlen(secretText), hash);
      msg.SetVariable(VAR_SHARED_SECRET, hash, md5 ? 16u : 20u);
      kmsrv_agent::WipeSecret(hash, sizeof(hash));
      break;
    }
    default:  // an unknown method goes out alone; the agent judges it
      break;
  }
  return executeRequest(&msg, false, commandTimeout);
}

uint32_t AgentConnection::setupEncryption(RSA *serverKey) {
  return Link(*this).exchangeKey(serverKey, protocolVersion, generateRequestId(), commandTimeout,
                                 Link::kCodes);
}

uint32_t AgentConnection::setupProxyConnection() {
  CSCPMessage msg(protocolVersion);
  msg.SetCode(MC_SETUP_PROXY_CONNECTION);
  msg.SetVariable(VAR_IP_ADDRESS, static_cast<uint32_t>(ntohl(address)));
  msg.SetVariable(VAR_AGENT_PORT, port);
  msg.SetId(generateRequestId());
  // From the answer on, the socket carries the session with the agent itself,
  // in clear until its own key exchange: the proxy's key is dropped before
  // the receiver reads on past the answer.
  return Link(*this).requestThenDropKey(msg, kProxySetupTimeoutMs, Link::kCodes);
}

uint32_t AgentConnection::negotiate(RSA *serverKey) {
  bool forced = false;      // the agent has demanded encryption
  bool secondPass = false;  // the proxy hop is done; negotiating with the agent
  int restarts = 0;         // 906 restarts in this pass
  const int32_t policy = EffectivePolicy(encryptionPolicy);
  char16_t agentIp[16];
  IpToStr(ntohl(address), agentIp);

  // An answer 906 forces encryption and starts the pass over (a bounded
  // number of times).
  const auto restartForEncryption = [&](uint32_t rcc) {
    if (rcc != RCC_ENCRYPTION_REQUIRED || policy == ENCRYPTION_OFF ||
        restarts >= kMaxEncryptionRestarts)
      return false;
    forced = true;
    restarts++;
    return true;
  };
  // TLS protects the session with the peer at the other end of the socket
  // (the proxy, when there is one): session encryption inside it would add
  // nothing, so it is not used with that peer. The agent behind a proxy is
  // not covered by it.
  const bool tls = isTls();
  if (tls && policy != ENCRYPTION_OFF && policy != ENCRYPTION_ON_DEMAND)
    DbgPrintf(5, u"AgentConnection: session encryption is not used inside TLS");
  const auto encrypted = [&] { return (tls && !secondPass) || isEncrypted(); };
  for (;;) {
    // Encryption.
    // A session that has its key keeps it: peers refuse a second one, so an
    // agent that demands encryption of a keyed session is given up on below.
    if ((policy == ENCRYPTION_IF_POSSIBLE || policy == ENCRYPTION_MANDATORY || forced) &&
        !encrypted()) {
      const bool required = policy == ENCRYPTION_MANDATORY || forced;
      if (serverKey != nullptr) {
        uint32_t rcc = setupEncryption(serverKey);
        if (rcc != RCC_SUCCESS && required) return rcc;
      } else if (required) {
        return RCC_ENCRYPTION_REQUIRED;
      }
    }

    // On demand, the agent's demand is learnt before a login that carries a
    // secret, so that the login never goes out in clear to an agent that
    // wants encryption: the liveness test goes first, and its 906 keys the
    // session (or, without a key, ends the attempt) before any secret is
    // sent. Any other answer goes on to the login.
    const int32_t method = useProxy && !secondPass ? proxyAuthMethod : authMethod;
    if (policy == ENCRYPTION_ON_DEMAND && method != AUTH_METHOD_NONE && !encrypted()) {
      const uint32_t probe = nop();
      forced = false;
      if (restartForEncryption(probe)) continue;
      if (probe == RCC_ENCRYPTION_REQUIRED) {
        PrintMsg(u"Communication with agent %s failed (%s)", agentIp, AgentErrorCodeToText(probe));
        return probe;
      }
    }

    // Login, then liveness.
    uint32_t rcc = authenticate(useProxy && !secondPass);
    forced = false;
    if (rcc != RCC_SUCCESS) {
      if (restartForEncryption(rcc)) continue;
      PrintMsg(u"Authentication to agent %s failed (%s)", agentIp, AgentErrorCodeToText(rcc));
      return rcc;
    }
    rcc = nop();
    if (rcc != RCC_SUCCESS) {
      if (restartForEncryption(rcc)) continue;
      PrintMsg(u"Communication with agent %s failed (%s)", agentIp, AgentErrorCodeToText(rcc));
      return rcc;
    }

    // Proxy hop: from here on the socket carries the session with the agent
    // itself, in clear until its own key exchange.
    if (useProxy && !secondPass) {
      rcc = setupProxyConnection();
      if (rcc != RCC_SUCCESS) return rcc;
      secondPass = true;
      restarts = 0;
      continue;
    }
    return RCC_SUCCESS;
  }
}
