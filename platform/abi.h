// File: platform/abi.h
//
// The calling convention and export marker of the library boundary. Every function pointer in
// a record the host reads, and every function the host calls, is declared MOX_CDECL; the one
// exported entry point is also MOX_EXPORT. Outside platform/ these macros are the only way the
// code names a platform's ABI.
#pragma once

#include "platform/compiler.h"

#if defined(__i386__) || defined(_M_IX86)
#define MOX_CDECL __attribute__((cdecl))
#else
#define MOX_CDECL  // x86-64 and others have a single C calling convention
#endif

#if defined(_WIN32)
#define MOX_EXPORT __declspec(dllexport)
#else
#define MOX_EXPORT __attribute__((visibility("default")))
#endif
