#include "agent_session.h"

#include <openssl/crypto.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli_options.h"
#include "kmbase/crypto.h"
#include "kmbase/text.h"
#include "kmsrv/debug.h"

namespace kmquery {

namespace {

const Choices<int32_t> kAuthMethods = {
    {"none", AUTH_METHOD_NONE},
    {"clear", AUTH_METHOD_CLEAR},
    {"md5", AUTH_METHOD_MD5},
    {"sha1", AUTH_METHOD_SHA1},
};

const Choices<int32_t> kEncryptionPolicies = {
    {"off", ENCRYPTION_OFF},
    {"on-demand", ENCRYPTION_ON_DEMAND},
    {"if-possible", ENCRYPTION_IF_POSSIBLE},
    {"mandatory", ENCRYPTION_MANDATORY},
};

// A secret as the library takes it; the wide copy is wiped when it goes.
class WideSecret {
 public:
  explicit WideSecret(const std::string &utf8) : text_(KmUtf8ToWide(utf8)) {}
  ~WideSecret() {
    if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size() * sizeof(char16_t));
  }
  WideSecret(const WideSecret &) = delete;
  WideSecret &operator=(const WideSecret &) = delete;
  const char16_t *get() const { return text_.c_str(); }

 private:
  std::u16string text_;
};

int32_t EffectiveAuth(int32_t given, const Secret &secret) {
  if (given >= 0) return given;
  return secret.empty() ? AUTH_METHOD_NONE : AUTH_METHOD_SHA1;
}

}  // namespace

void AddAgentConnectionOptions(CLI::App *command, AgentOptions *o, bool ownPortAndTimeout,
                               bool agentPrefix) {
  const char *group = "Agent connection";
  if (ownPortAndTimeout) {
    command->add_option("-p,--port", o->port, "Agent's TCP port (default 4700)")
        ->check(CLI::Range(1, 65535))
        ->option_text("PORT")
        ->group(group);
  }
  command
      ->add_option_function<std::string>(
          "-s,--secret", [o](const std::string &s) { o->secret = s; },
          "Shared secret, at most 63 bytes")
      ->check([](const std::string &s) {
        return s.size() > AGENT_SECRET_SIZE - 1 ? std::string("longer than 63 bytes")
                                                : std::string();
      })
      ->envname("KMQUERY_SECRET")
      ->option_text("SECRET")
      ->group(group);
  AddChoiceOption(command, agentPrefix ? "--agent-auth" : "-a,--auth", &o->auth, kAuthMethods,
                  "Login method (default sha1 with a secret, none without)")
      ->group(group);
  AddChoiceOption(command, agentPrefix ? "--agent-encryption" : "-e,--encryption", &o->encryption,
                  kEncryptionPolicies,
                  "Encryption policy (default on-demand)")
      ->group(group);
  auto *key = command->add_option("-K,--key", o->keyFile, "Server's RSA private key (PEM file)")
                  ->check(CLI::ExistingFile)
                  ->option_text("FILE")
                  ->group(group);
  auto *gen = command
                  ->add_flag("--generate-key", o->generateKey,
                             "Use a throw-away 2048-bit RSA key for the key exchange")
                  ->group(group);
  key->excludes(gen);
  command
      ->add_option(agentPrefix ? "--agent-proxy" : "-X,--proxy", o->proxy,
                   "Connect through the proxy agent HOST[:PORT]")
      ->option_text("HOST[:PORT]")
      ->group(group);
  AddChoiceOption(command, "--proxy-auth", &o->proxyAuth, kAuthMethods,
                  "Login method at the proxy (default: as -a)")
      ->group(group);
  command
      ->add_option_function<std::string>(
          "--proxy-secret",
          [o](const std::string &s) {
            o->proxySecret = s;
            o->proxySecretGiven = true;
          },
          "Shared secret of the proxy (default: as -s)")
      ->check([](const std::string &s) {
        return s.size() > AGENT_SECRET_SIZE - 1 ? std::string("longer than 63 bytes")
                                                : std::string();
      })
      ->envname("KMQUERY_PROXY_SECRET")
      ->option_text("SECRET")
      ->group(group);
  command
      ->add_option_function<std::string>(
          "--proxy-secret-file",
          [o](const std::string &path) {
            std::string text;
            if (!ReadSecretLine(path, AGENT_SECRET_SIZE, &text))
              throw CLI::ValidationError("--proxy-secret-file",
                                         "cannot read " + path + ": " + std::strerror(errno));
            const bool tooLong = text.size() > AGENT_SECRET_SIZE - 1;
            o->proxySecret = std::move(text);
            o->proxySecretGiven = !tooLong;
            if (tooLong)
              throw CLI::ValidationError("--proxy-secret-file", path + ": longer than 63 bytes");
          },
          "Read the proxy's shared secret from the first line of FILE")
      ->option_text("FILE")
      ->group(group);
  if (ownPortAndTimeout) {
    command
        ->add_option("-w,--timeout", o->timeoutMs,
                     "Milliseconds to wait for each reply and for the TCP connect (default 10000)")
        ->check(CLI::Range(1u, 3600000u))
        ->option_text("MS")
        ->group(group);
  }
  AddTlsOptions(command, &o->tls, group);
}

