// SnmpGet, SnmpEnumerate and the request-id counter.
#include <arpa/inet.h>

#include <cstring>

#include "kmbase/log.h"
#include "kmbase/text.h"
#include "kmsrv/messages.h"
#include "kmsrv/snmp.h"
#include "value_store.h"

std::atomic<uint32_t> g_dwSNMPTimeout{2000};

namespace {

std::atomic<uint32_t> g_requestId{1};

// Logs a catalogue message with event type 1 (error).
template <typename... Inserts>
void LogError(uint32_t messageId, const char *letters, Inserts... inserts) {
  KmEnsureServerCatalogue();
  kmlog_write(messageId, KMLOG_ERROR, letters, inserts...);
}

bool IsException(uint32_t type) {
  return type == ASN_NO_SUCH_OBJECT || type == ASN_NO_SUCH_INSTANCE || type == ASN_END_OF_MIBVIEW;
}

// Error status and binding count of an answer: 0 when it carries a value.
uint32_t CheckAnswer(const SNMP_PDU *answer) {
  if (answer->getNumVariables() == 0 || answer->getErrorCode() != SNMP_PDU_ERR_SUCCESS) {
    return answer->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME ? SNMP_ERR_NO_OBJECT
                                                               : SNMP_ERR_AGENT;
  }
  return SNMP_ERR_SUCCESS;
}

}  // namespace

uint32_t kmsrv::SnmpStoreValue(const SNMP_Variable *var, void *buffer, uint32_t size,
                               uint32_t flags) {
  // endOfMibView cannot answer a GET; should an agent send it, it is no
  // value either.
  if (IsException(var->getType())) return SNMP_ERR_NO_OBJECT;
  auto *text = static_cast<char16_t *>(buffer);
  if (flags & SNMPGET_AS_RAW) {
    var->getRawValue(buffer, size);
  } else if (flags & SNMPGET_AS_HEX) {
    if (size > 0) {
      size_t bytes = (static_cast<size_t>(size) - 1) / 2;
      if (bytes > var->getValueLength()) bytes = var->getValueLength();
      BinToStr(var->getValue(), bytes, text);
    }
  } else if (flags & SNMPGET_AS_STRING) {
    var->GetValueAsString(text, size);
  } else if (flags & SNMPGET_AS_PRINTABLE) {
    bool convertToHex = true;
    var->getValueAsPrintableString(text, size, &convertToHex);
  } else {
    switch (var->getType()) {
      case ASN_INTEGER:
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32: {
        int32_t v = var->GetValueAsInt();
        memcpy(buffer, &v, sizeof(v));
        break;
      }
      case ASN_OCTET_STRING:
      case ASN_OBJECT_ID:
        var->GetValueAsString(text, size);
        break;
      case ASN_IP_ADDR: {
        uint32_t v = ntohl(var->GetValueAsUInt());
        memcpy(buffer, &v, sizeof(v));
        break;
      }
      default:
        LogError(MSG_SNMP_UNKNOWN_TYPE, "x", var->getType());
        return SNMP_ERR_BAD_TYPE;
    }
  }
  return SNMP_ERR_SUCCESS;
}

uint32_t SnmpNewRequestId() { return g_requestId.fetch_add(1, std::memory_order_relaxed); }

uint32_t SnmpGet(uint32_t snmpVersion, SNMP_Transport *snmpTransport, const char16_t *oidText,
                 const uint32_t *oidBinary, uint32_t oidLength, void *valueBuffer,
                 uint32_t bufferSize, uint32_t requestFlags) {
  if (snmpTransport == nullptr) return SNMP_ERR_COMM;
  SNMP_PDU request(SNMP_GET_REQUEST, SnmpNewRequestId(), snmpVersion);
  if (valueBuffer == nullptr || (oidText == nullptr && oidBinary == nullptr)) return SNMP_ERR_PARAM;

  uint32_t name[SNMP_MAX_OID_LENGTH];
  uint32_t nameLength;
  if (oidText != nullptr) {
    nameLength = SNMPParseOID(oidText, name, SNMP_MAX_OID_LENGTH);
    if (nameLength == 0) {
      LogError(MSG_OID_PARSE_ERROR, "s", oidText);
      return SNMP_ERR_BAD_OID;
    }
  } else {
    if (oidLength > SNMP_MAX_OID_LENGTH) return SNMP_ERR_BAD_OID;
    memcpy(name, oidBinary, oidLength * sizeof(uint32_t));
    nameLength = oidLength;
  }
  request.bindVariable(new SNMP_Variable(name, nameLength));

  SNMP_PDU *answer = nullptr;
  uint32_t rc =
      snmpTransport->doRequest(&request, &answer, g_dwSNMPTimeout.load(), SNMP_REQUEST_RETRIES);
  if (rc != SNMP_ERR_SUCCESS) {
    if (requestFlags & SNMPGET_LOG_FAILURE) {
      LogError(MSG_SNMP_GET_ERROR, "d", static_cast<int32_t>(rc));
    }
    return rc;
  }
  uint32_t result = CheckAnswer(answer);
  if (result == SNMP_ERR_SUCCESS) {
    result = kmsrv::SnmpStoreValue(answer->getVariable(0), valueBuffer, bufferSize, requestFlags);
  }
  delete answer;
  return result;
}

