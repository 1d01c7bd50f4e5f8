// ombrix: a command-line host for the OMBRIX packer plug-in. It loads the
// built plug-in and drives its exports the way a file manager does.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"

#ifndef OMBRIX_VERSION
#define OMBRIX_VERSION "unknown"
#endif

namespace {

using host::kSep;

// Exit statuses of our own, beside the plug-in's result codes.
constexpr int kExitUsage = 2;
constexpr int kExitNoPlugin = 3;

// A host loads the plug-in of its own bitness; 64-bit Windows hosts take ombrix.wcx64.
#ifdef _WIN64
constexpr char kPluginName[] = "ombrix.wcx64";
#else
constexpr char kPluginName[] = "ombrix.wcx";
#endif

struct Options {
    std::string plugin;
    std::string ini;
    bool log = false;
    std::string command;
    std::string image;
    std::string dir;
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

const ResultText* resultText(int code) {
    for (const ResultText& r : kResultTexts)
        if (r.code == code) return &r;
    return nullptr;
}

void reportFailure(const std::string& image, const std::string& file, int code) {
    const ResultText* r = resultText(code);
    std::fprintf(stderr, "ombrix: %s: %s%s%s (%d): %s\n", image.c_str(), file.c_str(), file.empty() ? "" : ": ",
                 r ? r->name : "E_UNKNOWN", code, r ? r->meaning : "unknown error");
}

// The cause the system gives, said once, when the plug-in's code alone would
// leave the user guessing.
void reportCause(const std::string& what, const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "ombrix: cannot open %s: %s\n", what.c_str(), why.c_str());
}

constexpr char kUsage[] =
    "Usage: ombrix [--plugin FILE] [--ini FILE] [--log] COMMAND IMAGE [ARGS]\n"
    "List, extract, test, add and delete the files of Commodore disk and tape\n"
    "images (D64, D71, D80, D81, D82, T64) through the OMBRIX packer plug-in,\n"
    "driving it as a file manager does.\n"
    "\n"
    "Commands:\n"
    "  list IMAGE [--json]     every file the plug-in reports (blocks, bytes, name)\n"
    "  extract IMAGE [-C DIR] [NAME...]\n"
    "                          all files, or the named ones, into DIR (default: the\n"
    "                          current folder; created when missing)\n"
    "  test IMAGE              test every file\n"
    "  add IMAGE [-C DIR] [--move] [ADD OPTIONS] NAME...\n"
    "                          pack DIR/NAME... (creates IMAGE if missing; --move\n"
    "                          removes them once the image is written)\n"
    "  delete IMAGE NAME...    delete the named files\n"
    "\n"
    "Options:\n"
    "  --plugin FILE           the plug-in to load (default: " "ombrix.wcx beside ombrix,\n"
    "                          else ../lib/ombrix/ombrix.wcx)\n"
    "  --ini FILE              the settings name handed to the plug-in (default:\n"
    "                          ~/.config/ombrix/wcx.ini); it keeps ombrix.ini there\n"
    "  --log                   show the plug-in's diagnostics on standard error\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "\n"
    "Add options (values for a new image, checked as the settings dialog checks them):\n"
    "  --title TEXT            disk title (15 characters are kept)\n"
    "  --id XY                 disk ID\n"
    "  --dos GROUP=XY          DOS version of a format group\n"
    "  --interleave GROUP=DIR,FILES\n"
    "                          interleaves (1 to 40; other numbers take the default)\n"
    "  --forty speeddos|dolphindos\n"
    "                          40-track D64 of that layout\n"
    "  --error-bytes           new images carry error bytes\n"
    "  --use-dir-track         the directory track takes data when all else is full\n"
    "  --from-track1           allocate upwards from track 1\n"
    "  GROUP is d64 (also D71), d80 (also D82) or d81.\n"
    "\n"
    "Exit status:\n"
    "  0 on success; 2 for a usage error; 3 when the plug-in cannot be loaded;\n"
    "  otherwise the plug-in's result code: 11 no memory or no room, 14 unknown\n"
    "  format, 15 cannot open, 16 cannot create, 18 read error, 19 write error,\n"
    "  21 aborted, 22 no such file, 23 directory full, 24 not supported.\n"
    "  extract and test go on after a failing file and return the first failure.\n";

int usageError(const char* why = nullptr) {
    if (why) std::fprintf(stderr, "ombrix: %s\n", why);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

std::string defaultIni() {
#ifdef _WIN32
    const std::string base = host::environment("APPDATA");
    return (base.empty() ? std::string(".") : base) + "\\ombrix\\wcx.ini";
#else
    const std::string xdg = host::environment("XDG_CONFIG_HOME");
    if (!xdg.empty()) return xdg + "/ombrix/wcx.ini";
    const std::string home = host::environment("HOME");
    return (home.empty() ? std::string(".") : home) + "/.config/ombrix/wcx.ini";
#endif
}

// The plug-in beside the host (a build folder, a Windows install), else where
// the Debian package puts it: <prefix>/bin/ombrix with <prefix>/lib/ombrix/.
std::string defaultPlugin() {
    const std::string dir = host::executableDirectory();
    const std::string beside = dir + kSep + kPluginName;
    const std::string installed = dir + kSep + ".." + kSep + "lib" + kSep + "ombrix" + kSep + kPluginName;
    for (const std::string& path : {beside, installed})
        if (host::whyNotReadable(path).empty()) return path;
    return beside;
}

// JSON string: valid UTF-8 stays; any other byte above 0x7F is Latin-1.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
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

void* openImage(const host::Plugin& p, const Options& o, int mode, int& result) {
    void* handle = host::openArchive(p, o.image, mode, result);
    if (!handle) {
        reportFailure(o.image, "", result);
        if (result == E_EOPEN) reportCause(o.image, host::whyNotReadable(o.image));
    }
    return handle;
}

int runList(const host::Plugin& p, const Options& o) {
    int result = 0;
    void* handle = openImage(p, o, PK_OM_LIST, result);
    if (!handle) return result;
    if (o.json)
        std::fputs("[", stdout);
    else
        std::printf("%6s %8s  %s\n", "blocks", "bytes", "name");
    bool first = true;
    int status = 0;
    for (;;) {
        host::Entry entry;
        int r = host::readHeader(p, handle, entry);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            status = r;
            break;
        }
        if (o.json) {
            std::printf("%s\n  {\"name\": %s, \"blocks\": %lld, \"bytes\": %lld, \"hidden\": %s}", first ? "" : ",",
                        jsonString(entry.name).c_str(), static_cast<long long>(entry.blocks),
                        static_cast<long long>(entry.bytes), entry.hidden ? "true" : "false");
        } else {
            std::printf("%6lld %8lld  %s%s\n", static_cast<long long>(entry.blocks), static_cast<long long>(entry.bytes),
                        entry.name.c_str(), entry.hidden ? "  hidden" : "");
        }
        first = false;
        host::processFile(p, handle, PK_SKIP, nullptr);
    }
    if (o.json) std::fputs(first ? "]\n" : "\n]\n", stdout);
    host::closeArchive(p, handle);
    if (status) reportFailure(o.image, "", status);
    return status;
}

// The target folder is made ready before anything is tried, as unzip -d does:
// one clear error instead of one per file.
bool prepareTargetFolder(const std::string& dir) {
    std::string why;
    if (!host::isFolder(dir) && !host::makeFolders(dir, why)) {
        std::fprintf(stderr, "ombrix: %s: cannot create the folder: %s\n", dir.c_str(), why.c_str());
        return false;
    }
    if (!host::folderWritable(dir, why)) {
        std::fprintf(stderr, "ombrix: %s: cannot write into the folder: %s\n", dir.c_str(), why.c_str());
        return false;
    }
    return true;
}

int runExtractOrTest(const host::Plugin& p, const Options& o, bool test) {
    const std::string dir = o.dir.empty() ? std::string(".") : o.dir;
    if (!test && !prepareTargetFolder(dir)) return kExitUsage;
    int result = 0;
    void* handle = openImage(p, o, PK_OM_EXTRACT, result);
    if (!handle) return result;
    int firstFailure = 0;
    std::vector<bool> seen(o.names.size(), false);
    for (;;) {
        host::Entry entry;
        int r = host::readHeader(p, handle, entry);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            reportFailure(o.image, "", r);
            if (!firstFailure) firstFailure = r;
            break;
        }
        bool wanted = o.names.empty();
        for (std::size_t i = 0; i < o.names.size(); ++i) {
            if (o.names[i] == entry.name) {
                wanted = true;
                seen[i] = true;
            }
        }
        if (!wanted) {
            host::processFile(p, handle, PK_SKIP, nullptr);
            continue;
        }
        const std::string target = test ? entry.name : dir + kSep + entry.name;
        int rc = host::processFile(p, handle, test ? PK_TEST : PK_EXTRACT, &target);
        if (rc != 0) {
            reportFailure(o.image, entry.name, rc);
            if (!firstFailure) firstFailure = rc;
        } else {
            std::printf("%s %s\n", test ? "ok" : "extracted", target.c_str());
        }
    }
    host::closeArchive(p, handle);
    for (std::size_t i = 0; i < o.names.size(); ++i) {
        if (!seen[i]) {
            reportFailure(o.image, o.names[i], E_NO_FILES);
            if (!firstFailure) firstFailure = E_NO_FILES;
        }
    }
    return firstFailure;
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

int applySettings(const host::Plugin& p, const Options& o) {
    if (o.settingsText.empty()) return 0;
    if (!p.canConfigure) {
        std::fputs("ombrix: this plug-in cannot take new-image settings\n", stderr);
        return E_NOT_SUPPORTED;
    }
    // The plug-in names the first line it could not take; show it as given.
    const int bad = host::configureText(p, o.settingsText);
    if (bad == 0) return 0;
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

int runAdd(const host::Plugin& p, const Options& o) {
    if (!p.canPack) return missingExport(o, "PackFiles");
    if (int rc = applySettings(p, o)) return rc;
    // The plug-in puts the list name straight after the source folder.
    std::string src = o.dir.empty() ? std::string(".") : o.dir;
    if (src.back() != kSep) src += kSep;
    const int rc = host::packFiles(p, o.image, src, o.names, o.move ? PK_PACK_MOVE_FILES : 0);
    if (rc != 0) {
        reportFailure(o.image, "", rc);
        for (const std::string& n : o.names) {
            if (rc == E_ECREATE && emptyCbmName(n))
                std::fprintf(stderr, "ombrix: %s: a name that is only a .prg or .seq extension cannot be stored\n",
                             n.c_str());
            if (rc == E_EREAD) reportCause(src + n, host::whyNotReadable(src + n));
        }
        if (rc == E_EOPEN) reportCause(o.image, host::whyNotReadable(o.image));
        return rc;
    }
    for (const std::string& n : o.names) std::printf("%s %s\n", o.move ? "moved" : "added", n.c_str());
    return 0;
}

int runDelete(const host::Plugin& p, const Options& o) {
    if (!p.canDelete) return missingExport(o, "DeleteFiles");
    const int rc = host::deleteFiles(p, o.image, o.names);
    if (rc != 0) {
        reportFailure(o.image, "", rc);
        if (rc == E_EOPEN) reportCause(o.image, host::whyNotReadable(o.image));
    }
    return rc;
}

// Parses an add option into a "key=value" line for the plug-in; false when
// it is none.
bool parseAddOption(const std::vector<std::string>& args, std::size_t& i, Options& o) {
    const std::string& arg = args[i];
    if (arg == "--title" || arg == "--id" || arg == "--dos" || arg == "--interleave" || arg == "--forty") {
        // One value per line: a line break inside would start another setting.
        if (i + 1 >= args.size() || args[i + 1].find_first_of("\r\n") != std::string::npos) return false;
        o.settingsText += arg.substr(2) + "=" + args[++i] + "\n";
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

// 0 when the command line is understood, else the exit status (after the
// help, the version or a usage error has been printed).
int parseArguments(const std::vector<std::string>& args, Options& o, bool& done) {
    done = false;
    std::size_t i = 1;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--plugin" && i + 1 < args.size()) o.plugin = args[++i];
        else if (a == "--ini" && i + 1 < args.size()) o.ini = args[++i];
        else if (a == "--log") o.log = true;
        else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            done = true;
            return 0;
        } else if (a == "--version") {
            std::printf("ombrix %s\n", OMBRIX_VERSION);
            done = true;
            return 0;
        } else if (a.rfind("-", 0) == 0) {
            return usageError(("unknown option " + a).c_str());
        } else {
            break;
        }
    }
    if (i >= args.size()) return usageError("no command given");
    o.command = args[i++];
    const bool known = o.command == "list" || o.command == "extract" || o.command == "test" ||
                       o.command == "add" || o.command == "delete";
    if (!known) return usageError(("unknown command " + o.command).c_str());
    // The image is the first argument that is not an option; options may
    // stand before or after it.
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json" && o.command == "list") o.json = true;
        else if (a == "-C" && i + 1 < args.size() && (o.command == "extract" || o.command == "add")) o.dir = args[++i];
        else if (o.command == "add" && a.rfind("--", 0) == 0) {
            if (!parseAddOption(args, i, o)) return usageError(("unknown or incomplete option " + a).c_str());
        } else if (o.image.empty()) o.image = a;
        else o.names.push_back(a);
    }
    if (o.image.empty()) return usageError("no image given");
    if ((o.command == "list" || o.command == "test") && !o.names.empty())
        return usageError(("too many arguments for " + o.command).c_str());
    if ((o.command == "add" || o.command == "delete") && o.names.empty())
        return usageError(("no file names for " + o.command).c_str());
    if (hasEmptyName(o.names)) return usageError("an empty file name");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    host::prepareOutput();
    Options o;
    bool done = false;
    if (int rc = parseArguments(host::arguments(argc, argv), o, done); rc != 0 || done) return rc;

    if (o.log) {
        host::setEnvironment("OMBRIX_LOG", "-");
        host::setEnvironment("OMBRIX_LOGLEVEL", "4");
    }
    if (o.plugin.empty()) o.plugin = defaultPlugin();
    host::Plugin p;
    std::string why;
    if (!host::loadPlugin(o.plugin, p, why)) {
        std::fprintf(stderr, "ombrix: cannot load the plug-in %s: %s\n", o.plugin.c_str(), why.c_str());
        return kExitNoPlugin;
    }
    if (o.ini.empty()) o.ini = defaultIni();
    const std::size_t cut = o.ini.find_last_of(kSep);
    std::string ignored;
    if (cut != std::string::npos && cut > 0) host::makeFolders(o.ini.substr(0, cut), ignored);
    host::setDefaultParams(p, o.ini);

    if (o.command == "list") return runList(p, o);
    if (o.command == "extract") return runExtractOrTest(p, o, false);
    if (o.command == "test") return runExtractOrTest(p, o, true);
    if (o.command == "add") return runAdd(p, o);
    return runDelete(p, o);
}
