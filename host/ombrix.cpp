// ombrix: a command-line host for the OMBRIX packer plug-in. It loads the
// built plug-in and drives its exports the way a file manager does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <direct.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "plugin/wcx.h"

namespace {

// Exit statuses of our own, beside the plug-in's result codes.
constexpr int kExitUsage = 2;
constexpr int kExitNoPlugin = 3;

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

// A host loads the plug-in of its own bitness; 64-bit Windows hosts take ombrix.wcx64.
#ifdef _WIN64
constexpr char kPluginName[] = "ombrix.wcx64";
#else
constexpr char kPluginName[] = "ombrix.wcx";
#endif

using OpenArchiveFn = void*(WCX_API*)(tOpenArchiveData*);
using ReadHeaderFn = int(WCX_API*)(void*, tHeaderData*);
using ProcessFileFn = int(WCX_API*)(void*, int, char*, char*);
using CloseArchiveFn = int(WCX_API*)(void*);
using PackFilesFn = int(WCX_API*)(char*, char*, char*, char*, int);
using DeleteFilesFn = int(WCX_API*)(char*, char*);
using SetChangeVolProcFn = void(WCX_API*)(void*, tChangeVolProc);
using SetProcessDataProcFn = void(WCX_API*)(void*, tProcessDataProc);
using PackSetDefaultParamsFn = void(WCX_API*)(PackDefaultParamStruct*);
// Optional export for hosts without a window system: the new-image settings
// as "key=value" lines, run through the settings dialog's logic. Returns 0
// when every value was taken, else the line number of the first bad one.
using ConfigurePackerTextFn = int(WCX_API*)(const char*);

struct Plugin {
    OpenArchiveFn openArchive = nullptr;
    ReadHeaderFn readHeader = nullptr;
    ProcessFileFn processFile = nullptr;
    CloseArchiveFn closeArchive = nullptr;
    PackFilesFn packFiles = nullptr;
    DeleteFilesFn deleteFiles = nullptr;
    SetChangeVolProcFn setChangeVolProc = nullptr;
    SetProcessDataProcFn setProcessDataProc = nullptr;
    PackSetDefaultParamsFn packSetDefaultParams = nullptr;
    ConfigurePackerTextFn configurePackerText = nullptr;
};

struct Options {
    std::string plugin;
    std::string ini;
    bool log = false;
    std::string command;
    std::string image;
    std::string dir = ".";
    bool json = false;
    std::vector<std::string> names;
    std::string settingsText;  // new-image values for add
    bool move = false;         // add: remove the sources once they are in the image
};

struct ResultText {
    int code;
    const char* name;
    const char* meaning;
};
constexpr ResultText kResultTexts[] = {
    {E_END_ARCHIVE, "E_END_ARCHIVE", "no more files"},
    {E_NO_MEMORY, "E_NO_MEMORY", "not enough memory or room in the image"},
    {E_BAD_DATA, "E_BAD_DATA", "bad data"},
    {E_BAD_ARCHIVE, "E_BAD_ARCHIVE", "damaged archive"},
    {E_UNKNOWN_FORMAT, "E_UNKNOWN_FORMAT", "unknown format"},
    {E_EOPEN, "E_EOPEN", "cannot open the file"},
    {E_ECREATE, "E_ECREATE", "cannot create the file"},
    {E_ECLOSE, "E_ECLOSE", "cannot close the file"},
    {E_EREAD, "E_EREAD", "read error"},
    {E_EWRITE, "E_EWRITE", "write error"},
    {E_SMALL_BUF, "E_SMALL_BUF", "buffer too small"},
    {E_EABORTED, "E_EABORTED", "aborted"},
    {E_NO_FILES, "E_NO_FILES", "no such file"},
    {E_TOO_MANY_FILES, "E_TOO_MANY_FILES", "too many files"},
    {E_NOT_SUPPORTED, "E_NOT_SUPPORTED", "not supported"},
};

const char* resultName(int code) {
    for (const ResultText& r : kResultTexts)
        if (r.code == code) return r.name;
    return "E_UNKNOWN";
}

const char* resultMeaning(int code) {
    for (const ResultText& r : kResultTexts)
        if (r.code == code) return r.meaning;
    return "unknown error";
}

void reportFailure(const std::string& image, const std::string& file, int code) {
    if (file.empty())
        std::fprintf(stderr, "ombrix: %s: %s (%d): %s\n", image.c_str(), resultName(code), code, resultMeaning(code));
    else
        std::fprintf(stderr, "ombrix: %s: %s: %s (%d): %s\n", image.c_str(), file.c_str(), resultName(code), code,
                     resultMeaning(code));
}

int usage() {
    std::fputs(
        "usage: ombrix [--plugin FILE] [--ini FILE] [--log] COMMAND IMAGE [ARGS]\n"
        "  list    IMAGE [--json]                 every file the plug-in reports\n"
        "  extract IMAGE [-C DIR] [NAME...]       all files, or the named ones, into DIR\n"
        "  test    IMAGE                          test every file\n"
        "  add     IMAGE [-C DIR] [--move] [OPTIONS] NAME...   pack DIR/NAME... (creates IMAGE if missing;\n"
        "                                         --move removes them once the image is written)\n"
        "  delete  IMAGE NAME...\n"
        "add options (values for a new image, checked as the settings dialog checks them):\n"
        "  --title TEXT --id XY --dos GROUP=XY --interleave GROUP=DIR,FILES\n"
        "  --forty speeddos|dolphindos --error-bytes --use-dir-track --from-track1\n"
        "  (GROUP is d64, d80 or d81)\n",
        stderr);
    return kExitUsage;
}

std::string executableDirectory() {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
#else
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = 0;
#endif
    std::string p(path);
    std::size_t cut = p.find_last_of(kSep);
    return cut == std::string::npos ? std::string(".") : p.substr(0, cut);
}

// The plug-in beside the host (a build folder, a Windows install), else where
// the Debian package puts it: <prefix>/bin/ombrix with <prefix>/lib/ombrix/.
std::string defaultPlugin() {
    const std::string dir = executableDirectory();
    const std::string beside = dir + kSep + kPluginName;
    const std::string installed = dir + kSep + ".." + kSep + "lib" + kSep + "ombrix" + kSep + kPluginName;
    for (const std::string& path : {beside, installed}) {
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fclose(f);
            return path;
        }
    }
    return beside;
}

