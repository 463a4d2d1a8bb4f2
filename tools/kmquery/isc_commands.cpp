#include "isc_commands.h"

#include <algorithm>
#include <CLI/CLI.hpp>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "cli_options.h"
#include "json_writer.h"
#include "kmbase/text.h"
#include "kmsrv/isc.h"

namespace kmquery {

namespace {

// Same words as the agent's -e; for ISC they decide whether a key is offered
// and whether the session must end up encrypted.
const Choices<int32_t> kPolicies = {
    {"off", 0}, {"on-demand", 1}, {"if-possible", 2}, {"mandatory", 3}};

class CliIsc : public ISC {
 public:
  CliIsc(uint32_t addressNetworkOrder, uint16_t port, uint32_t timeoutMs, bool verbose)
      : ISC(addressNetworkOrder, port), verbose_(verbose) {
    commandTimeout = std::max(timeoutMs, 500u);
    connectTimeout = std::max(timeoutMs, 1000u);
  }
  ~CliIsc() override { DisconnectAndWait(); }
  CliIsc(const CliIsc &) = delete;
  CliIsc &operator=(const CliIsc &) = delete;

  // The session's TLS protocol and cipher, empty when it does not run over
  // TLS.
  std::string tlsDescription() {
    Lock();
    const SOCKET sock = socket;
    std::string text = sock == INVALID_SOCKET ? std::string() : KmTlsDescription(sock);
    Unlock();
    return text;
  }

 protected:
  // Diagnostics go to standard error with -D 1 or more only.
  void PrintMsg(const char16_t *format, ...) override {
    if (!verbose_) return;
    va_list args;
    va_start(args, format);
    const std::string line = km_vformat_utf8(format, args);
    va_end(args);
    std::fprintf(stderr, "kmquery: isc session: %s\n", line.c_str());
  }

 private:
  const bool verbose_;
};

}  // namespace

IscCommand::IscCommand(CLI::App &root) {
  command_ = root.add_subcommand("isc", "Open a session with another server's ISC listener");
  command_->add_option("HOST", host_, "Peer's address or host name")->required();
  command_->require_subcommand(1);
  command_->fallthrough();
  const char *group = "ISC connection";
  command_->add_option("-p,--port", port_, "Peer's TCP port (default 4702)")
      ->check(CLI::Range(1, 65535))
      ->option_text("PORT")
      ->group(group);
  AddChoiceOption(command_, "-e,--encryption", &encryption_, kPolicies,
                  "off: never; on-demand (default): when the peer asks; if-possible: try "
                  "first; mandatory: the session must be encrypted")
      ->group(group);
  auto *key = command_->add_option("-K,--key", keyFile_, "Server's RSA private key (PEM file)")
                  ->check(CLI::ExistingFile)
                  ->option_text("FILE")
                  ->group(group);
  auto *gen = command_
                  ->add_flag("--generate-key", generateKey_,
                             "Use a throw-away 2048-bit RSA key for the key exchange")
                  ->group(group);
  key->excludes(gen);
  command_
      ->add_option("-w,--timeout", timeoutMs_,
                   "Milliseconds to wait for each reply and for the TCP connect (default 10000)")
      ->check(CLI::Range(1u, 3600000u))
      ->option_text("MS")
      ->group(group);
  AddTlsOptions(command_, &tls_, group);

  nop_ = command_->add_subcommand("nop", "Open the session for a service, then test that the "
                                         "peer answers");
  nop_->fallthrough();
  nop_->add_option("-S,--service", service_, "Service number (default 0)")->option_text("ID");
  CLI::App *connect = command_->add_subcommand("connect", "Open the session for SERVICE");
  connect->fallthrough();
  connect->add_option("SERVICE", service_, "Service number")->required();
}

bool IscCommand::selected() const { return command_->parsed(); }

int IscCommand::run(const Output &out, int32_t debugLevel) {
  std::string error;
  if (!CheckTlsSettings(tls_, &error)) return out.fail(kExitUsage, "TLS settings: " + error);
  uint32_t address = 0;
  if (!ResolveIpv4(host_, &address, &error)) return out.fail(kExitConnection, error);
  const std::string peer = host_ + ":" + std::to_string(port_);

  // off never offers a key; on-demand offers one only when given (the
  // session then starts encrypted); if-possible and mandatory make one when
  // none is given. Over TLS there is no key exchange (the library skips
  // it), so no key is made for one.
  RsaKey key;
  if (encryption_ != 0 && !tls_.requested) {
    if (!keyFile_.empty()) {
      key = LoadServerKey(keyFile_, &error);
      if (!key) return out.fail(kExitUsage, error);
    } else if (generateKey_ || encryption_ >= 2) {
      key = GenerateServerKey(&error);
      if (!key) return out.fail(kExitPeer, error);
    }
  }
  const bool required = encryption_ == 3;

  CliIsc session(address, port_, timeoutMs_, debugLevel > 0);
  if (tls_.requested && !session.setTls(tls_.settings, TlsExpectedName(tls_, host_), &error))
    return out.fail(kExitUsage, "TLS settings: " + error);
  uint32_t rc = session.Connect(service_, key.get(), required);
  const std::string what = "opening ISC session with " + peer + " for service " +
                           std::to_string(service_);
  if (rc == ISC_RESULT_TLS_FAILED)
    return out.failTls(peer, session.getTlsFailure(), session.getTlsFailureDetail());
  if (rc != ISC_RESULT_SUCCESS) {
    std::string detail;
    if (rc == ISC_RESULT_ENCRYPTION_REQUIRED && !key)
      detail = encryption_ == 0 ? "the peer requires encryption: do not give -e off"
                                : "the peer requires encryption: give -K FILE or --generate-key";
    return out.failCode(IscExitStatus(rc), what, "isc", rc, ISCErrorCodeToText(rc), detail);
  }
  const bool nop = nop_->parsed();
  if (nop) {
    rc = session.Nop();
    if (rc != ISC_RESULT_SUCCESS)
      return out.failCode(IscExitStatus(rc), "nop to ISC peer " + peer, "isc", rc,
                          ISCErrorCodeToText(rc));
  }
  const std::string tls = session.tlsDescription();
  const bool encrypted = session.isEncrypted() || !tls.empty();
  if (out.json()) {
    JsonWriter w;
    w.beginObject().key("peer").value(host_).key("port").value(static_cast<uint32_t>(port_));
    w.key("service").value(service_).key("protocolVersion").value(session.GetProtocolVersion());
    w.key("encrypted").value(encrypted);
    if (!tls.empty()) w.key("tls").value(tls);
    w.key("result").beginObject().key("code").value(rc).key("text").value(
        std::u16string(ISCErrorCodeToText(rc)));
    w.endObject().endObject();
    out.printJson(w.text());
  } else {
    out.print("ISC peer " + peer + (nop ? " answers" : " accepted the session") + ": service " +
              std::to_string(service_) + ", protocol version " +
              std::to_string(session.GetProtocolVersion()) + ", session " +
              ProtectionText(tls, encrypted) + "\n");
  }
  session.DisconnectAndWait();
  return kExitOk;
}

}  // namespace kmquery
