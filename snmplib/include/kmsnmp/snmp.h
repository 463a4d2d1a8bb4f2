// libkmsnmp in one include: the SNMP library (BER codec, PDUs, variables,
// OID text, security contexts, transports, result codes). Each header says
// its own thread rules.
#pragma once

#include "kmsnmp/constants.h"
#include "kmsnmp/oid.h"
#include "kmsnmp/pdu.h"
#include "kmsnmp/result.h"
#include "kmsnmp/security.h"
#include "kmsnmp/transport.h"
#include "kmsnmp/udp_transport.h"
#include "kmsnmp/variable.h"
