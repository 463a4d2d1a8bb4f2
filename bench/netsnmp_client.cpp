#include "netsnmp_client.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Initialise() {
  static bool initialised = false;
  if (!initialised) {
    // No MIB files: every name here is numeric.
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    init_snmp("kmbench");
    initialised = true;
  }
}

}  // namespace

void *NetSnmpOpenV3Sha256Aes(const char *peer, const char *user, const char *authPass,
                             const char *privPass) {
  Initialise();
  netsnmp_session config;
  snmp_sess_init(&config);
  config.peername = const_cast<char *>(peer);
  config.version = SNMP_VERSION_3;
  config.securityName = const_cast<char *>(user);
  config.securityNameLen = strlen(user);
  config.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
  config.securityAuthProto = usmHMAC192SHA256AuthProtocol;
  config.securityAuthProtoLen = OID_LENGTH(usmHMAC192SHA256AuthProtocol);
  config.securityPrivProto = usmAESPrivProtocol;
  config.securityPrivProtoLen = OID_LENGTH(usmAESPrivProtocol);
  // Both keys come from their pass phrase through the authentication digest.
  auto key = [&config](const char *pass, u_char *out, size_t *length, size_t room) {
    *length = room;
    return generate_Ku(config.securityAuthProto, config.securityAuthProtoLen,
                       reinterpret_cast<const u_char *>(pass), strlen(pass), out,
                       length) == SNMPERR_SUCCESS;
  };
  if (!key(authPass, config.securityAuthKey, &config.securityAuthKeyLen, USM_AUTH_KU_LEN) ||
      !key(privPass, config.securityPrivKey, &config.securityPrivKeyLen, USM_PRIV_KU_LEN))
    return nullptr;
  return snmp_sess_open(&config);
}

void *NetSnmpOpenV2c(const char *peer, const char *community) {
  Initialise();
  netsnmp_session config;
  snmp_sess_init(&config);
  config.peername = const_cast<char *>(peer);
  config.version = SNMP_VERSION_2c;
  config.community = reinterpret_cast<u_char *>(const_cast<char *>(community));
  config.community_len = strlen(community);
  return snmp_sess_open(&config);
}

namespace {

// What a client keeps of a value: integers as such, strings copied out.
struct Value {
  long integer = 0;
  char text[256] = {0};
};

void CopyOut(const netsnmp_variable_list *var, Value *out) {
  switch (var->type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      out->integer = *var->val.integer;
      break;
    case ASN_IPADDRESS:
      if (var->val_len == 4) {
        uint32_t a;
        std::memcpy(&a, var->val.string, 4);
        out->integer = a;
      }
      break;
    case ASN_OCTET_STR: {
      size_t n = var->val_len < sizeof(out->text) - 1 ? var->val_len : sizeof(out->text) - 1;
      std::memcpy(out->text, var->val.string, n);
      out->text[n] = 0;
      break;
    }
    default:
      break;
  }
}

bool IsException(const netsnmp_variable_list *var) {
  return var->type == SNMP_NOSUCHOBJECT || var->type == SNMP_NOSUCHINSTANCE ||
         var->type == SNMP_ENDOFMIBVIEW;
}

// One GET of name; true with *value when the agent had it.
bool Get(void *session, const oid *name, size_t length, Value *value) {
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(pdu, name, length);
  netsnmp_pdu *response = nullptr;
  const int rc = snmp_sess_synch_response(session, pdu, &response);
  bool ok = rc == STAT_SUCCESS && response != nullptr && response->errstat == SNMP_ERR_NOERROR &&
            response->variables != nullptr && !IsException(response->variables);
  if (ok) CopyOut(response->variables, value);
  if (response != nullptr) snmp_free_pdu(response);
  return ok;
}

// Walks root calling visit(name, length, value) for each variable inside,
// with GETNEXT (maxRepetitions 0) or GETBULK requests.
template <typename Visit>
long Walk(void *session, const oid *root, size_t rootLength, Visit visit, long maxRepetitions = 0) {
  oid name[MAX_OID_LEN];
  size_t length = rootLength;
  std::memcpy(name, root, rootLength * sizeof(oid));
  long count = 0;
  for (;;) {
    netsnmp_pdu *pdu = snmp_pdu_create(maxRepetitions > 0 ? SNMP_MSG_GETBULK : SNMP_MSG_GETNEXT);
    if (maxRepetitions > 0) {
      pdu->non_repeaters = 0;
      pdu->max_repetitions = maxRepetitions;
    }
    snmp_add_null_var(pdu, name, length);
    netsnmp_pdu *response = nullptr;
    const int rc = snmp_sess_synch_response(session, pdu, &response);
    if (rc != STAT_SUCCESS || response == nullptr || response->errstat != SNMP_ERR_NOERROR ||
        response->variables == nullptr) {
      if (response != nullptr) snmp_free_pdu(response);
      return -1;
    }
    bool inside = true;
    for (netsnmp_variable_list *var = response->variables; inside && var != nullptr;
         var = var->next_variable) {
      inside = var->type != SNMP_ENDOFMIBVIEW && var->name_length > rootLength &&
               var->name_length <= MAX_OID_LEN &&
               std::memcmp(var->name, root, rootLength * sizeof(oid)) == 0;
      if (inside) {
        Value value;
        CopyOut(var, &value);
        length = var->name_length;
        std::memcpy(name, var->name, length * sizeof(oid));
        visit(name, length, value);
        count++;
      }
    }
    snmp_free_pdu(response);
    if (!inside) return count;
  }
}

}  // namespace

