// The diagnostic log: "OMBRIX: " + message to the platform's debug output,
// filtered by category.
#pragma once

#include <cinttypes>
#include <cstdint>

// Categories; each call passes exactly one.
constexpr std::uint32_t kLogError = 1;
constexpr std::uint32_t kLogWarning = 2;
constexpr std::uint32_t kLogTrace = 4;
constexpr std::uint32_t kLogBam = 8;

// Bit set of the categories that are written; 0 until the settings are read.
extern std::uint32_t logMask;

// Pointer values are logged as fixed-width upper-case hexadecimal; pass them
// as std::uintptr_t.
#define OMBRIX_PTR "%0" OMBRIX_PTR_WIDTH PRIXPTR
#if UINTPTR_MAX == 0xFFFFFFFFu
#define OMBRIX_PTR_WIDTH "8"
#else
#define OMBRIX_PTR_WIDTH "16"
#endif

#ifdef __clang__
#define OMBRIX_PRINTF_FORMAT printf
#else
#define OMBRIX_PRINTF_FORMAT gnu_printf
#endif
void logMessage(std::uint32_t mask, const char* format, ...) __attribute__((format(OMBRIX_PRINTF_FORMAT, 2, 3)));

// The last error line (category kLogError, kept at any log level) logged on
// the calling thread since clearLastError, without prefix and line end; ""
// for none. Each export that can fail clears it first.
void clearLastError();
const char* lastErrorLine();
