// How SnmpGet stores a variable's value into a caller's buffer (its format
// flags, or the type when none is given), for the code of libkmsrv that
// reads values that came another way (a driver's columns read ahead by a
// bulk walk) and must store them exactly as a GET would.
//
// Internal to libkmsrv. Any thread; touches only the caller's buffer.
#pragma once

#include <cstdint>

class SNMP_Variable;

namespace kmsrv {

// SNMP_ERR_SUCCESS, or SNMP_ERR_NO_OBJECT for an exception value and
// SNMP_ERR_BAD_TYPE (logged as message 24) for a type without conversion;
// the buffer is left untouched on failure.
uint32_t SnmpStoreValue(const SNMP_Variable *var, void *buffer, uint32_t size, uint32_t flags);

}  // namespace kmsrv
