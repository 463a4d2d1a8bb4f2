// Pieces every kmquery command shares: exit statuses and how library result
// codes map onto them, host and port arguments, the server key, and the
// Output that prints results (a table or JSON) and failures.
//
// kmquery is single-threaded apart from the library's own threads; nothing
// here is called from those.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kmbase/tls.h"

typedef struct rsa_st RSA;

namespace kmquery {

// Exit statuses (docs/cli.md lists them for users).
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;       // bad command line, unreadable argument file
inline constexpr int kExitConnection = 3;  // peer not reachable, not answering, session lost
inline constexpr int kExitPeer = 4;        // the peer refused or the request failed
// 5 is SNMPv3's (kExitSnmpCredentials, snmp_commands.h). 6: TLS with the
// peer could not be set up (its certificate did not check out, it wanted
// ours, the handshake failed).
inline constexpr int kExitTls = 6;

// Which exit status a failed library call gives. Agent codes: 408, 500 (only
// while connecting), 900, 901, 910 and 912 mean the agent was not reached or
// the session was lost; everything else is the agent's (or the request's)
// answer.
int AgentConnectExitStatus(uint32_t rcc);
int AgentRequestExitStatus(uint32_t rcc);
// SNMP: a time-out (a wrong community looks the same: the device stays
// silent) or a transport failure is a connection failure.
int SnmpExitStatus(uint32_t code);
// ISC: connection broken, socket error, connect failed, bad protocol
// version, request time-out.
int IscExitStatus(uint32_t code);

// Why TLS failed, for a person: the failure's own text, and OpenSSL's words
// (detail) in parentheses where that text alone says too little (a failure
// without a category of its own, or settings that did not fit).
std::string TlsFailureReason(KmTlsFailure failure, const std::string &detail);

// Splits "HOST" or "HOST:PORT"; without a port *port is defaultPort. False
// with a reason for an empty host or a port outside 1..65535.
bool SplitHostPort(std::string_view text, uint16_t defaultPort, std::string *host, uint16_t *port,
                   std::string *error);
// Resolves a dotted IPv4 address or a host name to an IPv4 address in
// network byte order. False with a reason when it does not resolve.
bool ResolveIpv4(const std::string &host, uint32_t *addressNetworkOrder, std::string *error);

// The server's RSA key for session key exchange.
struct RsaFree {
  void operator()(RSA *key) const;
};
using RsaKey = std::unique_ptr<RSA, RsaFree>;
// Reads an RSA private key from a PEM file (PKCS#8 or traditional). Null
// with a reason when the file cannot be read or holds no RSA private key.
RsaKey LoadServerKey(const std::string &path, std::string *error);
// A new throw-away 2048-bit key.
RsaKey GenerateServerKey(std::string *error);

// A secret given on the command line; the copy is wiped when it goes.
// The first line of a file holding a secret (at most maxBytes of it),
// without its line end; the buffer it was read into is wiped. False (errno
// set) when the file cannot be read.
bool ReadSecretLine(const std::string &path, size_t maxBytes, std::string *secret);

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string text) : text_(std::move(text)) {}
  ~Secret();
  Secret(const Secret &) = delete;
  Secret &operator=(const Secret &) = delete;
  Secret &operator=(std::string text);
  const std::string &text() const { return text_; }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};

// Where results and failures go. Results go to standard output: a table or
// lines in human mode, one JSON document with --json. Failures go to
// standard error as one line "kmquery: ..."; with --json standard output
// also gets {"error": {...}} so that scripts always have a document.
class Output {
 public:
  explicit Output(bool json) : json_(json) {}
  bool json() const { return json_; }

  // Writes text (which should end in a newline) to standard output.
  void print(const std::string &text) const;
  // A JSON document and a newline to standard output.
  void printJson(const std::string &document) const;

  // Reports a failure without a library code; returns status.
  int fail(int status, const std::string &message) const;
  // Reports a failed library call: "<what>: error <code> (<text>)", then
  // ": <detail>" when one is given; domain ("agent", "snmp", "isc") says
  // whose code it is. Returns status.
  int failCode(int status, const std::string &what, const char *domain, int64_t code,
               const std::u16string &text, const std::string &detail = {}) const;
  // Reports a failed TLS setup with peer ("HOST:PORT") as one line, "TLS
  // with <peer> failed: <reason>", the reason saying what did not match
  // (TlsFailureReason). Returns kExitTls.
  int failTls(const std::string &peer, KmTlsFailure failure, const std::string &detail) const;

 private:
  bool json_;
};

}  // namespace kmquery