std::string defaultIni() {
#ifdef _WIN32
    const char* base = std::getenv("APPDATA");
    return std::string(base ? base : ".") + "\\ombrix\\wcx.ini";
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/ombrix/wcx.ini";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/ombrix/wcx.ini";
#endif
}

void makeDirectories(const std::string& dir) {
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != kSep) continue;
        std::string part = dir.substr(0, i);
#ifdef _WIN32
        if (part.size() == 2 && part[1] == ':') continue;
        _mkdir(part.c_str());
#else
        mkdir(part.c_str(), 0755);
#endif
    }
}

void setEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

bool loadPlugin(const std::string& path, Plugin& p) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) return false;
    auto sym = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
#else
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "ombrix: %s\n", dlerror());
        return false;
    }
    auto sym = [&](const char* name) { return dlsym(module, name); };
#endif
    p.openArchive = reinterpret_cast<OpenArchiveFn>(sym("OpenArchive"));
    p.readHeader = reinterpret_cast<ReadHeaderFn>(sym("ReadHeader"));
    p.processFile = reinterpret_cast<ProcessFileFn>(sym("ProcessFile"));
    p.closeArchive = reinterpret_cast<CloseArchiveFn>(sym("CloseArchive"));
    p.packFiles = reinterpret_cast<PackFilesFn>(sym("PackFiles"));
    p.deleteFiles = reinterpret_cast<DeleteFilesFn>(sym("DeleteFiles"));
    p.setChangeVolProc = reinterpret_cast<SetChangeVolProcFn>(sym("SetChangeVolProc"));
    p.setProcessDataProc = reinterpret_cast<SetProcessDataProcFn>(sym("SetProcessDataProc"));
    p.packSetDefaultParams = reinterpret_cast<PackSetDefaultParamsFn>(sym("PackSetDefaultParams"));
    p.configurePackerText = reinterpret_cast<ConfigurePackerTextFn>(sym("ConfigurePackerText"));
    return p.openArchive && p.readHeader && p.processFile && p.closeArchive;
}

