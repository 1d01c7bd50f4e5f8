// The settings dialog on Windows: the template in resources/ombrix.rc, run
// modally, its controls reached through the Win32 dialog functions.
#include <windows.h>

#include "core/log.h"
#include "dialog/dialog.h"

namespace {

HWND dialogOf(void* context) { return static_cast<HWND>(context); }

void win32SetText(void* context, int id, const char* text) { SetDlgItemTextA(dialogOf(context), id, text); }

void win32GetText(void* context, int id, char* buffer, int size) {
    if (size <= 0) return;
    buffer[0] = 0;
    GetDlgItemTextA(dialogOf(context), id, buffer, size);
}

void win32SetNumber(void* context, int id, unsigned value) { SetDlgItemInt(dialogOf(context), id, value, FALSE); }

unsigned win32GetNumber(void* context, int id) {
    BOOL translated = FALSE;
    const UINT value = GetDlgItemInt(dialogOf(context), id, &translated, FALSE);
    return translated ? value : 0;
}

void win32SetChecked(void* context, int id, bool checked) {
    CheckDlgButton(dialogOf(context), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool win32IsChecked(void* context, int id) { return IsDlgButtonChecked(dialogOf(context), id) == BST_CHECKED; }

void win32SetEnabled(void* context, int id, bool enabled) {
    EnableWindow(GetDlgItem(dialogOf(context), id), enabled ? TRUE : FALSE);
}

DialogView win32View(HWND dialog) {
    return DialogView{dialog,         win32SetText,    win32GetText,   win32SetNumber,
                      win32GetNumber, win32SetChecked, win32IsChecked, win32SetEnabled};
}

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        settingsDialogInit(win32View(dialog));
        return TRUE;  // the system sets the focus
    case WM_COMMAND: {
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;  // edit notifications and the like
        const int result = settingsDialogCommand(win32View(dialog), LOWORD(wParam));
        if (result == 0) return FALSE;
        EndDialog(dialog, result);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

// The template lives in this module whatever instance the host passes.
HINSTANCE ownModule(void* fallback) {
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&SettingsDialogState), &module))
        return module;
    return static_cast<HINSTANCE>(fallback);
}

}  // namespace

void configurePacker(void* parent, void* dllInstance) {
    logMessage(kLogTrace, ">ConfigurePacker<\n");
    const INT_PTR result = DialogBoxParamA(ownModule(dllInstance), MAKEINTRESOURCEA(kDialogTemplateId),
                                           static_cast<HWND>(parent), settingsDialogProc, 0);
    if (result != kDialogOk && result != kDialogCancel) {
        // The dialog never ran (no display, bad owner): nothing changes.
        logMessage(kLogError, "ConfigurePacker: DialogBoxParamA failed (%lu)\n", GetLastError());
        return;
    }
    settingsDialogFinish(static_cast<int>(result));
}
