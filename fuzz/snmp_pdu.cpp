// Fuzz target: SNMP_PDU::parse on arbitrary bytes. Whatever parses must
// re-encode, parse again to the same bindings, and survive every value
// conversion.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kmsnmp/pdu.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void Convert(const SNMP_Variable *v) {
  char16_t text[64];
  v->GetValueAsString(text, 64);
  v->GetValueAsString(text, 1);
  bool hex = true;
  v->getValueAsPrintableString(text, 64, &hex);
  hex = true;
  v->getValueAsPrintableString(text, 3, &hex);
  uint8_t raw[16];
  Check(v->getRawValue(raw, sizeof(raw)) <= sizeof(raw));
  uint32_t oid[SNMP_MAX_OID_LENGTH];
  Check(v->getValueAsOid(oid, SNMP_MAX_OID_LENGTH) <= SNMP_MAX_OID_LENGTH);
  (void)v->GetValueAsInt();
  (void)v->GetValueAsUInt64();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  SNMP_SecurityContext ctx("public");
  SNMP_PDU pdu;
  if (!pdu.parse(data, size, &ctx, (size & 1) ? SNMP_PARSE_CHECK_COMMUNITY : 0)) {
    Check(pdu.getNumVariables() == 0);
    return 0;
  }
  Check(pdu.getNumVariables() <= SNMP_MAX_VARIABLES);
  for (uint32_t i = 0; i < pdu.getNumVariables(); i++) {
    const SNMP_Variable *v = pdu.getVariable(i);
    Check(v->getNameLength() >= 2 && v->getNameLength() <= SNMP_MAX_OID_LENGTH);
    Convert(v);
  }

  std::vector<uint8_t> again;
  size_t n = pdu.encode(again, &ctx);
  // Everything the decoder accepts can be written again, except types the
  // writer refuses in SNMPv1 (Counter64 and exceptions an agent sent anyway)
  // and messages at the size limit whose values grow by a leading zero.
  if (n == 0) {
    bool nearLimit = size + 8 * (pdu.getNumVariables() + 4) > SNMP_MAX_MESSAGE_SIZE;
    Check(pdu.getVersion() == SNMP_VERSION_1 || nearLimit);
    return 0;
  }
  SNMP_PDU back;
  Check(back.parse(again.data(), n, &ctx, SNMP_PARSE_CHECK_COMMUNITY));
  Check(back.getCommand() == pdu.getCommand() && back.getRequestId() == pdu.getRequestId() &&
        back.getErrorCode() == pdu.getErrorCode() && back.getErrorIndex() == pdu.getErrorIndex() &&
        back.getNumVariables() == pdu.getNumVariables());
  for (uint32_t i = 0; i < pdu.getNumVariables(); i++) {
    const SNMP_Variable *a = pdu.getVariable(i);
    const SNMP_Variable *b = back.getVariable(i);
    Check(a->getType() == b->getType() && a->getNameLength() == b->getNameLength() &&
          a->getValueLength() == b->getValueLength());
    Check(memcmp(a->getName(), b->getName(), a->getNameLength() * sizeof(uint32_t)) == 0);
    Check(a->getValueLength() == 0 ||
          memcmp(a->getValue(), b->getValue(), a->getValueLength()) == 0);
  }
  return 0;
}