CliAgentConnection::CliAgentConnection(uint32_t addressNetworkOrder, uint16_t port,
                                       int32_t authMethod, const char16_t *secret, bool verbose)
    : AgentConnection(addressNetworkOrder, port, authMethod, secret), verbose_(verbose) {}

CliAgentConnection::~CliAgentConnection() { disconnectAndWait(); }

void CliAgentConnection::PrintMsg(const char16_t *format, ...) {
  if (!verbose_) return;
  va_list args;
  va_start(args, format);
  const std::string line = km_vformat_utf8(format, args);
  va_end(args);
  std::fprintf(stderr, "kmquery: agent session: %s\n", line.c_str());
}

std::string CliAgentConnection::tlsDescription() const {
  const SOCKET sock = getSocket();
  return sock == INVALID_SOCKET ? std::string() : KmTlsDescription(sock);
}

void CliAgentConnection::setTrapHandler(TrapHandler handler) {
  std::lock_guard<std::mutex> guard(trapLock_);
  trapHandler_ = std::move(handler);
}

void CliAgentConnection::onTrap(CSCPMessage *msg) {
  std::lock_guard<std::mutex> guard(trapLock_);
  if (trapHandler_) trapHandler_(*msg, false);
}

void CliAgentConnection::onDataPush(CSCPMessage *msg) {
  std::lock_guard<std::mutex> guard(trapLock_);
  if (trapHandler_) trapHandler_(*msg, true);
}

std::string AgentLabel(const AgentOptions &o) {
  std::string label = o.host + ":" + std::to_string(o.port);
  if (!o.proxy.empty()) label += " through proxy " + o.proxy;
  return label;
}

std::string AgentProtection(CliAgentConnection &conn, const AgentOptions &o) {
  return ProtectionText(conn.tlsDescription(), conn.isEncrypted(), !o.proxy.empty());
}

