// Fuzz target: the SNMPv3 decoder, its security parameters and the request
// cycle around it. The first byte picks what the rest is:
//   0  a whole message, parsed with an authPriv user (AES or DES by bit 7)
//      whose engine is known: header, security parameters, digest check
//   1  the plaintext of a scoped PDU, sealed here into a correctly
//      authenticated and encrypted message (the fuzzer could never forge
//      one), then parsed: decryption and the scoped PDU decoder
//   2  the answers of an agent (each a 2-byte big-endian length and that
//      many bytes) to doRequest on a fresh user: discovery, reports,
//      resends; it must end with a code, never with data that did not
//      authenticate
// Whatever decodes must survive every value conversion.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "ber.h"
#include "kmsnmp/snmp.h"
#include "usm.h"

namespace {

const uint8_t kEngine[] = {0x80, 0x00, 0x1F, 0x88, 0x04, 0x6B, 0x6D, 0x73};
const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};

void Check(bool ok) {
  if (!ok) abort();
}

void Convert(const SNMP_PDU &pdu) {
  Check(pdu.getNumVariables() <= SNMP_MAX_VARIABLES);
  for (uint32_t i = 0; i < pdu.getNumVariables(); i++) {
    const SNMP_Variable *v = pdu.getVariable(i);
    char16_t text[64];
    v->GetValueAsString(text, 64);
    bool hex = true;
    v->getValueAsPrintableString(text, 64, &hex);
    (void)v->GetValueAsUInt64();
  }
}

// The users, keyed once (each pass phrase costs 1 MiB of digest).
struct Users {
  std::unique_ptr<SNMP_SecurityContext> aes, des;
  std::unique_ptr<kmsnmp::Usm> sealAes, sealDes;  // the agent's side, for mode 1
  Users() {
    aes.reset(new SNMP_SecurityContext("fuzz", SNMP_SECURITY_AUTH_PRIV, SNMP_AUTH_SHA256,
                                       "authpass123", SNMP_PRIV_AES128, "privpass123"));
    des.reset(new SNMP_SecurityContext("fuzz", SNMP_SECURITY_AUTH_PRIV, SNMP_AUTH_MD5,
                                       "authpass123", SNMP_PRIV_DES, "privpass123"));
    aes->setAuthoritativeEngine(kEngine, sizeof(kEngine), 7, 5000);
    des->setAuthoritativeEngine(kEngine, sizeof(kEngine), 7, 5000);
    uint32_t error;
    sealAes = kmsnmp::Usm::create("fuzz", SNMP_SECURITY_AUTH_PRIV, SNMP_AUTH_SHA256, "authpass123",
                                  SNMP_PRIV_AES128, "privpass123", &error);
    sealDes = kmsnmp::Usm::create("fuzz", SNMP_SECURITY_AUTH_PRIV, SNMP_AUTH_MD5, "authpass123",
                                  SNMP_PRIV_DES, "privpass123", &error);
    sealAes->setEngine(kEngine, sizeof(kEngine), 7, 5000);
    sealDes->setEngine(kEngine, sizeof(kEngine), 7, 5000);
  }
};

Users &TheUsers() {
  static Users users;
  return users;
}

