// net-snmp's client library behind a narrow interface, for the SNMP
// benchmark's baseline. Its headers define macros that collide with ours, so
// they stay inside netsnmp_client.cpp.
#pragma once

// A v2c session to "host:port", or null.
void *NetSnmpOpenV2c(const char *peer, const char *community);
// One GET of sysUpTime.0; true when an answer arrived.
bool NetSnmpGetSysUpTime(void *session);
void NetSnmpClose(void *session);
