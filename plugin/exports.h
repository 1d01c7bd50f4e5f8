// The plug-in's exported functions, callable in-process by tests and benchmarks.
#pragma once

#include "plugin/wcx.h"

using HANDLE = void*;

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
// Extra export for hosts without a window system: new-image values as
// "key=value" lines, run through the settings dialog's logic.
int WCX_API ConfigurePackerText(const char* text);
}