namespace {

// What the two walks share: the root, the name last visited, and the one
// judgement of a variable found (inside the subtree, in order, or the end).
struct Walk {
  uint32_t root[SNMP_MAX_OID_LENGTH];
  uint32_t rootLength = 0;
  // Names decoded from answers never exceed SNMP_MAX_OID_LENGTH (the decoder
  // rejects longer ones), so this buffer cannot overflow.
  uint32_t name[SNMP_MAX_OID_LENGTH];
  uint32_t nameLength = 0;

  uint32_t begin(SNMP_Transport *transport, const char16_t *rootOid, SnmpWalkHandler handler) {
    if (transport == nullptr) return SNMP_ERR_COMM;
    rootLength = SNMPParseOID(rootOid, root, SNMP_MAX_OID_LENGTH);
    if (rootLength == 0) {
      LogError(MSG_OID_PARSE_ERROR, "s", rootOid);
      return SNMP_ERR_BAD_OID;
    }
    if (handler == nullptr) return SNMP_ERR_PARAM;
    nameLength = rootLength;
    memcpy(name, root, rootLength * sizeof(uint32_t));
    return SNMP_ERR_SUCCESS;
  }

  // One variable of an answer. True: it was handed to the handler, which
  // wants more. False: the walk ends with *result (0 when it left the
  // subtree or the view or repeated the name, an error code, or the
  // handler's own).
  bool visit(SNMP_Variable *var, uint32_t version, SNMP_Transport *transport,
             SnmpWalkHandler handler, void *arg, uint32_t *result) {
    *result = SNMP_ERR_SUCCESS;
    if (var->getType() == ASN_NO_SUCH_OBJECT || var->getType() == ASN_NO_SUCH_INSTANCE) {
      *result = SNMP_ERR_NO_OBJECT;
      return false;
    }
    if (var->getType() == ASN_END_OF_MIBVIEW || var->getNameLength() < rootLength ||
        memcmp(var->getName(), root, rootLength * sizeof(uint32_t)) != 0) {
      return false;  // the walk has left the subtree or the view
    }
    int order = SNMPCompareOID(var->getName(), var->getNameLength(), name, nameLength);
    if (order <= 0) {
      // A repeated name ends the walk; one that goes back is a broken agent
      // that could make it loop forever.
      if (order < 0) *result = SNMP_ERR_NOT_INCREASING;
      return false;
    }
    nameLength = var->getNameLength();
    memcpy(name, var->getName(), nameLength * sizeof(uint32_t));
    *result = handler(version, var, transport, arg);
    return *result == 0;
  }

  uint32_t requestFailed(uint32_t rc, int32_t logErrors) const {
    if (logErrors != 0) LogError(MSG_SNMP_GET_ERROR, "d", static_cast<int32_t>(rc));
    return rc;
  }
};

// An SNMPv1 agent says "nothing follows this name in my view" with
// noSuchName to a GETNEXT: the walk has reached the end of the device's
// MIB, as v2c's endOfMibView says, and is complete.
bool IsV1EndOfView(uint32_t version, const SNMP_PDU *answer) {
  return version == SNMP_VERSION_1 && answer->getVersion() == SNMP_VERSION_1 &&
         answer->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME;
}

// Bytes one binding of this answer may take on the wire, generously: each
// name element up to 5 bytes, the value, and the headers around them.
size_t BindingBytes(const SNMP_Variable *var) {
  return static_cast<size_t>(var->getNameLength()) * 5 + var->getValueLength() + 16;
}

// What a GETBULK answer may hold: one datagram, less the message around the
// bindings (SNMPv3 headers and security parameters take most of it).
constexpr size_t kBulkAnswerBudget = SNMP_MAX_MESSAGE_SIZE - 1024;

}  // namespace

