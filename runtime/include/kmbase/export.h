// Symbol export for the three libraries (libkmbase, libkmsnmp, libkmsrv).
//
// Everything is built with -fvisibility=hidden; only declarations marked
// KMSRV_EXPORT are part of a library's ABI. On ELF the same attribute serves
// both the library that defines a symbol and the code that uses it.
#pragma once

#define KMSRV_EXPORT __attribute__((visibility("default")))
