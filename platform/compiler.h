// File: platform/compiler.h
//
// The few compiler-specific spellings the library needs, behind one name each, so no code
// outside platform/ tests which compiler it is built with:
//
//   MOX_FUNCTION_SIGNATURE   the compiler's text for the enclosing function, including its
//                            template arguments (used to derive type identities);
//   MOX_DIAGNOSTIC_PUSH / MOX_DIAGNOSTIC_POP and MOX_IGNORE_INVALID_OFFSETOF
//                            silence one warning over a few lines;
//   MOX_TARGET_32BIT         1 on targets with 32-bit pointers, else 0: the one test for "this
//                            is a 32-bit target", usable by the preprocessor (`#if`) and, as
//                            `platform::kIs32BitTarget`, in `if constexpr`;
//   MOX_RUNTIME_HAS_FREERES  1 when the C++ runtime is GNU libstdc++, which offers
//                            `__gnu_cxx::__freeres()` to release what it keeps for the life of
//                            the module it is linked into (the exception-handling emergency
//                            pool); else 0.
#pragma once

#include <cstdint>
// Any standard header defines the runtime's identification macro.
#include <cstddef>

#if defined(__GLIBCXX__)
#define MOX_RUNTIME_HAS_FREERES 1
#else
#define MOX_RUNTIME_HAS_FREERES 0
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define MOX_FUNCTION_SIGNATURE __FUNCSIG__
#define MOX_DIAGNOSTIC_PUSH __pragma(warning(push))
#define MOX_DIAGNOSTIC_POP __pragma(warning(pop))
#define MOX_IGNORE_INVALID_OFFSETOF
#else
#define MOX_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#define MOX_DIAGNOSTIC_PUSH _Pragma("GCC diagnostic push")
#define MOX_DIAGNOSTIC_POP _Pragma("GCC diagnostic pop")
#define MOX_IGNORE_INVALID_OFFSETOF _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
#define MOX_TARGET_32BIT 1
#else
#define MOX_TARGET_32BIT 0
#endif

namespace mox::platform {

// True on targets with 32-bit pointers, where the boundary records have their documented
// 32-bit sizes and offsets and headers static_assert them.
inline constexpr bool kIs32BitTarget = MOX_TARGET_32BIT == 1;
static_assert(kIs32BitTarget == (sizeof(void*) == 4));

}  // namespace mox::platform
