// net-snmp's client library behind a narrow interface, for the SNMP
// benchmarks' baselines. Its headers define macros that collide with ours, so
// they stay inside netsnmp_client.cpp. Each call runs synchronously on the
// calling thread; a session is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// A v2c session to "host:port", or null.
void *NetSnmpOpenV2c(const char *peer, const char *community);
// A v3 authPriv session (HMAC-SHA-256, AES-128) for `user`, or null. The
// keys are made from the pass phrases here, as an application would.
void *NetSnmpOpenV3Sha256Aes(const char *peer, const char *user, const char *authPass,
                             const char *privPass);
// One GET of sysUpTime.0; true when an answer arrived.
bool NetSnmpGetSysUpTime(void *session);
// Walks the subtree under root (numeric OID) with one-varbind GETNEXTs,
// copying out each value as a client would. The number of variables inside
// the subtree, or -1 when a request failed.
long NetSnmpWalk(void *session, const uint32_t *root, size_t rootLength);
// The same with GETBULK requests of maxRepetitions variables each.
long NetSnmpBulkWalk(void *session, const uint32_t *root, size_t rootLength, long maxRepetitions);
// The request sequence of interface discovery: GET ifNumber.0, walk
// ifIndex, for each interface GET ifDescr, ifAlias, ifName, ifType and
// ifPhysAddress, then walk ipAdEntAddr with GETs of the row's netmask and
// ifIndex. The number of interfaces found, or -1 on failure.
long NetSnmpInterfaceSequence(void *session);
void NetSnmpClose(void *session);