std::unique_ptr<CliAgentConnection> ConnectAgent(const AgentOptions &o, const Output &out,
                                                 int *status) {
  std::string error;
  if (!CheckTlsSettings(o.tls, &error)) {
    *status = out.fail(kExitUsage, "TLS settings: " + error);
    return nullptr;
  }
  uint32_t address = 0;
  if (!ResolveIpv4(o.host, &address, &error)) {
    *status = out.fail(kExitConnection, error);
    return nullptr;
  }

  std::string proxyHost;
  uint16_t proxyPort = kDefaultAgentPort;
  uint32_t proxyAddress = 0;
  if (!o.proxy.empty()) {
    if (!SplitHostPort(o.proxy, kDefaultAgentPort, &proxyHost, &proxyPort, &error)) {
      *status = out.fail(kExitUsage, "--proxy: " + error);
      return nullptr;
    }
    if (!ResolveIpv4(proxyHost, &proxyAddress, &error)) {
      *status = out.fail(kExitConnection, "proxy: " + error);
      return nullptr;
    }
  }

  // Policies that encrypt from the start need a key; without -K or
  // --generate-key a throw-away one is made for them. TLS straight to the
  // agent leaves no key exchange to make (the library skips it), so none
  // is made then; through a proxy the agent's own policy still applies.
  RsaKey key;
  const bool tlsToAgent = o.tls.requested && o.proxy.empty();
  const bool needsKey = !tlsToAgent && (o.encryption == ENCRYPTION_IF_POSSIBLE ||
                                        o.encryption == ENCRYPTION_MANDATORY);
  if (!o.keyFile.empty()) {
    key = LoadServerKey(o.keyFile, &error);
    if (!key) {
      *status = out.fail(kExitUsage, error);
      return nullptr;
    }
  } else if ((o.generateKey && !tlsToAgent) || needsKey) {
    key = GenerateServerKey(&error);
    if (!key) {
      *status = out.fail(kExitPeer, error);
      return nullptr;
    }
  }

  const int32_t auth = EffectiveAuth(o.auth, o.secret);
  std::unique_ptr<CliAgentConnection> conn;
  {
    WideSecret secret(o.secret.text());
    conn = std::make_unique<CliAgentConnection>(address, o.port, auth, secret.get(),
                                                o.debugLevel > 0);
  }
  if (o.tls.requested &&
      !conn->setTls(o.tls.settings, TlsExpectedName(o.tls, o.proxy.empty() ? o.host : proxyHost),
                    &error)) {
    *status = out.fail(kExitUsage, "TLS settings: " + error);
    return nullptr;
  }
  if (!o.proxy.empty()) {
    const Secret &proxySecretText = o.proxySecretGiven ? o.proxySecret : o.secret;
    const int32_t proxyAuth = o.proxyAuth >= 0 ? o.proxyAuth : EffectiveAuth(o.auth, proxySecretText);
    WideSecret proxySecret(proxySecretText.text());
    conn->setProxy(proxyAddress, proxyPort, proxyAuth, proxySecret.get());
  }
  // With a key at hand the session is keyed before the login (should that
  // key exchange fail, the session goes on in clear); without one, the
  // library's default (on demand) never sends a login to an agent that
  // demands encryption.
  if (o.encryption >= 0)
    conn->setEncryptionPolicy(o.encryption);
  else if (key)
    conn->setEncryptionPolicy(ENCRYPTION_IF_POSSIBLE);
  conn->setDownloadLimit(o.downloadLimit);
  conn->setCommandTimeout(o.timeoutMs);
  conn->setConnectionTimeout(o.timeoutMs);
  conn->setServerKey(std::move(key));

  uint32_t rcc = 0;
  uint32_t socketError = 0;
  if (!conn->connect(conn->serverKey(), o.debugLevel > 0, &rcc, &socketError)) {
    if (rcc == RCC_TLS_FAILED) {
      const std::string peer = o.proxy.empty()
                                   ? o.host + ":" + std::to_string(o.port)
                                   : "proxy " + proxyHost + ":" + std::to_string(proxyPort);
      *status = out.failTls(peer, conn->getTlsFailure(), conn->getTlsFailureDetail());
      return nullptr;
    }
    std::string detail;
    if (socketError != 0 && (rcc == RCC_CONNECT_FAILED || rcc == RCC_SOCKET_ERROR ||
                             rcc == RCC_INTERNAL_ERROR))
      detail = KmErrorText(static_cast<int>(socketError));
    if (rcc == RCC_ENCRYPTION_REQUIRED)
      detail = o.encryption == ENCRYPTION_OFF
                   ? "the agent requires encryption: leave out -e off"
                   : conn->serverKey() == nullptr
                         ? "the agent requires encryption: give -K FILE or --generate-key"
                         : std::string();
    if (rcc == RCC_AGENT_BUSY) detail = "the agent turned the session away; try again later";
    *status = out.failCode(AgentConnectExitStatus(rcc), "connecting to agent " + AgentLabel(o),
                           "agent", rcc, AgentErrorCodeToText(static_cast<int32_t>(rcc)), detail);
    return nullptr;
  }
  *status = kExitOk;
  return conn;
}

}  // namespace kmquery
