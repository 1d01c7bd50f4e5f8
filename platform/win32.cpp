// Win32 flavour of the platform services (the 32-bit DLL).
#include "platform/platform.h"

#include <windows.h>
#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <string>

namespace platform {

namespace {
// Test hook; atomic, since calls on several threads replace files.
std::atomic<long> pendingWriteFailure {-1};

HANDLE toHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

InputFile::~InputFile() { closeFile(*this); }

bool openForRead(const char* path, InputFile& file, int& lastError) {
    HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool fileSize(InputFile& file, std::uint32_t& size, int& lastError) {
    DWORD s = GetFileSize(toHandle(file.handle), nullptr);
    if (s == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        lastError = static_cast<int>(GetLastError());
        return false;
    }
    size = s;
    return true;
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
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
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

bool fileExists(const char* path) { return PathFileExistsA(path) != FALSE; }

bool copyFileNoOverwrite(const char* src, const char* dst) { return CopyFileA(src, dst, TRUE) != FALSE; }

int iniGetInt(const char* iniPath, const char* section, const char* key, int defaultValue) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, iniPath));
}

void simulateWriteFailure(long limit) { pendingWriteFailure = limit; }

WriteResult replaceFile(const char* path, const std::uint8_t* data, std::uint32_t size,
                        std::uint32_t& written) {
    written = 0;
    const long failAt = pendingWriteFailure.exchange(-1);
    if (failAt == 0) return WriteResult::cannotCreate;

    // A read-only image stays as it is; other attributes survive the swap.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return WriteResult::cannotCreate;

    std::string dir(path);
    std::size_t cut = dir.find_last_of("\\/");
    // The temporary file goes beside the image: "C:" alone would be the
    // drive's current folder, so a root keeps its separator.
    if (cut == std::string::npos) dir = ".";
    else dir = dir.substr(0, cut == 0 || (cut == 2 && dir[1] == ':') ? cut + 1 : cut);
    char temp[MAX_PATH + 16];
    if (GetTempFileNameA(dir.c_str(), "omb", 0, temp) == 0) return WriteResult::cannotCreate;
    HANDLE h = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DeleteFileA(temp);
        return WriteResult::cannotCreate;
    }
    DWORD toWrite = size;
    if (failAt > 0 && static_cast<std::uint32_t>(failAt) < size) toWrite = static_cast<DWORD>(failAt);
    DWORD done = 0;
    bool ok = WriteFile(h, data, toWrite, &done, nullptr) && done == size;
    written = done;
    if (ok && !FlushFileBuffers(h)) ok = false;
    if (!CloseHandle(h)) ok = false;
    if (ok && !MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ok = false;
    if (!ok) {
        DeleteFileA(temp);
        return WriteResult::shortWrite;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(path, attributes);
    return WriteResult::ok;
}

std::FILE* createOutputFile(const char* path) { return std::fopen(path, "wb"); }

bool userSettingsFolder(char* out, std::size_t outSize) {
    char appData[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("APPDATA", appData, sizeof appData);
    if (n == 0 || n >= sizeof appData) return false;
    std::string folder = std::string(appData) + "\\ombrix";
    CreateDirectoryA(folder.c_str(), nullptr);
    if (folder.size() >= outSize) return false;
    std::memcpy(out, folder.c_str(), folder.size() + 1);
    return true;
}

bool removeFile(const char* path) { return DeleteFileA(path) != FALSE; }

void yieldThread() { Sleep(0); }

void moduleDirectory(const void* anchor, char* out, std::size_t outSize) {
    if (outSize == 0) return;
    out[0] = 0;
    char name[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(static_cast<HMODULE>(const_cast<void*>(anchor)), name, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    char* slash = std::strrchr(name, '\\');
    if (!slash) return;
    *slash = 0;
    if (std::strlen(name) >= outSize) return;
    std::strcpy(out, name);
}

void debugOutput(const char* text) {
    OutputDebugStringA(text);
    // The command-line host asks for the lines on stderr with OMBRIX_LOG=-.
    char target[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("OMBRIX_LOG", target, sizeof target);
    if (n == 0 || n >= sizeof target) return;
    if (std::strcmp(target, "-") == 0) {
        std::fputs(text, stderr);
        std::fflush(stderr);
        return;
    }
    std::FILE* f = std::fopen(target, "a");
    if (!f) return;
    std::fputs(text, f);
    std::fclose(f);
}

}  // namespace platform