// An authPriv message around `plain` as the scoped PDU's plaintext.
std::vector<uint8_t> Seal(const kmsnmp::Usm &usm, const uint8_t *plain, size_t length) {
  using kmsnmp::BerElementSize;
  const size_t encrypted = usm.cipherLength(length);
  const uint8_t flags = 0x03;
  auto intSize = [](uint32_t v) {
    return BerElementSize(kmsnmp::BerInt32ContentSize(static_cast<int32_t>(v)));
  };
  size_t header = intSize(99) + intSize(65507) + BerElementSize(1) + intSize(3);
  size_t security = BerElementSize(sizeof(kEngine)) + intSize(7) + intSize(5000) +
                    BerElementSize(4) + BerElementSize(usm.macLength()) + BerElementSize(8);
  size_t message = intSize(3) + BerElementSize(header) + BerElementSize(BerElementSize(security)) +
                   BerElementSize(encrypted);
  std::vector<uint8_t> out(BerElementSize(message));
  kmsnmp::BerWriter w(out.data(), out.size());
  w.header(ASN_SEQUENCE, message);
  w.int32(ASN_INTEGER, 3);
  w.header(ASN_SEQUENCE, header);
  w.int32(ASN_INTEGER, 99);
  w.int32(ASN_INTEGER, 65507);
  w.octets(ASN_OCTET_STRING, &flags, 1);
  w.int32(ASN_INTEGER, 3);
  w.header(ASN_OCTET_STRING, BerElementSize(security));
  w.header(ASN_SEQUENCE, security);
  w.octets(ASN_OCTET_STRING, kEngine, sizeof(kEngine));
  w.int32(ASN_INTEGER, 7);
  w.int32(ASN_INTEGER, 5000);
  w.octets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>("fuzz"), 4);
  w.header(ASN_OCTET_STRING, usm.macLength());
  size_t macOffset = w.size();
  w.zeros(usm.macLength());
  w.header(ASN_OCTET_STRING, 8);
  uint8_t *salt = w.zeros(8);
  w.header(ASN_OCTET_STRING, encrypted);
  uint8_t *data = w.zeros(encrypted);
  Check(!w.failed() && w.size() == out.size());
  if (length > 0) memcpy(data, plain, length);
  Check(usm.encrypt(data, length, 7, 5000, salt));
  Check(usm.sign(out.data(), out.size(), macOffset));
  return out;
}

// An agent that answers every message with the next scripted datagram.
class ScriptedAgent : public SNMP_Transport {
 public:
  int sendMessage(SNMP_PDU *pdu) override {
    std::vector<uint8_t> wire;
    return pdu->encode(wire, securityContext.get()) > 0 ? 1 : -1;
  }
  int readMessage(SNMP_PDU **pdu, uint32_t, struct sockaddr *, int *,
                  SNMP_SecurityContextFinder) override {
    if (answers.empty()) return 0;
    std::vector<uint8_t> wire = std::move(answers.front());
    answers.pop_front();
    if (wire.empty()) return 0;
    *pdu = decodeMessage(wire.data(), wire.size());
    return static_cast<int>(wire.size());
  }
  std::deque<std::vector<uint8_t>> answers;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  Users &users = TheUsers();
  const uint8_t mode = data[0] & 0x03;
  const bool des = data[0] & 0x80;
  data++;
  size--;
  if (mode == 0 || mode == 3) {
    SNMP_PDU pdu;
    if (pdu.parse(data, size, des ? users.des.get() : users.aes.get(), 0)) {
      Convert(pdu);
    } else {
      Check(pdu.getNumVariables() == 0 && pdu.getParseError() != SNMP_ERR_SUCCESS);
    }
  } else if (mode == 1) {
    std::vector<uint8_t> sealed = Seal(des ? *users.sealDes : *users.sealAes, data, size);
    SNMP_PDU pdu;
    if (pdu.parse(sealed.data(), sealed.size(), des ? users.des.get() : users.aes.get(), 0)) {
      Check(pdu.getSecurityLevel() == SNMP_SECURITY_AUTH_PRIV);
      Convert(pdu);
    } else {
      // It authenticated, so only the scoped PDU can have failed.
      Check(pdu.getParseError() == SNMP_ERR_RESPONSE_DECRYPT);
    }
  } else {
    ScriptedAgent agent;
    // A fresh copy: keys kept, engine to be discovered from the answers.
    agent.setSecurityContext(new SNMP_SecurityContext(des ? *users.des : *users.aes));
    size_t at = 0;
    while (at + 2 <= size && agent.answers.size() < 64) {
      size_t n = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
      at += 2;
      if (n > size - at) n = size - at;
      agent.answers.emplace_back(data + at, data + at + n);
      at += n;
    }
    SNMP_PDU request(SNMP_GET_REQUEST, 99, SNMP_VERSION_3);
    request.bindVariable(new SNMP_Variable(kSysDescr, 9));
    SNMP_PDU *answer = nullptr;
    uint32_t rc = agent.doRequest(&request, &answer, 0, 2);
    // Only an answer at the request's level (authPriv), which the fuzzer
    // cannot forge, may come back as data.
    Check((rc == SNMP_ERR_SUCCESS) == (answer != nullptr));
    if (answer != nullptr) {
      Check(answer->getSecurityLevel() == SNMP_SECURITY_AUTH_PRIV);
      Convert(*answer);
      delete answer;
    }
  }
  return 0;
}
