// SnmpGet, SnmpEnumerate and the request-id counter.
#include <arpa/inet.h>

#include <cstring>

#include "kmbase/log.h"
#include "kmbase/text.h"
#include "kmsrv/messages.h"
#include "kmsrv/snmp.h"

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

uint32_t StoreValue(const SNMP_Variable *var, void *buffer, uint32_t size, uint32_t flags) {
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

}  // namespace

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
    const SNMP_Variable *var = answer->getVariable(0);
    // endOfMibView cannot answer a GET; should an agent send it, it is no
    // value either.
    result = IsException(var->getType()) ? static_cast<uint32_t>(SNMP_ERR_NO_OBJECT)
                                         : StoreValue(var, valueBuffer, bufferSize, requestFlags);
  }
  delete answer;
  return result;
}

uint32_t SnmpEnumerate(uint32_t snmpVersion, SNMP_Transport *snmpTransport, const char16_t *rootOid,
                       SnmpWalkHandler walkHandler, void *handlerArg, int32_t logErrors) {
  if (snmpTransport == nullptr) return SNMP_ERR_COMM;
  uint32_t root[SNMP_MAX_OID_LENGTH];
  uint32_t rootLength = SNMPParseOID(rootOid, root, SNMP_MAX_OID_LENGTH);
  if (rootLength == 0) {
    LogError(MSG_OID_PARSE_ERROR, "s", rootOid);
    return SNMP_ERR_BAD_OID;
  }
  if (walkHandler == nullptr) return SNMP_ERR_PARAM;

  // One request and one binding serve the whole walk: each step only renames
  // the binding and takes a new id, so the request side allocates nothing per
  // step. Names decoded from answers never exceed SNMP_MAX_OID_LENGTH (the
  // decoder rejects longer ones), so the name buffer cannot overflow.
  uint32_t name[SNMP_MAX_OID_LENGTH];
  uint32_t nameLength = rootLength;
  memcpy(name, root, rootLength * sizeof(uint32_t));
  SNMP_PDU request(SNMP_GET_NEXT_REQUEST, 0, snmpVersion);
  auto *binding = new SNMP_Variable(name, nameLength);
  request.bindVariable(binding);

  for (;;) {
    request.setRequestId(SnmpNewRequestId());
    binding->setName(name, nameLength);
    SNMP_PDU *answer = nullptr;
    uint32_t rc =
        snmpTransport->doRequest(&request, &answer, g_dwSNMPTimeout.load(), SNMP_REQUEST_RETRIES);
    if (rc != SNMP_ERR_SUCCESS) {
      if (logErrors != 0) {
        LogError(MSG_SNMP_GET_ERROR, "d", static_cast<int32_t>(rc));
      }
      return rc;
    }
    uint32_t result = CheckAnswer(answer);
    SNMP_Variable *var = result == SNMP_ERR_SUCCESS ? answer->getVariable(0) : nullptr;
    bool stop = true;
    if (var == nullptr) {
      // An SNMPv1 agent says "nothing follows this name in my view" with
      // noSuchName to a GETNEXT: the walk has reached the end of the
      // device's MIB, as v2c's endOfMibView says, and is complete.
      if (snmpVersion == SNMP_VERSION_1 && answer->getVersion() == SNMP_VERSION_1 &&
          answer->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME) {
        result = SNMP_ERR_SUCCESS;
      }
    } else if (var->getType() == ASN_NO_SUCH_OBJECT || var->getType() == ASN_NO_SUCH_INSTANCE) {
      result = SNMP_ERR_NO_OBJECT;
    } else if (var->getType() == ASN_END_OF_MIBVIEW || var->getNameLength() < rootLength ||
               memcmp(var->getName(), root, rootLength * sizeof(uint32_t)) != 0) {
      result = SNMP_ERR_SUCCESS;  // the walk has left the subtree or the view
    } else {
      int order = SNMPCompareOID(var->getName(), var->getNameLength(), name, nameLength);
      if (order == 0) {
        result = SNMP_ERR_SUCCESS;  // a repeated name ends the walk
      } else if (order < 0) {
        result = SNMP_ERR_NOT_INCREASING;
      } else {
        nameLength = var->getNameLength();
        memcpy(name, var->getName(), nameLength * sizeof(uint32_t));
        result = walkHandler(snmpVersion, var, snmpTransport, handlerArg);
        stop = result != 0;
      }
    }
    delete answer;
    if (stop) return result;
  }
}