uint32_t SnmpEnumerate(uint32_t snmpVersion, SNMP_Transport *snmpTransport, const char16_t *rootOid,
                       SnmpWalkHandler walkHandler, void *handlerArg, int32_t logErrors) {
  Walk walk;
  uint32_t rc = walk.begin(snmpTransport, rootOid, walkHandler);
  if (rc != SNMP_ERR_SUCCESS) return rc;

  // One request and one binding serve the whole walk: each step only renames
  // the binding and takes a new id, so the request side allocates nothing per
  // step.
  SNMP_PDU request(SNMP_GET_NEXT_REQUEST, 0, snmpVersion);
  auto *binding = new SNMP_Variable(walk.name, walk.nameLength);
  request.bindVariable(binding);

  for (;;) {
    request.setRequestId(SnmpNewRequestId());
    binding->setName(walk.name, walk.nameLength);
    SNMP_PDU *answer = nullptr;
    rc = snmpTransport->doRequest(&request, &answer, g_dwSNMPTimeout.load(), SNMP_REQUEST_RETRIES);
    if (rc != SNMP_ERR_SUCCESS) return walk.requestFailed(rc, logErrors);
    uint32_t result = CheckAnswer(answer);
    bool more = false;
    if (result != SNMP_ERR_SUCCESS) {
      if (IsV1EndOfView(snmpVersion, answer)) result = SNMP_ERR_SUCCESS;
    } else {
      more = walk.visit(answer->getVariable(0), snmpVersion, snmpTransport, walkHandler, handlerArg,
                        &result);
    }
    delete answer;
    if (!more) return result;
  }
}

uint32_t SnmpWalkBulk(uint32_t snmpVersion, SNMP_Transport *snmpTransport, const char16_t *rootOid,
                      SnmpWalkHandler walkHandler, void *handlerArg, int32_t logErrors,
                      uint32_t maxRepetitions) {
  if (snmpVersion == SNMP_VERSION_1)
    return SnmpEnumerate(snmpVersion, snmpTransport, rootOid, walkHandler, handlerArg, logErrors);
  Walk walk;
  uint32_t rc = walk.begin(snmpTransport, rootOid, walkHandler);
  if (rc != SNMP_ERR_SUCCESS) return rc;
  uint32_t repetitions = maxRepetitions == 0 ? SNMP_DEFAULT_MAX_REPETITIONS : maxRepetitions;
  if (repetitions > SNMP_MAX_VARIABLES) repetitions = SNMP_MAX_VARIABLES;

  SNMP_PDU request(SNMP_GET_BULK_REQUEST, 0, snmpVersion);
  auto *binding = new SNMP_Variable(walk.name, walk.nameLength);
  request.bindVariable(binding);
  request.setNonRepeaters(0);

  for (;;) {
    request.setRequestId(SnmpNewRequestId());
    request.setMaxRepetitions(repetitions);
    binding->setName(walk.name, walk.nameLength);
    SNMP_PDU *answer = nullptr;
    rc = snmpTransport->doRequest(&request, &answer, g_dwSNMPTimeout.load(), SNMP_REQUEST_RETRIES);
    if (rc != SNMP_ERR_SUCCESS) return walk.requestFailed(rc, logErrors);
    if (answer->getErrorCode() == SNMP_PDU_ERR_TOO_BIG && repetitions > 1) {
      repetitions /= 2;
      delete answer;
      continue;
    }
    uint32_t result = CheckAnswer(answer);
    bool more = result == SNMP_ERR_SUCCESS;
    size_t bytes = 0;
    for (uint32_t i = 0; more && i < answer->getNumVariables(); i++) {
      SNMP_Variable *var = answer->getVariable(i);
      bytes += BindingBytes(var);
      more = walk.visit(var, snmpVersion, snmpTransport, walkHandler, handlerArg, &result);
    }
    if (more) {
      // Would a full answer of variables like these still fit?
      size_t perBinding = bytes / answer->getNumVariables() + 1;
      while (repetitions > 1 && perBinding * repetitions > kBulkAnswerBudget) repetitions /= 2;
    }
    delete answer;
    if (!more) return result;
  }
}
