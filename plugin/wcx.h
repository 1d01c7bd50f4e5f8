// Records and constants of the file manager's packer plug-in interface,
// declared from its published layout. Byte-packed except on 64-bit Windows:
// Double Commander on 64-bit Linux passes packed Pascal records, on 32-bit
// Windows packing changes nothing because every field is 4 bytes wide, and
// 64-bit Windows hosts pass C records with natural alignment (pointers on 8).
#pragma once

#include <cstdint>

#include "core/results.h"

#ifdef _WIN32
#define WCX_API __stdcall
#else
#define WCX_API
#endif

#ifndef _WIN64
#pragma pack(push, 1)
#endif
struct tOpenArchiveData {
    char* ArcName;
    std::int32_t OpenMode;
    std::int32_t OpenResult;
    char* CmtBuf;
    std::int32_t CmtBufSize;
    std::int32_t CmtSize;
    std::int32_t CmtState;
};

struct tHeaderData {
    char ArcName[260];
    char FileName[260];
    std::int32_t Flags;
    std::int32_t PackSize;
    std::int32_t UnpSize;
    std::int32_t HostOS;
    std::int32_t FileCRC;
    std::int32_t FileTime;
    std::int32_t UnpVer;
    std::int32_t Method;
    std::int32_t FileAttr;
    char* CmtBuf;
    std::int32_t CmtBufSize;
    std::int32_t CmtSize;
    std::int32_t CmtState;
};

struct PackDefaultParamStruct {
    std::int32_t size;
    std::uint32_t PluginInterfaceVersionLow;
    std::uint32_t PluginInterfaceVersionHi;
    char DefaultIniName[260];
};
#ifdef _WIN32
// The Unicode and large-header forms that Windows hosts call when present.
struct tOpenArchiveDataW {
    wchar_t* ArcName;
    std::int32_t OpenMode;
    std::int32_t OpenResult;
    wchar_t* CmtBuf;
    std::int32_t CmtBufSize;
    std::int32_t CmtSize;
    std::int32_t CmtState;
};

template <class Char>
struct tHeaderDataExOf {
    Char ArcName[1024];
    Char FileName[1024];
    std::int32_t Flags;
    std::uint32_t PackSize;
    std::uint32_t PackSizeHigh;
    std::uint32_t UnpSize;
    std::uint32_t UnpSizeHigh;
    std::int32_t HostOS;
    std::int32_t FileCRC;
    std::int32_t FileTime;
    std::int32_t UnpVer;
    std::int32_t Method;
    std::int32_t FileAttr;
    char* CmtBuf;
    std::int32_t CmtBufSize;
    std::int32_t CmtSize;
    std::int32_t CmtState;
    char Reserved[1024];
};
using tHeaderDataEx = tHeaderDataExOf<char>;
using tHeaderDataExW = tHeaderDataExOf<wchar_t>;
#endif
#ifndef _WIN64
#pragma pack(pop)
#endif

static_assert(sizeof(PackDefaultParamStruct) == 272, "PackDefaultParamStruct layout");
#if defined(_WIN64)
static_assert(sizeof(tHeaderData) == 584, "tHeaderData is 584 bytes on 64-bit Windows");
static_assert(sizeof(tOpenArchiveData) == 40, "tOpenArchiveData is 40 bytes on 64-bit Windows");
static_assert(sizeof(tOpenArchiveDataW) == 40 && sizeof(tHeaderDataEx) == 3144 && sizeof(tHeaderDataExW) == 5192,
              "Unicode records on 64-bit Windows");
#elif defined(_WIN32)
static_assert(sizeof(tHeaderData) == 572, "tHeaderData is 572 bytes on 32-bit Windows");
static_assert(sizeof(tOpenArchiveData) == 28, "tOpenArchiveData on 32-bit Windows");
static_assert(sizeof(wchar_t) == 2 && sizeof(tOpenArchiveDataW) == 28 && sizeof(tHeaderDataEx) == 3132 &&
                  sizeof(tHeaderDataExW) == 5180,
              "Unicode records on 32-bit Windows");
#else
static_assert(sizeof(tHeaderData) == 556 + sizeof(void*) + 12, "tHeaderData layout");
static_assert(sizeof(void*) != 8 || sizeof(tHeaderData) == 576, "tHeaderData is 576 bytes on 64-bit Linux");
static_assert(sizeof(void*) != 8 || sizeof(tOpenArchiveData) == 36, "tOpenArchiveData is 36 bytes on 64-bit Linux");
#endif

using tChangeVolProc = int(WCX_API*)(char* ArcName, int Mode);
using tProcessDataProc = int(WCX_API*)(char* FileName, int Size);
#ifdef _WIN32
using tChangeVolProcW = int(WCX_API*)(wchar_t* ArcName, int Mode);
using tProcessDataProcW = int(WCX_API*)(wchar_t* FileName, int Size);
#endif

// ProcessFile operations.
constexpr int PK_SKIP = 0;
constexpr int PK_TEST = 1;
constexpr int PK_EXTRACT = 2;

// Packer capabilities.
constexpr int PK_CAPS_NEW = 1;
constexpr int PK_CAPS_MODIFY = 2;
constexpr int PK_CAPS_MULTIPLE = 4;
constexpr int PK_CAPS_DELETE = 8;
constexpr int PK_CAPS_OPTIONS = 16;
constexpr int PK_CAPS_BY_CONTENT = 64;  // the host may ask CanYouHandleThisFile

// PackFiles flags.
constexpr int PK_PACK_MOVE_FILES = 1;
constexpr int PK_PACK_SAVE_PATHS = 2;

// ValidateImageText modes (our extra export): mend the errors, free as well
// the blocks nothing uses, count notes as errors.
constexpr int VALIDATE_REPAIR = 1;
constexpr int VALIDATE_FREE_UNUSED = 2;
constexpr int VALIDATE_STRICT = 4;

// GetBackgroundFlags.
constexpr int BACKGROUND_UNPACK = 1;
constexpr int BACKGROUND_PACK = 2;

// CanYouHandleThisFile(W) answers with the host's BOOL: a 32-bit int, 1 or 0.

// SetProcessDataProc's handle for the calls without one (PackFiles, DeleteFiles).
inline void* const kPackHandle = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));

// Open modes.
constexpr int PK_OM_LIST = 0;
constexpr int PK_OM_EXTRACT = 1;
