#include "netsnmp_client.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstring>

void *NetSnmpOpenV2c(const char *peer, const char *community) {
  static bool initialised = false;
  if (!initialised) {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    init_snmp("kmbench");
    initialised = true;
  }
  netsnmp_session config;
  snmp_sess_init(&config);
  config.peername = const_cast<char *>(peer);
  config.version = SNMP_VERSION_2c;
  config.community = reinterpret_cast<u_char *>(const_cast<char *>(community));
  config.community_len = strlen(community);
  return snmp_sess_open(&config);
}

bool NetSnmpGetSysUpTime(void *session) {
  static const oid name[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(pdu, name, sizeof(name) / sizeof(name[0]));
  netsnmp_pdu *response = nullptr;
  int rc = snmp_sess_synch_response(session, pdu, &response);
  bool ok = rc == STAT_SUCCESS && response != nullptr && response->errstat == SNMP_ERR_NOERROR;
  if (response != nullptr) snmp_free_pdu(response);
  return ok;
}

void NetSnmpClose(void *session) { snmp_sess_close(session); }