// JSON string: valid UTF-8 stays; any other byte above 0x7F is Latin-1.
std::string jsonString(const char* s) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++p;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++p;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++p;
        } else {
            int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            bool valid = len > 0 && !(len == 2 && c < 0xC2);
            for (int i = 1; valid && i < len; ++i)
                if ((p[i] & 0xC0) != 0x80) valid = false;
            if (valid) {
                out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
                p += len;
            } else {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
                ++p;
            }
        }
    }
    return out + "\"";
}

bool isHidden(std::int32_t attr) {
#ifdef _WIN32
    return (attr & 2) != 0;
#else
    return (attr & 0170000) != 0 && (attr & 0200) == 0;
#endif
}

void* openImage(const Plugin& p, const Options& o, int mode, int& result) {
    std::vector<char> name(o.image.begin(), o.image.end());
    name.push_back(0);
    tOpenArchiveData data {};
    data.ArcName = name.data();
    data.OpenMode = mode;
    void* handle = p.openArchive(&data);
    result = handle ? 0 : (data.OpenResult ? data.OpenResult : E_EOPEN);
    if (handle) {
        if (p.setChangeVolProc) p.setChangeVolProc(handle, nullptr);
        if (p.setProcessDataProc) p.setProcessDataProc(handle, nullptr);
    }
    return handle;
}

int runList(const Plugin& p, const Options& o) {
    int result = 0;
    void* handle = openImage(p, o, PK_OM_LIST, result);
    if (!handle) {
        reportFailure(o.image, "", result);
        return result;
    }
    if (o.json)
        std::fputs("[", stdout);
    else
        std::printf("%6s %8s  %s\n", "blocks", "bytes", "name");
    bool first = true;
    int status = 0;
    for (;;) {
        tHeaderData header {};
        int r = p.readHeader(handle, &header);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            status = r;
            break;
        }
        bool hidden = isHidden(header.FileAttr);
        if (o.json) {
            std::printf("%s\n  {\"name\": %s, \"blocks\": %d, \"bytes\": %d, \"hidden\": %s}", first ? "" : ",",
                        jsonString(header.FileName).c_str(), header.PackSize, header.UnpSize,
                        hidden ? "true" : "false");
        } else {
            std::printf("%6d %8d  %s%s\n", header.PackSize, header.UnpSize, header.FileName, hidden ? "  hidden" : "");
        }
        first = false;
        p.processFile(handle, PK_SKIP, nullptr, nullptr);
    }
    if (o.json) std::fputs(first ? "]\n" : "\n]\n", stdout);
    p.closeArchive(handle);
    if (status) reportFailure(o.image, "", status);
    return status;
}

