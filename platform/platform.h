// The few operating-system services the plug-in needs. Only platform/*.cpp
// include <windows.h> or POSIX headers; everything else goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Longest path (with terminator, in UTF-8 bytes) the plug-in builds or
// accepts: room for 260 UTF-16 units of a Windows path in any script.
constexpr std::size_t kMaxPath = 1024;

// An image file opened for one whole read. Closed by the destructor.
struct InputFile {
    std::intptr_t handle = -1;
    std::uint64_t size = 0;  // as the open found it
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
};

// Opens an existing plain file for reading, shared with other readers and
// with a move over it, never with writers (folders, pipes and devices are
// refused without waiting on them).
// On failure returns false and sets lastError to the system's error code.
bool openForRead(const char* path, InputFile& file, int& lastError);
// The file's size. False with lastError on failure.
bool fileSize(InputFile& file, std::uint64_t& size, int& lastError);
// Whether a failed open's error says that there is no such file.
bool isMissingFile(int lastError);
// Reads exactly size bytes in one request. False (with lastError) when the
// read fails or is short.
bool readAll(InputFile& file, std::uint8_t* data, std::uint32_t size, int& lastError);
// Reads exactly size bytes at offset (detection's look at a signature deep
// in a file); the position afterwards is unspecified.
bool readAt(InputFile& file, std::uint64_t offset, std::uint8_t* data, std::uint32_t size, int& lastError);
void closeFile(InputFile& file);
// True when no byte is left to read.
bool atEnd(InputFile& file);
// Reads a plain file that must hold exactly `size` bytes: false when it
// cannot be opened, has another size, or yields more or fewer bytes.
bool readWholeFile(const char* path, std::uint8_t* data, std::uint32_t size, int& lastError);

// Looks a plain file up in its directory without opening it: existence and
// size (folders, pipes and devices count as missing).
bool findFile(const char* path, std::uint32_t& sizeLow, std::uint32_t& sizeHigh, int& lastError);

bool fileExists(const char* path);
// Copies src to dst; fails when dst exists already.
bool copyFileNoOverwrite(const char* src, const char* dst);

// Reads an integer key of an ini file section; gives defaultValue when the
// file, the section or the key is missing or the value has no leading number.
int iniGetInt(const char* iniPath, const char* section, const char* key, int defaultValue);
// Several keys of a section at once: values[k] holds key k's default on entry
// and its value, where one is given, on return. False when the file does not
// exist (one that exists but cannot be read leaves the defaults and gives true).
bool iniGetInts(const char* iniPath, const char* section, const char* const* keys, int* values, int count);

// One writer's hold on an image, from before it reads the image until after
// it has replaced it, so that two writers never undo each other. An image is
// replaced by renaming a new file over it, which a lock on the file itself
// would not survive: POSIX locks the image's inode and, once it has the
// lock, makes sure the path still names that inode (else another writer
// replaced it meanwhile, and the lock is taken on the new one); Windows
// holds a named mutex of the image's path. Programs that take no such lock
// are caught by the check replaceFile makes before the rename: the path
// still names the file read, and holds the bytes read. Released by the
// destructor or unlockImage.
struct WriteLock {
    std::intptr_t handle = -1;  // POSIX: the image, open and locked; Windows: the mutex
    InputFile image;            // the image as opened for the one read (readers close it)
    std::string target;         // where the image really is (a link followed)
    bool taken = false;         // lockImageForWriting succeeded
    bool missing = false;       // there was no image: it is created, never replaced
    bool exclusive = false;     // a lock is held (some file systems offer none)
    std::uint64_t volume = 0, index = 0;  // the file as locked (device and inode)
    std::uint64_t fingerprint = 0;        // of the bytes read (Windows), set by noteImageAsRead
    std::vector<std::uint8_t> asRead;     // the bytes read (POSIX), set by noteImageAsRead
    WriteLock() = default;
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    ~WriteLock();
};
enum class LockResult { ok, busy, failed };
// Takes the lock of the image at path and opens it for reading into
// lock.image (lock.missing when there is none). busy: another writer held
// it for longer than the wait allows; failed: lastError says why.
LockResult lockImageForWriting(const char* path, WriteLock& lock, int& lastError);
void unlockImage(WriteLock& lock);
// What the image held when it was read, for the check before it is replaced:
// on POSIX a copy, compared byte for byte with the file then (a memcmp, where
// the fingerprint's one multiply a byte took most of an add to a D81); on
// Windows its fingerprint.
void noteImageAsRead(WriteLock& lock, const std::uint8_t* data, std::size_t size);
// The bytes' fingerprint (64-bit FNV-1a), as WriteLock::fingerprint holds it;
// `from` continues the fingerprint of the bytes before these.
constexpr std::uint64_t kFingerprintStart = 0xcbf29ce484222325u;
std::uint64_t fingerprint(const std::uint8_t* data, std::size_t size, std::uint64_t from = kFingerprintStart);
// Test hooks: the longest wait for a lock another writer holds (default 60 s),
// and how many times a writer has found the lock taken so far.
void setWriteLockWait(unsigned milliseconds);
unsigned long writeLockWaits();

