// The result codes every call reports, by the names of the packer interface.
// The whole plug-in returns them, so they live here rather than with the
// host records.
#pragma once

constexpr int E_SUCCESS = 0;
constexpr int E_END_ARCHIVE = 10;
constexpr int E_NO_MEMORY = 11;
constexpr int E_BAD_DATA = 12;
constexpr int E_BAD_ARCHIVE = 13;
constexpr int E_UNKNOWN_FORMAT = 14;
constexpr int E_EOPEN = 15;
constexpr int E_ECREATE = 16;
constexpr int E_ECLOSE = 17;
constexpr int E_EREAD = 18;
constexpr int E_EWRITE = 19;
constexpr int E_SMALL_BUF = 20;
constexpr int E_EABORTED = 21;
constexpr int E_NO_FILES = 22;
constexpr int E_TOO_MANY_FILES = 23;
constexpr int E_NOT_SUPPORTED = 24;
