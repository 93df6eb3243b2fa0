// The library's message sink: printf-style, one message per call.
#pragma once

#include <cstdarg>

#if defined(__GNUC__)
#define KX_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define KX_PRINTF(a, b)
#endif

void kx_log(const char* fmt, ...) KX_PRINTF(1, 2);

// Source-unit names used in "INVALID HANDLE: %s,%d" and "ASSERT: %s,%d".
#define KX_UNIT_FILE ".\\Src\\file"
#define KX_UNIT_ADAPT ".\\Src\\adapt"
