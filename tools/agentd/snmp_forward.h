// Forwarding of MC_SNMP_REQUEST: one encoded SNMP request sent by UDP to the
// named device, and the first datagram the device sends back.
//
// Called on session threads; the wait is bounded and cut short by the
// server's stop.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kmbase/sync.h"

namespace kmagent::detail {

// The largest payload of one IPv4 UDP datagram (65535 less the IP and UDP
// headers): a larger request cannot be sent, and no answer can be larger.
inline constexpr uint32_t kMaxSnmpPdu = 65507;
// The SNMP port a request with port 0 goes to.
inline constexpr uint16_t kDefaultSnmpPort = 161;

enum class ForwardOutcome {
  Answered,  // *answer holds the device's datagram
  NoAnswer,  // nothing within the time, or the host reported the port closed
  Stopped,   // the server stops
  Failed,    // the agent's own socket failed
};

// Sends `pdu` (1 to kMaxSnmpPdu bytes) from a socket connected to
// address:port (host order), so that only the device's datagrams count, and
// waits up to timeoutMs for one.
ForwardOutcome ForwardSnmp(uint32_t address, uint16_t port, std::span<const uint8_t> pdu,
                           uint32_t timeoutMs, const KmEvent &stop, std::vector<uint8_t> *answer);

}  // namespace kmagent::detail
