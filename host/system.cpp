// The system services of the command-line host, on UTF-8 text: on Windows
// every path goes to the system as UTF-16, so any folder name works.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host/host.h"

namespace host {

#ifdef _WIN32
namespace {
std::wstring wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 1u, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(std::wcslen(out.c_str()));
    return out;
}

std::string utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 1u, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}
}  // namespace

std::vector<std::string> arguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; list && i < count; ++i) args.push_back(utf8(list[i]));
    if (list) LocalFree(list);
    return args;
}

void prepareOutput() { SetConsoleOutputCP(CP_UTF8); }

std::string executableDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::string p = utf8(path);
    std::size_t cut = p.find_last_of(kSep);
    return cut == std::string::npos ? std::string(".") : p.substr(0, cut);
}

std::string environment(const char* name) {
    const wchar_t* value = _wgetenv(wide(name).c_str());
    return value ? utf8(value) : std::string();
}

void setEnvironment(const char* name, const char* value) { _putenv_s(name, value); }

std::FILE* openFile(const std::string& path, const char* mode) { return _wfopen(wide(path).c_str(), wide(mode).c_str()); }

bool isFolder(const std::string& path) {
    struct _stat st {};
    return _wstat(wide(path).c_str(), &st) == 0 && (st.st_mode & _S_IFDIR);
}

namespace {
int makeFolder(const std::string& path) { return _wmkdir(wide(path).c_str()); }

// A new, empty file; false (errno set) when it cannot be made or exists.
bool createNewFile(const std::string& path) {
    const int fd = _wopen(wide(path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return false;
    _close(fd);
    return true;
}

void removeFile(const std::string& path) { _wremove(wide(path).c_str()); }
}  // namespace

bool pathExists(const std::string& path) {
    struct _stat st {};
    return _wstat(wide(path).c_str(), &st) == 0;
}

bool isAbsolutePath(const std::string& path) {
    return (!path.empty() && (path[0] == '\\' || path[0] == '/')) || (path.size() > 2 && path[1] == ':' &&
                                                                       (path[2] == '\\' || path[2] == '/'));
}

bool removePath(const std::string& path, std::string& why) {
    if (_wremove(wide(path).c_str()) == 0) return true;
    why = std::strerror(errno);
    return false;
}

std::string makeScratchFolder(std::string& why) {
    wchar_t base[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH, base) == 0) {
        why = "no folder for temporary files";
        return "";
    }
    const std::string root = utf8(base);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string path = root + "ombrix-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
        if (_wmkdir(wide(path).c_str()) == 0) return path;
        if (errno != EEXIST) break;
    }
    why = std::strerror(errno);
    return "";
}

void removeScratchFolder(const std::string& path) {
    std::vector<std::string> files, folders;
    if (path.empty() || !listFolder(path, files, folders)) return;
    for (const std::string& f : files) removeFile(path + "\\" + f);
    _wrmdir(wide(path).c_str());
}

void binaryOutput() { _setmode(_fileno(stdout), _O_BINARY); }
#else
std::vector<std::string> arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void prepareOutput() {}

std::string executableDirectory() {
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = 0;
    std::string p(path);
    std::size_t cut = p.find_last_of(kSep);
    return cut == std::string::npos ? std::string(".") : p.substr(0, cut);
}

void replaceProcess(const std::string& program, char** argv) {
    argv[0] = const_cast<char*>(program.c_str());
    execv(program.c_str(), argv);
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void setEnvironment(const char* name, const char* value) { setenv(name, value, 1); }

std::FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool isFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
int makeFolder(const std::string& path) { return mkdir(path.c_str(), 0755); }

bool createNewFile(const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }
}  // namespace

bool pathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool removePath(const std::string& path, std::string& why) {
    if (unlink(path.c_str()) == 0) return true;
    why = std::strerror(errno);
    return false;
}

std::string makeScratchFolder(std::string& why) {
    std::string base = environment("TMPDIR");
    if (base.empty()) base = "/tmp";
    std::string path = base + "/ombrix-XXXXXX";
    if (!mkdtemp(path.data())) {
        why = std::strerror(errno);
        return "";
    }
    return path;
}

void removeScratchFolder(const std::string& path) {
    std::vector<std::string> files, folders;
    if (path.empty() || !listFolder(path, files, folders)) return;
    for (const std::string& f : files) removeFile(path + "/" + f);
    rmdir(path.c_str());
}

void binaryOutput() {}
#endif

bool copyFile(const std::string& from, const std::string& to, std::string& why) {
    std::FILE* in = openFile(from, "rb");
    if (!in) {
        why = std::strerror(errno);
        return false;
    }
    std::FILE* out = openFile(to, "wb");
    if (!out) {
        why = std::strerror(errno);
        std::fclose(in);
        return false;
    }
    char buffer[65536];
    bool ok = true;
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, in)) ok = ok && std::fwrite(buffer, 1, n, out) == n;
    ok = ok && !std::ferror(in);
    if (!ok) why = std::strerror(errno);
    std::fclose(in);
    if (std::fclose(out) != 0 && ok) {
        why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

bool makeFolders(const std::string& path, std::string& why) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != kSep && path[i] != '/') continue;
        const std::string part = path.substr(0, i);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive
        if (isFolder(part)) continue;
        if (makeFolder(part) != 0 && !isFolder(part)) {
            // A file where a folder should be is "not a directory".
            why = std::strerror(errno == EEXIST ? ENOTDIR : errno);
            return false;
        }
    }
    return true;
}

bool folderWritable(const std::string& path, std::string& why) {
    // Asking the system beats guessing from permission bits (ACLs, read-only
    // mounts): a file is created and removed again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string probe = path + kSep + ".ombrix-probe-" + std::to_string(attempt);
        if (createNewFile(probe)) {
            removeFile(probe);
            return true;
        }
        if (errno != EEXIST) {
            why = std::strerror(errno);
            return false;
        }
    }
    return true;
}

#ifdef _WIN32
bool listFolder(const std::string& path, std::vector<std::string>& files, std::vector<std::string>& folders) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(wide(path + "\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    do {
        const std::string name = utf8(data.cFileName);
        if (name == "." || name == "..") continue;
        // Links and junctions to folders are not followed: one back up would never end.
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? folders : files).push_back(name);
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return true;
}
#else
bool listFolder(const std::string& path, std::vector<std::string>& files, std::vector<std::string>& folders) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        // Links to folders are not followed: a link back up would never end.
        if (lstat((path + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) folders.push_back(name);
        // A link counts as the file it points to; a link to anything else
        // (a folder above all) and pipes or devices are left out.
        else if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && stat((path + "/" + name).c_str(), &st) == 0 &&
                                         S_ISREG(st.st_mode)))
            files.push_back(name);
    }
    closedir(dir);
    return true;
}
#endif

#ifdef _WIN32
std::string whyNotReadable(const std::string& path) {
    std::FILE* f = openFile(path, "rb");
    if (!f) return std::strerror(errno);
    std::fclose(f);
    return "";
}
#else
std::string whyNotReadable(const std::string& path) {
    // Without waiting: a pipe with no writer would hold the host forever.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    const bool plain = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (plain) return "";
    return S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a plain file";
}
#endif

}  // namespace host
