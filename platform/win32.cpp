// Win32 flavour of the platform services (the 32- and 64-bit DLLs). Paths
// arrive as UTF-8 and go to the system as UTF-16, so folders whose names no
// ANSI code page holds work as any other.
#include "platform/platform.h"

#include <windows.h>
#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>

namespace platform {

namespace {
// Test hook; atomic, since calls on several threads replace files.
std::atomic<long> pendingWriteFailure {-1};

HANDLE toHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::wstring convertToWide(const char* text, UINT codePage) {
    if (!text || !*text) return {};
    const int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::string convertFromWide(const wchar_t* text, UINT codePage) {
    if (!text || !*text) return {};
    const int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::wstring wide(const char* utf8) { return convertToWide(utf8, CP_UTF8); }

// A new empty file in the folder of target, for a file that replaces it.
bool tempFileBeside(const std::wstring& target, wchar_t (&temp)[MAX_PATH + 16]) {
    std::wstring dir = target;
    std::size_t cut = dir.find_last_of(L"\\/");
    // "C:" alone would be the drive's current folder, so a root keeps its separator.
    if (cut == std::wstring::npos) dir = L".";
    else dir = dir.substr(0, cut == 0 || (cut == 2 && dir[1] == L':') ? cut + 1 : cut);
    return GetTempFileNameW(dir.c_str(), L"omb", 0, temp) != 0;
}
}  // namespace

std::string utf8FromWide(const wchar_t* text) { return convertFromWide(text, CP_UTF8); }
std::wstring wideFromUtf8(const std::string& text) { return wide(text.c_str()); }
std::string utf8FromAnsi(const char* text) { return utf8FromWide(convertToWide(text, CP_ACP).c_str()); }
std::string ansiFromUtf8(const std::string& text) { return convertFromWide(wide(text.c_str()).c_str(), CP_ACP); }

InputFile::~InputFile() { closeFile(*this); }

bool openForRead(const char* path, InputFile& file, int& lastError) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastError = static_cast<int>(GetLastError());
        return false;
    }
    // Devices (CON, NUL, COM1...) and pipes are not files of ours.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        lastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    file.handle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool fileSize(InputFile& file, std::uint64_t& size, int& lastError) {
    LARGE_INTEGER s {};
    if (!GetFileSizeEx(toHandle(file.handle), &s)) {
        lastError = static_cast<int>(GetLastError());
        return false;
    }
    size = static_cast<std::uint64_t>(s.QuadPart);
    return true;
}

bool isMissingFile(int lastError) { return lastError == ERROR_FILE_NOT_FOUND || lastError == ERROR_PATH_NOT_FOUND; }

bool readAt(InputFile& file, std::uint64_t offset, std::uint8_t* data, std::uint32_t size, int& lastError) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(toHandle(file.handle), at, nullptr, FILE_BEGIN)) {
        lastError = static_cast<int>(GetLastError());
        return false;
    }
    return readAll(file, data, size, lastError);
}

bool readAll(InputFile& file, std::uint8_t* data, std::uint32_t size, int& lastError) {
    DWORD got = 0;
    if (!ReadFile(toHandle(file.handle), data, size, &got, nullptr) || got != size) {
        lastError = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

void closeFile(InputFile& file) {
    if (file.handle != -1) CloseHandle(toHandle(file.handle));
    file.handle = -1;
}

bool atEnd(InputFile& file) {
    std::uint8_t more = 0;
    DWORD got = 0;
    return ReadFile(toHandle(file.handle), &more, 1, &got, nullptr) && got == 0;
}

bool findFile(const char* path, std::uint32_t& sizeLow, std::uint32_t& sizeHigh, int& lastError) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(wide(path).c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        lastError = static_cast<int>(GetLastError());
        return false;
    }
    FindClose(h);
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        lastError = ERROR_FILE_NOT_FOUND;
        return false;
    }
    sizeLow = data.nFileSizeLow;
    sizeHigh = data.nFileSizeHigh;
    return true;
}

bool fileExists(const char* path) { return PathFileExistsW(wide(path).c_str()) != FALSE; }

bool copyFileNoOverwrite(const char* src, const char* dst) {
    return CopyFileW(wide(src).c_str(), wide(dst).c_str(), TRUE) != FALSE;
}

bool iniGetInts(const char* iniPath, const char* section, const char* const* keys, int* values, int count) {
    if (!fileExists(iniPath)) return false;
    for (int k = 0; k < count; ++k) values[k] = iniGetInt(iniPath, section, keys[k], values[k]);
    return true;
}

