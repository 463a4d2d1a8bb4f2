// Fuzz target: OID text and BER OID content. Text that parses prints and
// parses back to the same elements; BER content that decodes encodes back
// to the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ber.h"
#include "kmsnmp/oid.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

template <typename Char>
void TextRoundTrip(const Char *text) {
  uint32_t e[SNMP_MAX_OID_LENGTH];
  uint32_t n = SNMPParseOID(text, e, SNMP_MAX_OID_LENGTH);
  if (n == 0) return;
  Char printed[SNMP_MAX_OID_LENGTH * 11 + 1];
  SNMPConvertOIDToText(n, e, printed, sizeof(printed) / sizeof(Char));
  uint32_t back[SNMP_MAX_OID_LENGTH];
  Check(SNMPParseOID(printed, back, SNMP_MAX_OID_LENGTH) == n);
  Check(memcmp(e, back, n * sizeof(uint32_t)) == 0);
  // A short buffer is cut at whole elements and stays terminated.
  Char small[12];
  SNMPConvertOIDToText(n, e, small, 12);
  size_t len = 0;
  while (len < 12 && small[len] != 0) len++;
  Check(len < 12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> narrow(data, data + size);
  narrow.push_back(0);
  TextRoundTrip(narrow.data());
  std::vector<char16_t> wide(size / 2 + 1, 0);
  if (size >= 2) memcpy(wide.data(), data, (size / 2) * 2);
  TextRoundTrip(wide.data());

  uint32_t e[SNMP_MAX_OID_LENGTH];
  uint32_t n = kmsnmp::BerDecodeOid(data, size, e, SNMP_MAX_OID_LENGTH);
  if (n == 0) return 0;
  Check(n >= 2 && n <= SNMP_MAX_OID_LENGTH);
  std::vector<uint8_t> out(size + 16);
  kmsnmp::BerWriter w(out.data(), out.size());
  w.oid(ASN_OBJECT_ID, e, n);
  Check(!w.failed());
  size_t header = kmsnmp::BerHeaderSize(size);
  Check(w.size() == header + size && memcmp(out.data() + header, data, size) == 0);
  return 0;
}