int runExtractOrTest(const Plugin& p, const Options& o, bool test) {
    int result = 0;
    void* handle = openImage(p, o, PK_OM_EXTRACT, result);
    if (!handle) {
        reportFailure(o.image, "", result);
        return result;
    }
    int firstFailure = 0;
    std::vector<bool> seen(o.names.size(), false);
    for (;;) {
        tHeaderData header {};
        int r = p.readHeader(handle, &header);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            reportFailure(o.image, "", r);
            if (!firstFailure) firstFailure = r;
            break;
        }
        bool wanted = o.names.empty();
        for (std::size_t i = 0; i < o.names.size(); ++i) {
            if (o.names[i] == header.FileName) {
                // The first file of a name wins, as in the plug-in's search.
                wanted = !seen[i];
                seen[i] = true;
            }
        }
        if (!wanted) {
            p.processFile(handle, PK_SKIP, nullptr, nullptr);
            continue;
        }
        std::string target = test ? std::string(header.FileName) : o.dir + kSep + header.FileName;
        std::vector<char> dest(target.begin(), target.end());
        dest.push_back(0);
        int rc = p.processFile(handle, test ? PK_TEST : PK_EXTRACT, nullptr, dest.data());
        if (rc != 0) {
            reportFailure(o.image, header.FileName, rc);
            if (!firstFailure) firstFailure = rc;
        } else {
            std::printf("%s %s\n", test ? "ok" : "extracted", test ? header.FileName : target.c_str());
        }
    }
    p.closeArchive(handle);
    for (std::size_t i = 0; i < o.names.size(); ++i) {
        if (!seen[i]) {
            reportFailure(o.image, o.names[i], E_NO_FILES);
            if (!firstFailure) firstFailure = E_NO_FILES;
        }
    }
    return firstFailure;
}