// Replaces the image that `lock` holds with data: the bytes go to a temporary
// file in the same directory, which is flushed and only then moved over the
// original, provided the path still names the file read and that file still
// holds the bytes read (else `changed`). A missing image is created only if
// nothing has appeared at its name meanwhile (else `appeared`). On failure
// the original is untouched and no temporary file remains.
enum class WriteResult { ok, cannotCreate, shortWrite, changed, appeared };
WriteResult replaceFile(WriteLock& lock, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written);

// Test hook: the next replaceFile call fails as if the disk were full after
// `limit` bytes (0 = cannot create). Reset to -1 after it has fired.
void simulateWriteFailure(long limit);

// Removes a file (a link itself, not what it points to).
bool removeFile(const char* path);
// Makes the folder and every missing one above it (an extracted folder of an
// image, or the folder an extracted file goes into); true when it is there.
bool makeFolders(const char* path);

// An extracted file while it is written: a new file beside the target that
// takes the target's name only once it is complete. Whatever held the name
// (a link above all, or a pipe) is replaced, never written through, and a
// file that fails leaves the old one as it was. A device named as the target
// is written as such. The destructor discards an unfinished file.
struct OutputFile {
    std::FILE* file = nullptr;
    std::string target, temp;  // temp empty: the target itself is open
    bool createdTarget = false;  // nothing stood at the name: it was made new, and goes on failure
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};
bool createOutputFile(const char* path, OutputFile& out);
// Closes the file and, with keep, moves it to the target's name. False when
// the close or the move failed or keep was false; nothing new stays then.
bool finishOutputFile(OutputFile& out, bool keep);

// The per-user settings folder (%APPDATA%\ombrix, $XDG_CONFIG_HOME/ombrix or
// ~/.config/ombrix), created when missing; false when there is none.
bool userSettingsFolder(char* out, std::size_t outSize);

// Text at the door. Inside the plug-in every path and name is UTF-8; the
// ANSI exports pass the system's code page on Windows (UTF-8 elsewhere), the
// Unicode exports UTF-16.
std::string utf8FromAnsi(const char* text);
std::string ansiFromUtf8(const std::string& text);
#ifdef _WIN32
std::string utf8FromWide(const wchar_t* text);
std::wstring wideFromUtf8(const std::string& text);
#endif

// Lets another thread run (for the short waits of a spin lock).
void yieldThread();

// The directory the plug-in module was loaded from, without a trailing
// separator; empty when unknown. `anchor` is the module instance handle on
// Windows and any address inside the module elsewhere; null means the
// program itself (the plug-in's code linked into a program).
void moduleDirectory(const void* anchor, char* out, std::size_t outSize);

// One diagnostic line to the platform's debug output.
void debugOutput(const char* text);
// False when a line would go nowhere.
bool debugOutputWanted();

}  // namespace platform
