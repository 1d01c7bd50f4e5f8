// The plug-in's exported functions, callable in-process by tests and benchmarks.
#pragma once

#include "plugin/dc_extension.h"
#include "plugin/wcx.h"

using HANDLE = void*;

// The plug-in is built with hidden symbols; only these are exported (on
// Windows the .def files list them), so nothing else costs the host a
// symbol lookup when it loads the plug-in.
#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
extern "C" {
HANDLE WCX_API OpenArchive(tOpenArchiveData* archiveData);
int WCX_API ReadHeader(HANDLE handle, tHeaderData* headerData);
int WCX_API ProcessFile(HANDLE handle, int operation, char* destPath, char* destName);
int WCX_API CloseArchive(HANDLE handle);
int WCX_API PackFiles(char* packedFile, char* subPath, char* srcPath, char* addList, int flags);
int WCX_API DeleteFiles(char* packedFile, char* deleteList);
int WCX_API GetPackerCaps();
void WCX_API ConfigurePacker(void* parent, void* dllInstance);
void WCX_API SetChangeVolProc(HANDLE handle, tChangeVolProc proc);
void WCX_API SetProcessDataProc(HANDLE handle, tProcessDataProc proc);
void WCX_API PackSetDefaultParams(PackDefaultParamStruct* dps);
int WCX_API GetBackgroundFlags();
// Whether a file of any name is ours, from its content (the host's BOOL).
int WCX_API CanYouHandleThisFile(char* fileName);
#ifdef _WIN32
int WCX_API CanYouHandleThisFileW(wchar_t* fileName);
HANDLE WCX_API OpenArchiveW(tOpenArchiveDataW* archiveData);
int WCX_API ReadHeaderEx(HANDLE handle, tHeaderDataEx* headerData);
int WCX_API ReadHeaderExW(HANDLE handle, tHeaderDataExW* headerData);
int WCX_API ProcessFileW(HANDLE handle, int operation, wchar_t* destPath, wchar_t* destName);
int WCX_API PackFilesW(wchar_t* packedFile, wchar_t* subPath, wchar_t* srcPath, wchar_t* addList, int flags);
int WCX_API DeleteFilesW(wchar_t* packedFile, wchar_t* deleteList);
void WCX_API SetChangeVolProcW(HANDLE handle, tChangeVolProcW proc);
void WCX_API SetProcessDataProcW(HANDLE handle, tProcessDataProcW proc);
#endif
// Extra export for hosts without a window system: new-image values as
// "key=value" lines, run through the settings dialog's logic.
int WCX_API ConfigurePackerText(const char* text);
// Extra export: a switch of the settings file for this process, by its key.
int WCX_API SetPackerSwitch(const char* key, int value);
// Extra exports for hosts that show the disk as a whole.
int WCX_API ImageInfoText(const char* path, char* buffer, int* size);
// mode: VALIDATE_REPAIR, VALIDATE_FREE_UNUSED (with repair), VALIDATE_STRICT.
int WCX_API ValidateImageText(const char* path, int mode, char* buffer, int* size);
// Extra export for file-system hosts: a listed file renamed in place.
int WCX_API RenameFile(const char* path, const char* oldName, const char* newName);
// Extra export: the last error line the plug-in logged on the calling thread
// during its last call (UTF-8; cut to the buffer, *size its whole length).
int WCX_API LastErrorText(char* buffer, int* size);
// Extra exports for hosts that hold files across calls: the listed files by
// their entries' keys, and changes addressed by those keys (UTF-8 paths).
int WCX_API ListEntriesText(const char* path, char* buffer, int* size);
int WCX_API WriteEntriesText(const char* path, const char* srcPath, const char* lines, int flags, char* buffer,
                             int* size);
#ifndef _WIN32
// Double Commander's services for plug-ins (its form dialogs).
void WCX_API ExtensionInitialize(tExtensionStartupInfo* startupInfo);
void WCX_API ExtensionFinalize(void* reserved);
#endif
}
#ifndef _WIN32
#pragma GCC visibility pop
#endif