std::vector<char> nameList(const std::vector<std::string>& names) {
    std::vector<char> list;
    for (const std::string& n : names) {
        list.insert(list.end(), n.begin(), n.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

// An empty name would end the plug-in's list early and drop the names after
// it without a word.
bool hasEmptyName(const std::vector<std::string>& names) {
    for (const std::string& n : names)
        if (n.empty()) return true;
    return false;
}

// ".prg" and ".seq" (lower case: upper-case letters are other PETSCII
// characters) leave nothing of the name once the type is taken off.
bool emptyCbmName(const std::string& name) { return name == ".prg" || name == ".seq"; }

int missingExport(const Options& o, const char* name) {
    std::fprintf(stderr, "ombrix: the plug-in has no %s export\n", name);
    reportFailure(o.image, "", E_NOT_SUPPORTED);
    return E_NOT_SUPPORTED;
}

int runAdd(const Plugin& p, const Options& o) {
    if (hasEmptyName(o.names)) return usage();
    if (!p.packFiles) return missingExport(o, "PackFiles");
    if (!o.settingsText.empty()) {
        if (!p.configurePackerText) {
            std::fputs("ombrix: this plug-in cannot take new-image settings\n", stderr);
            return E_NOT_SUPPORTED;
        }
        // The plug-in names the first line it could not take; show it as given.
        int bad = p.configurePackerText(o.settingsText.c_str());
        if (bad != 0) {
            std::size_t start = 0;
            for (int line = 1; line < bad && start != std::string::npos; ++line) {
                start = o.settingsText.find('\n', start);
                if (start != std::string::npos) ++start;
            }
            std::string item = start == std::string::npos ? std::string() : o.settingsText.substr(start);
            item = item.substr(0, item.find('\n'));
            std::fprintf(stderr, "ombrix: new-image setting not accepted (item %d: %s)\n", bad, item.c_str());
            return kExitUsage;
        }
    }
    std::vector<char> image(o.image.begin(), o.image.end());
    image.push_back(0);
    // The plug-in puts the list name straight after the source folder.
    std::string src = o.dir.empty() ? std::string(".") : o.dir;
    if (src.back() != kSep) src += kSep;
    std::vector<char> srcPath(src.begin(), src.end());
    srcPath.push_back(0);
    std::vector<char> list = nameList(o.names);
    int rc = p.packFiles(image.data(), nullptr, srcPath.data(), list.data(), o.move ? PK_PACK_MOVE_FILES : 0);
    if (rc != 0) {
        reportFailure(o.image, "", rc);
        // The plug-in refuses a name that would leave an empty CBM name.
        for (const std::string& n : o.names)
            if (rc == E_ECREATE && emptyCbmName(n))
                std::fprintf(stderr, "ombrix: %s: a name that is only a .prg or .seq extension cannot be stored\n",
                             n.c_str());
        return rc;
    }
    for (const std::string& n : o.names) std::printf("%s %s\n", o.move ? "moved" : "added", n.c_str());
    return 0;
}

int runDelete(const Plugin& p, const Options& o) {
    if (hasEmptyName(o.names)) return usage();
    if (!p.deleteFiles) return missingExport(o, "DeleteFiles");
    std::vector<char> image(o.image.begin(), o.image.end());
    image.push_back(0);
    std::vector<char> list = nameList(o.names);
    int rc = p.deleteFiles(image.data(), list.data());
    if (rc != 0) reportFailure(o.image, "", rc);
    return rc;
}

// Parses the add options into "key=value" lines for the plug-in.
bool parseAddOption(const std::string& arg, int& i, int argc, char** argv, Options& o) {
    auto value = [&](std::string& out) {
        if (i + 1 >= argc) return false;
        out = argv[++i];
        return true;
    };
    std::string v;
    if (arg == "--title" || arg == "--id" || arg == "--dos" || arg == "--interleave" || arg == "--forty") {
        // One value per line: a line break inside would start another setting.
        if (!value(v) || v.find_first_of("\r\n") != std::string::npos) return false;
        o.settingsText += arg.substr(2) + "=" + v + "\n";
        return true;
    }
    if (arg == "--move") {
        o.move = true;
        return true;
    }
    if (arg == "--error-bytes" || arg == "--use-dir-track" || arg == "--from-track1") {
        o.settingsText += arg.substr(2) + "=1\n";
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--plugin" && i + 1 < argc) o.plugin = argv[++i];
        else if (a == "--ini" && i + 1 < argc) o.ini = argv[++i];
        else if (a == "--log") o.log = true;
        else if (a == "-h" || a == "--help") return usage();
        else break;
    }
    if (i >= argc) return usage();
    o.command = argv[i++];
    // The image is the first argument that is not an option; options may
    // stand before or after it.
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json" && o.command == "list") o.json = true;
        else if (a == "-C" && i + 1 < argc && (o.command == "extract" || o.command == "add")) o.dir = argv[++i];
        else if (o.command == "add" && a.rfind("--", 0) == 0) {
            if (!parseAddOption(a, i, argc, argv, o)) return usage();
        } else if (o.image.empty()) o.image = a;
        else o.names.push_back(a);
    }
    if (o.image.empty()) return usage();
    const bool known = o.command == "list" || o.command == "extract" || o.command == "test" ||
                       o.command == "add" || o.command == "delete";
    if (!known) return usage();
    if ((o.command == "list" || o.command == "test") && !o.names.empty()) return usage();
    if ((o.command == "add" || o.command == "delete") && o.names.empty()) return usage();

    if (o.log) {
        setEnv("OMBRIX_LOG", "-");
        setEnv("OMBRIX_LOGLEVEL", "4");
    }
    if (o.plugin.empty()) o.plugin = defaultPlugin();
    Plugin p;
    if (!loadPlugin(o.plugin, p)) {
        std::fprintf(stderr, "ombrix: cannot load the plug-in %s\n", o.plugin.c_str());
        return kExitNoPlugin;
    }
    if (p.packSetDefaultParams) {
        if (o.ini.empty()) o.ini = defaultIni();
        std::size_t cut = o.ini.find_last_of(kSep);
        if (cut != std::string::npos && cut > 0) makeDirectories(o.ini.substr(0, cut));
        PackDefaultParamStruct dps {};
        dps.size = sizeof dps;
        dps.PluginInterfaceVersionLow = 22;
        dps.PluginInterfaceVersionHi = 2;
        std::strncpy(dps.DefaultIniName, o.ini.c_str(), sizeof dps.DefaultIniName - 1);
        p.packSetDefaultParams(&dps);
    }

    if (o.command == "list") return runList(p, o);
    if (o.command == "extract") return runExtractOrTest(p, o, false);
    if (o.command == "test") return runExtractOrTest(p, o, true);
    if (o.command == "add") return runAdd(p, o);
    return runDelete(p, o);
}
