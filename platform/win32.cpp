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

// Errors of a file that another program has open for the moment (a move
// over such a file is also denied access).
bool isBusyFile(int lastError, bool moving = false) {
    return lastError == ERROR_SHARING_VIOLATION || lastError == ERROR_LOCK_VIOLATION ||
           (moving && lastError == ERROR_ACCESS_DENIED);
}

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
    // Other readers may read beside it, and a writer may move a new image
    // over it; nobody may write into it while it is read.
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
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

namespace {
std::atomic<unsigned> lockWaitLimit {60000};
std::atomic<unsigned long> lockWaitCount {0};

// The full path of where the file really is (a link followed), as Windows
// compares names: case folded. A file that is not there yet: its full path.
std::wstring lockKey(const std::wstring& target) {
    std::wstring key;
    HANDLE h = CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        key.resize(n);
        if (n == 0 || GetFinalPathNameByHandleW(h, key.data(), n, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) >= n)
            key.clear();
        CloseHandle(h);
        key.resize(std::wcslen(key.c_str()));
        if (key.rfind(L"\\\\?\\UNC\\", 0) == 0) key = L"\\\\" + key.substr(8);
        else if (key.rfind(L"\\\\?\\", 0) == 0) key = key.substr(4);
    }
    if (key.empty()) {
        const DWORD n = GetFullPathNameW(target.c_str(), 0, nullptr, nullptr);
        key.resize(n);
        if (n == 0 || GetFullPathNameW(target.c_str(), n, key.data(), nullptr) >= n) key = target;
        key.resize(std::wcslen(key.c_str()));
    }
    if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

bool identity(HANDLE h, std::uint64_t& volume, std::uint64_t& index) {
    BY_HANDLE_FILE_INFORMATION info {};
    if (!GetFileInformationByHandle(h, &info)) return false;
    volume = info.dwVolumeSerialNumber;
    index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// The name still gives the file read (volume and file index), holding the
// bytes read: programs that take no lock of ours rewrite an image in place
// or move another file over it.
bool stillAsRead(const WriteLock& lock, const std::wstring& target) {
    HANDLE h = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::uint64_t volume = 0, index = 0;
    bool same = identity(h, volume, index) && volume == lock.volume && index == lock.index;
    std::uint64_t print = kFingerprintStart;
    std::uint8_t buffer[16384];
    DWORD got = 0;
    while (same && (same = ReadFile(h, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0)
        print = fingerprint(buffer, got, print);
    CloseHandle(h);
    return same && print == lock.fingerprint;
}
}  // namespace

void setWriteLockWait(unsigned milliseconds) { lockWaitLimit = milliseconds; }
unsigned long writeLockWaits() { return lockWaitCount; }

WriteLock::~WriteLock() { unlockImage(*this); }

void unlockImage(WriteLock& lock) {
    closeFile(lock.image);
    if (lock.handle != -1) {
        ReleaseMutex(toHandle(lock.handle));
        CloseHandle(toHandle(lock.handle));
    }
    lock.handle = -1;
    lock.taken = lock.missing = lock.exclusive = false;
}

void noteImageAsRead(WriteLock& lock, const std::uint8_t* data, std::size_t size) {
    lock.fingerprint = fingerprint(data, size);
}

LockResult lockImageForWriting(const char* path, WriteLock& lock, int& lastError) {
    unlockImage(lock);
    lock.target = path;
    const std::wstring target = wide(path);
    // A file open here could not be replaced by a move, so the lock is a
    // mutex named after the image's path (every process of the session sees
    // it), held by the thread that writes. It is taken before the image is
    // opened, so the file read is the one the previous writer left.
    std::wstring name = L"Local\\ombrix-write-";
    const std::wstring key = lockKey(target);
    const std::uint64_t print =
        fingerprint(reinterpret_cast<const std::uint8_t*>(key.data()), key.size() * sizeof(wchar_t));
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(print >> shift) & 15];
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) {
        lastError = static_cast<int>(GetLastError());
        return LockResult::failed;
    }
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        ++lockWaitCount;
        waited = WaitForSingleObject(mutex, lockWaitLimit);
    }
    // An abandoned mutex is owned all the same: its writer ended, and its
    // image was replaced whole or not at all.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        lastError = static_cast<int>(GetLastError());
        CloseHandle(mutex);
        return waited == WAIT_TIMEOUT ? LockResult::busy : LockResult::failed;
    }
    lock.handle = reinterpret_cast<std::intptr_t>(mutex);
    lock.exclusive = true;
    // A program writing into the image keeps it from being opened a while.
    bool opened = false;
    for (int tries = 0; !(opened = openForRead(path, lock.image, lastError)) && isBusyFile(lastError) && tries < 200;
         ++tries)
        Sleep(10);
    if (!opened) {
        if (!isMissingFile(lastError)) {
            unlockImage(lock);
            return LockResult::failed;
        }
        lock.missing = true;
    } else if (!identity(toHandle(lock.image.handle), lock.volume, lock.index)) {
        lastError = static_cast<int>(GetLastError());
        unlockImage(lock);
        return LockResult::failed;
    }
    lock.taken = true;
    return LockResult::ok;
}

WriteResult replaceFile(WriteLock& lock, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) {
    written = 0;
    const long failAt = pendingWriteFailure.exchange(-1);
    if (failAt == 0 || !lock.taken) return WriteResult::cannotCreate;
    // The image must not be open here when it is replaced.
    closeFile(lock.image);

    // A read-only image stays as it is; other attributes survive the swap.
    const std::wstring target = wide(lock.target.c_str());
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
    WriteResult result = ok ? WriteResult::ok : WriteResult::shortWrite;
    // A new image never goes over one that appeared meanwhile.
    if (ok && lock.missing && !MoveFileExW(temp, target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        result = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? WriteResult::appeared
                                                                             : WriteResult::shortWrite;
    } else if (ok && !lock.missing) {
        // A reader that has the image open (without sharing its deletion)
        // keeps it from being replaced for the moment it reads.
        for (int tries = 0;; ++tries) {
            if (!stillAsRead(lock, target)) {
                result = WriteResult::changed;
                break;
            }
            if (MoveFileExW(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
            if (!isBusyFile(static_cast<int>(GetLastError()), true) || tries == 200) {
                result = WriteResult::shortWrite;
                break;
            }
            Sleep(10);
        }
    }
    if (result != WriteResult::ok) {
        DeleteFileW(temp);
        return result;
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
