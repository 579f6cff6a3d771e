// File: platform/win32/windows_api.h (private to platform/win32/)
//
// The one place the Win32 backend includes <windows.h>, with the lean set-up every source here
// wants: no min/max macros, no rarely used sub-headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
