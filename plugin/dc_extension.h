// Double Commander's extension record, declared from its published layout:
// the services it hands to ExtensionInitialize. Only the Linux plug-in takes
// them (its dialogs have no window system of their own). A byte-packed Pascal
// record: the pointers after the two path buffers are not aligned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/wcx.h"

#ifndef _WIN32
// The item callback of a form dialog and the message sender; the same
// signatures as the dialog layer's FormItemProc and FormSendProc.
using tDlgProc = std::intptr_t (*)(std::uintptr_t pDlg, char* DlgItemName, std::intptr_t Msg, std::intptr_t wParam,
                                   std::intptr_t lParam);
using tSendDlgMsg = std::intptr_t (*)(std::uintptr_t pDlg, char* DlgItemName, std::intptr_t Msg, std::intptr_t wParam,
                                      std::intptr_t lParam);
// Pascal's DataSize is a LongWord and its result a LongBool: both 32 bits.
using tDialogBoxLFMProc = std::int32_t (*)(std::intptr_t LFMData, std::uint32_t DataSize, tDlgProc DlgProc);
using tDialogBoxLFMFileProc = std::int32_t (*)(char* LFMFileName, tDlgProc DlgProc);
using tInputBoxProc = std::int32_t (*)(char* Caption, char* Prompt, std::int32_t MaskInput, char* Value,
                                       std::int32_t ValueMaxLen);
using tMessageBoxProc = std::int32_t (*)(char* Text, char* Caption, long Flags);

constexpr std::size_t kExtensionPathSize = 16384;

#pragma pack(push, 1)
struct tExtensionStartupInfo {
    std::uint32_t StructSize;
    char PluginDir[kExtensionPathSize];
    char PluginConfDir[kExtensionPathSize];
    tInputBoxProc InputBox;
    tMessageBoxProc MessageBox;
    tDialogBoxLFMProc DialogBoxLFM;
    tDialogBoxLFMProc DialogBoxLRS;
    tDialogBoxLFMFileProc DialogBoxLFMFile;
    tSendDlgMsg SendDlgMsg;
    // Newer hosts put more services here; we read none of them.
};
#pragma pack(pop)

static_assert(offsetof(tExtensionStartupInfo, InputBox) == 4 + 2 * kExtensionPathSize, "extension record layout");

// A host that declares a shorter record does not hand us these services.
constexpr std::size_t kExtensionDialogsEnd = offsetof(tExtensionStartupInfo, SendDlgMsg) + sizeof(tSendDlgMsg);
#endif
