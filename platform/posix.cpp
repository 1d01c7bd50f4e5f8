// POSIX flavour of the platform services (Linux hosts such as Double Commander).
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

namespace {
// Test hook; atomic, since calls on several threads replace files.
std::atomic<long> pendingWriteFailure {-1};

bool writeFully(int fd, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) {
    written = 0;
    while (written < size) {
        ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::uint32_t>(n);
    }
    return true;
}
}  // namespace

InputFile::~InputFile() { closeFile(*this); }

bool openForRead(const char* path, InputFile& file, int& lastError) {
    // Non-blocking, so that a pipe with no writer cannot stall the host. The
    // flag stays: reads of a plain file do not look at it (readAll still
    // waits should a file system answer "try again").
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        lastError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        lastError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    file.handle = fd;
    file.size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool fileSize(InputFile& file, std::uint64_t& size, int& /*lastError*/) {
    size = file.size;
    return true;
}

bool isMissingFile(int lastError) { return lastError == ENOENT || lastError == ENOTDIR; }

namespace {
// One read; a file system that answers "try again" despite a plain file is
// read blocking from then on.
ssize_t readSome(int fd, void* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return n;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
}
}  // namespace

bool readAt(InputFile& file, std::uint64_t offset, std::uint8_t* data, std::uint32_t size, int& lastError) {
    if (::lseek(static_cast<int>(file.handle), static_cast<off_t>(offset), SEEK_SET) < 0) {
        lastError = errno;
        return false;
    }
    return readAll(file, data, size, lastError);
}

bool readAll(InputFile& file, std::uint8_t* data, std::uint32_t size, int& lastError) {
    std::uint32_t done = 0;
    while (done < size) {
        const ssize_t n = readSome(static_cast<int>(file.handle), data + done, size - done);
        if (n < 0) {
            lastError = errno;
            return false;
        }
        if (n == 0) {
            lastError = 0;
            return false;
        }
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

void closeFile(InputFile& file) {
    if (file.handle >= 0) ::close(static_cast<int>(file.handle));
    file.handle = -1;
}

bool atEnd(InputFile& file) {
    std::uint8_t more = 0;
    return readSome(static_cast<int>(file.handle), &more, 1) == 0;
}

bool findFile(const char* path, std::uint32_t& sizeLow, std::uint32_t& sizeHigh, int& lastError) {
    struct stat st {};
    if (::stat(path, &st) != 0) {
        lastError = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        lastError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    sizeLow = static_cast<std::uint32_t>(size);
    sizeHigh = static_cast<std::uint32_t>(size >> 32);
    return true;
}

bool fileExists(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0;
}

bool copyFileNoOverwrite(const char* src, const char* dst) {
    int in = ::open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    int out = ::open(dst, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        std::uint32_t written = 0;
        if (!writeFully(out, buffer, static_cast<std::uint32_t>(n), written)) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    if (!ok) ::unlink(dst);
    return ok;
}

int iniGetInt(const char* iniPath, const char* section, const char* key, int defaultValue) {
    int value = defaultValue;
    iniGetInts(iniPath, section, &key, &value, 1);
    return value;
}

bool iniGetInts(const char* iniPath, const char* section, const char* const* keys, int* values, int count) {
    // A pipe or a device under the settings' name must not stall the call.
    InputFile file;
    int lastError = 0;
    if (!openForRead(iniPath, file, lastError)) return lastError != ENOENT && lastError != ENOTDIR;
    // Read whole in one call (the size is known): no stdio stream, which
    // would ask the descriptor's flags and size again. A settings file is
    // small; past 16 MiB nothing more is read.
    std::string content(static_cast<std::size_t>(std::min<std::uint64_t>(file.size, 16u << 20)), '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = readSome(static_cast<int>(file.handle), content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    content.resize(done);
    auto trim = [](std::string s) {
        std::size_t b = 0, e = s.size();
        while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
        while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
        return s.substr(b, e - b);
    };
    auto equalNoCase = [](const std::string& a, const char* b) {
        return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
    };
    std::vector<bool> found(static_cast<std::size_t>(count), false);
    bool inSection = false;
    // Lines are read whole, however long: a tail parsed as a line of its own
    // could bring a commented-out key to life.
    for (std::size_t at = 0; at < content.size();) {
        std::size_t end = content.find('\n', at);
        end = end == std::string::npos ? content.size() : end + 1;
        // A line ends at a NUL byte, as a C string of it would.
        std::string text = content.substr(at, end - at);
        at = end;
        text = trim(text.substr(0, text.find('\0')));
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            std::size_t close = text.find(']');
            inSection = close != std::string::npos && equalNoCase(trim(text.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        std::size_t eq = text.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = trim(text.substr(0, eq));
        for (int k = 0; k < count; ++k) {
            // The first line of a key counts, as the Windows profile functions read it.
            if (found[static_cast<std::size_t>(k)] || !equalNoCase(name, keys[k])) continue;
            found[static_cast<std::size_t>(k)] = true;
            std::string value = trim(text.substr(eq + 1));
            char* end = nullptr;
            long v = std::strtol(value.c_str(), &end, 10);
            if (end != value.c_str()) values[k] = static_cast<int>(v);
        }
    }
    return true;
}

void simulateWriteFailure(long limit) { pendingWriteFailure = limit; }

namespace {
std::atomic<unsigned> lockWaitLimit {60000};
std::atomic<unsigned long> lockWaitCount {0};

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void sleepFor(unsigned milliseconds) {
    struct timespec t {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// The path still names the file locked and read, and that file holds the
// bytes read: in place (cc1541 and most tools rewrite a file so) nothing can
// be told from its times alone, which the kernel takes from a clock of a
// few milliseconds, and rsync --inplace or touch -r set back.
bool stillAsRead(const WriteLock& lock) {
    struct stat named {}, held {};
    const int fd = static_cast<int>(lock.handle);
    if (::stat(lock.target.c_str(), &named) != 0 || ::fstat(fd, &held) != 0 || !sameFile(named, held)) return false;
    if (static_cast<std::uint64_t>(held.st_size) != lock.asRead.size()) return false;
    // Compared with the copy taken at reading, in large reads.
    std::vector<std::uint8_t> buffer(std::min<std::size_t>(lock.asRead.size(), 1u << 20) + 1);
    for (std::size_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return at == lock.asRead.size();
        const auto got = static_cast<std::size_t>(n);
        if (got > lock.asRead.size() - at || std::memcmp(buffer.data(), lock.asRead.data() + at, got) != 0) return false;
        at += got;
    }
}

// Moves the finished file in where there is none, never over one that has
// appeared meanwhile (another program creating the same image).
WriteResult moveInNew(const char* temp, const char* path) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, temp, AT_FDCWD, path, RENAME_NOREPLACE) == 0) return WriteResult::ok;
    if (errno == EEXIST) return WriteResult::appeared;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return WriteResult::shortWrite;
#endif
    // File systems without it: a second name, then the temporary one goes.
    if (::link(temp, path) == 0) {
        ::unlink(temp);
        return WriteResult::ok;
    }
    if (errno == EEXIST) return WriteResult::appeared;
    // Nor links (some FUSE and network file systems): a look, then the move.
    struct stat st {};
    if (::lstat(path, &st) == 0) return WriteResult::appeared;
    return ::rename(temp, path) == 0 ? WriteResult::ok : WriteResult::shortWrite;
}
}  // namespace

void setWriteLockWait(unsigned milliseconds) { lockWaitLimit = milliseconds; }
unsigned long writeLockWaits() { return lockWaitCount; }

WriteLock::~WriteLock() { unlockImage(*this); }

void unlockImage(WriteLock& lock) {
    closeFile(lock.image);
    // The lock belongs to the open file, so closing it releases the lock.
    if (lock.handle >= 0) ::close(static_cast<int>(lock.handle));
    lock.handle = -1;
    lock.taken = lock.missing = lock.exclusive = false;
}

void noteImageAsRead(WriteLock& lock, const std::uint8_t* data, std::size_t size) {
    lock.asRead.assign(data, data + size);
}

LockResult lockImageForWriting(const char* path, WriteLock& lock, int& lastError) {
    unlockImage(lock);
    // An image reached through a symbolic link is locked and replaced where
    // the link points, so the link stays; a link that points nowhere stays
    // as it is (the write fails).
    lock.target = path;
    struct stat st {};
    char resolved[PATH_MAX];
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path, resolved)) lock.target = resolved;
    const char* target = lock.target.c_str();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockWaitLimit.load());
    unsigned pause = 1;
    for (;;) {
        // Non-blocking, so that a pipe with no writer cannot stall the host.
        const int fd = ::open(target, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            lastError = errno;
            if (!isMissingFile(lastError)) return LockResult::failed;
            lock.missing = lock.taken = true;
            return LockResult::ok;
        }
        struct stat locked {};
        if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
            ::close(fd);
            lastError = S_ISDIR(locked.st_mode) ? EISDIR : EINVAL;
            return LockResult::failed;
        }
        // Tries with short sleeps rather than one blocking wait: the wait is
        // bounded. A writer that replaces the image meanwhile leaves this
        // lock on a file that no longer has the name (see below).
        int rc = 0;
        bool busy = false;
        for (;;) {
            while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
            }
            if (rc == 0 || errno != EWOULDBLOCK) break;
            ++lockWaitCount;
            if ((busy = std::chrono::steady_clock::now() >= deadline)) break;
            sleepFor(pause);
            pause = pause < 32 ? pause * 2 : 50;
        }
        if (busy) {
            ::close(fd);
            return LockResult::busy;
        }
        const bool taken = rc == 0;
        // Another writer replaced the image while this one waited: the lock
        // is taken again on the file the name gives now, so what is read
        // is the newer image.
        if (::stat(target, &st) != 0 || !sameFile(st, locked)) {
            ::close(fd);
            if (std::chrono::steady_clock::now() >= deadline) return LockResult::busy;
            continue;
        }
        // The one read goes through the same open file (a second descriptor
        // of it, which the reader closes; the lock stays with the first).
        const int reading = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (reading < 0) {
            lastError = errno;
            ::close(fd);
            return LockResult::failed;
        }
        lock.handle = fd;
        lock.image.handle = reading;
        lock.image.size = static_cast<std::uint64_t>(st.st_size);  // as it is now that it is locked
        lock.volume = static_cast<std::uint64_t>(locked.st_dev);
        lock.index = static_cast<std::uint64_t>(locked.st_ino);
        // A file system without locks (flock fails otherwise) keeps the check
        // before the rename.
        lock.exclusive = taken;
        lock.taken = true;
        return LockResult::ok;
    }
}

WriteResult replaceFile(WriteLock& lock, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) {
    written = 0;
    const long failAt = pendingWriteFailure.exchange(-1);
    if (failAt == 0 || !lock.taken) return WriteResult::cannotCreate;

    const char* path = lock.target.c_str();
    const bool exists = !lock.missing;
    struct stat current {};
    if (!exists) {
        // A name that is a link to nowhere is no place to create an image.
        if (::lstat(path, &current) == 0 && S_ISLNK(current.st_mode)) return WriteResult::cannotCreate;
    } else if (::fstat(static_cast<int>(lock.handle), &current) != 0 ||
               ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
        // An image the user may not write stays as it is, as if it were
        // opened for writing in place.
        return WriteResult::cannotCreate;
    }

    std::string temp = std::string(path) + ".ombrix-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return WriteResult::cannotCreate;
    // Keep the permissions of the image being replaced (mkstemp gives 0600).
    ::fchmod(fd, exists ? (current.st_mode & 07777) : 0644);

    std::uint32_t toWrite = size;
    if (failAt > 0 && static_cast<std::uint32_t>(failAt) < size) toWrite = static_cast<std::uint32_t>(failAt);
    bool ok = writeFully(fd, data, toWrite, written) && toWrite == size;
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    WriteResult result = ok ? WriteResult::ok : WriteResult::shortWrite;
    // Checked as late as can be, with the new image complete beside it.
    if (ok && !exists) result = moveInNew(temp.c_str(), path);
    else if (ok && !stillAsRead(lock)) result = WriteResult::changed;
    else if (ok && ::rename(temp.c_str(), path) != 0) result = WriteResult::shortWrite;
    if (result != WriteResult::ok) ::unlink(temp.c_str());
    return result;
}

bool createOutputFile(const char* path, OutputFile& out) {
    finishOutputFile(out, false);
    out.target = path;
    // Nothing at the name (the common case): the file is made there at once,
    // new (O_EXCL: nothing that appears meanwhile is written through), and
    // removed again should the extraction fail.
    // fopen's "x" is O_CREAT|O_EXCL, which follows no link at the name
    // either, and "e" O_CLOEXEC: one call, where open and fdopen take two
    // (fdopen asks for the descriptor's flags).
    thread_local char buffer[16384];
    out.file = std::fopen(path, "wbxe");
    if (out.file) {
        // A buffer of our own: for one of its own, stdio would first ask the
        // system for the file's block size, a call per extracted file.
        std::setvbuf(out.file, buffer, _IOFBF, sizeof buffer);
        out.createdTarget = true;
        return true;
    }
    if (errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISCHR(st.st_mode)) {
        out.file = std::fopen(path, "wb");
        return out.file != nullptr;
    }
    static std::atomic<unsigned> counter {0};
    const std::size_t cut = out.target.rfind('/');
    const std::string folder = cut == std::string::npos ? std::string() : out.target.substr(0, cut + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp =
            folder + ".ombrix-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        // A new name of our own (O_EXCL, no link followed); the mode as a new file gets.
        out.file = std::fopen(temp.c_str(), "wbxe");
        if (!out.file && errno == EEXIST) continue;
        if (!out.file) return false;
        std::setvbuf(out.file, buffer, _IOFBF, sizeof buffer);
        out.temp = temp;
        return true;
    }
    return false;
}

bool finishOutputFile(OutputFile& out, bool keep) {
    if (!out.file) return false;
    bool ok = std::fclose(out.file) == 0;
    out.file = nullptr;
    if (out.createdTarget) {
        out.createdTarget = false;
        if (!(ok && keep)) ::unlink(out.target.c_str());
        return ok && keep;
    }
    if (out.temp.empty()) return ok && keep;
    // rename replaces the name itself: a link there is not followed.
    ok = ok && keep && ::rename(out.temp.c_str(), out.target.c_str()) == 0;
    if (!ok) ::unlink(out.temp.c_str());
    out.temp.clear();
    return ok;
}

bool userSettingsFolder(char* out, std::size_t outSize) {
    std::string folder;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && *xdg == '/') folder = std::string(xdg) + "/ombrix";
    else if (home && *home == '/') folder = std::string(home) + "/.config/ombrix";
    else return false;
    for (std::size_t i = 1; i <= folder.size(); ++i)
        if (i == folder.size() || folder[i] == '/') ::mkdir(folder.substr(0, i).c_str(), 0755);
    if (folder.size() >= outSize) return false;
    std::memcpy(out, folder.c_str(), folder.size() + 1);
    return true;
}

bool removeFile(const char* path) { return ::unlink(path) == 0; }

bool makeFolders(const char* path) {
    const std::string folder(path);
    for (std::size_t i = 1; i <= folder.size(); ++i)
        if (i == folder.size() || folder[i] == '/') ::mkdir(folder.substr(0, i).c_str(), 0755);
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void yieldThread() { ::sched_yield(); }

// Linux hosts pass UTF-8, which is what the plug-in uses inside.
std::string utf8FromAnsi(const char* text) { return text ? text : ""; }
std::string ansiFromUtf8(const std::string& text) { return text; }

void moduleDirectory(const void* anchor, char* out, std::size_t outSize) {
    if (outSize == 0) return;
    out[0] = 0;
    char resolved[PATH_MAX];
    const char* name = nullptr;
    if (!anchor) {
        const ssize_t n = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
        if (n <= 0) return;
        resolved[n] = 0;
        name = resolved;
    } else {
        Dl_info info {};
        if (::dladdr(anchor, &info) == 0 || !info.dli_fname) return;
        name = ::realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    }
    const char* slash = std::strrchr(name, '/');
    if (!slash) return;
    std::size_t len = static_cast<std::size_t>(slash - name);
    if (len >= outSize) return;
    std::memcpy(out, name, len);
    out[len] = 0;
}

bool debugOutputWanted() {
    const char* target = std::getenv("OMBRIX_LOG");
    return target && *target;
}

void debugOutput(const char* text) {
    const char* target = std::getenv("OMBRIX_LOG");
    if (!target || !*target) return;
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