bool NetSnmpGetSysUpTime(void *session) {
  static const oid name[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
  Value value;
  return Get(session, name, sizeof(name) / sizeof(name[0]), &value);
}

long NetSnmpWalk(void *session, const uint32_t *root, size_t rootLength) {
  if (rootLength > MAX_OID_LEN) return -1;
  oid name[MAX_OID_LEN];
  for (size_t i = 0; i < rootLength; i++) name[i] = root[i];
  return Walk(session, name, rootLength, [](const oid *, size_t, const Value &) {});
}

long NetSnmpBulkWalk(void *session, const uint32_t *root, size_t rootLength, long maxRepetitions) {
  if (rootLength > MAX_OID_LEN || maxRepetitions < 1) return -1;
  oid name[MAX_OID_LEN];
  for (size_t i = 0; i < rootLength; i++) name[i] = root[i];
  return Walk(
      session, name, rootLength, [](const oid *, size_t, const Value &) {}, maxRepetitions);
}

long NetSnmpInterfaceSequence(void *session) {
  static const oid ifNumber[] = {1, 3, 6, 1, 2, 1, 2, 1, 0};
  static const oid ifIndex[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 1};
  static const oid ipAdEntAddr[] = {1, 3, 6, 1, 2, 1, 4, 20, 1, 1};
  Value value;
  if (!Get(session, ifNumber, 9, &value)) return -1;
  std::vector<long> indexes;
  if (Walk(session, ifIndex, 10,
           [&](const oid *, size_t, const Value &v) { indexes.push_back(v.integer); }) < 0)
    return -1;
  for (long index : indexes) {
    // ifDescr, ifAlias, ifName, ifType, ifPhysAddress of the row.
    oid ifEntry[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 0, 0};
    oid ifXEntry[] = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 0, 0};
    ifEntry[10] = ifXEntry[11] = static_cast<oid>(index);
    Value descr, alias, name, type, mac;
    ifEntry[9] = 2;
    if (!Get(session, ifEntry, 11, &descr)) return -1;
    ifXEntry[10] = 18;
    Get(session, ifXEntry, 12, &alias);
    ifXEntry[10] = 1;
    Get(session, ifXEntry, 12, &name);
    ifEntry[9] = 3;
    Get(session, ifEntry, 11, &type);
    ifEntry[9] = 6;
    Get(session, ifEntry, 11, &mac);
  }
  if (Walk(session, ipAdEntAddr, 10, [&](const oid *row, size_t length, const Value &) {
        if (length != 14) return;
        oid cell[14];
        std::memcpy(cell, row, sizeof(cell));
        Value mask, owner;
        cell[9] = 3;
        Get(session, cell, 14, &mask);
        cell[9] = 2;
        Get(session, cell, 14, &owner);
      }) < 0)
    return -1;
  return static_cast<long>(indexes.size());
}

void NetSnmpClose(void *session) { snmp_sess_close(session); }