int iniGetInt(const char* iniPath, const char* section, const char* key, int defaultValue) {
    return static_cast<int>(
        GetPrivateProfileIntW(wide(section).c_str(), wide(key).c_str(), defaultValue, wide(iniPath).c_str()));
}

void simulateWriteFailure(long limit) { pendingWriteFailure = limit; }

WriteResult replaceFile(const char* path, const std::uint8_t* data, std::uint32_t size,
                        std::uint32_t& written) {
    written = 0;
    const long failAt = pendingWriteFailure.exchange(-1);
    if (failAt == 0) return WriteResult::cannotCreate;

    // A read-only image stays as it is; other attributes survive the swap.
    const std::wstring target = wide(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return WriteResult::cannotCreate;

    wchar_t temp[MAX_PATH + 16];
    if (!tempFileBeside(target, temp)) return WriteResult::cannotCreate;
    HANDLE h = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DeleteFileW(temp);
        return WriteResult::cannotCreate;
    }
    DWORD toWrite = size;
    if (failAt > 0 && static_cast<std::uint32_t>(failAt) < size) toWrite = static_cast<DWORD>(failAt);
    DWORD done = 0;
    bool ok = WriteFile(h, data, toWrite, &done, nullptr) && done == size;
    written = done;
    if (ok && !FlushFileBuffers(h)) ok = false;
    if (!CloseHandle(h)) ok = false;
    if (ok && !MoveFileExW(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ok = false;
    if (!ok) {
        DeleteFileW(temp);
        return WriteResult::shortWrite;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(target.c_str(), attributes);
    return WriteResult::ok;
}

bool createOutputFile(const char* path, OutputFile& out) {
    finishOutputFile(out, false);
    out.target = path;
    wchar_t temp[MAX_PATH + 16];
    if (!tempFileBeside(wide(path), temp)) return false;
    out.file = _wfopen(temp, L"wb");
    if (!out.file) {
        DeleteFileW(temp);
        return false;
    }
    out.temp = utf8FromWide(temp);
    return true;
}

bool finishOutputFile(OutputFile& out, bool keep) {
    if (!out.file) return false;
    bool ok = std::fclose(out.file) == 0;
    out.file = nullptr;
    const std::wstring temp = wide(out.temp.c_str());
    // The move replaces the name itself: a link or junction there is not followed.
    ok = ok && keep && MoveFileExW(temp.c_str(), wide(out.target.c_str()).c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!ok) DeleteFileW(temp.c_str());
    out.temp.clear();
    return ok;
}

bool userSettingsFolder(char* out, std::size_t outSize) {
    wchar_t appData[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    const std::string folder = utf8FromWide(appData) + "\\ombrix";
    CreateDirectoryW(wide(folder.c_str()).c_str(), nullptr);
    if (folder.size() >= outSize) return false;
    std::memcpy(out, folder.c_str(), folder.size() + 1);
    return true;
}

bool removeFile(const char* path) { return DeleteFileW(wide(path).c_str()) != FALSE; }

bool makeFolders(const char* path) {
    const std::string folder(path);
    // From the first separator after a drive or share prefix on.
    for (std::size_t i = 1; i <= folder.size(); ++i)
        if (i == folder.size() || folder[i] == '\\' || folder[i] == '/')
            if (i > 0 && folder[i - 1] != ':') CreateDirectoryW(wide(folder.substr(0, i).c_str()).c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void yieldThread() { Sleep(0); }

void moduleDirectory(const void* anchor, char* out, std::size_t outSize) {
    if (outSize == 0) return;
    out[0] = 0;
    wchar_t name[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(const_cast<void*>(anchor)), name, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    wchar_t* slash = std::wcsrchr(name, L'\\');
    if (!slash) return;
    *slash = 0;
    const std::string folder = utf8FromWide(name);
    if (folder.size() >= outSize) return;
    std::memcpy(out, folder.c_str(), folder.size() + 1);
}

// A debugger may always be listening.
bool debugOutputWanted() { return true; }

void debugOutput(const char* text) {
    // Debuggers read the ANSI code page; the copy below stays UTF-8.
    OutputDebugStringA(ansiFromUtf8(text).c_str());
    // The command-line host asks for the lines on stderr with OMBRIX_LOG=-.
    char target[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("OMBRIX_LOG", target, sizeof target);
    if (n == 0 || n >= sizeof target) return;
    if (std::strcmp(target, "-") == 0) {
        std::fputs(text, stderr);
        std::fflush(stderr);
        return;
    }
    std::FILE* f = _wfopen(wide(utf8FromAnsi(target).c_str()).c_str(), L"a");
    if (!f) return;
    std::fputs(text, f);
    std::fclose(f);
}

}  // namespace platform
