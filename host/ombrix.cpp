// ombrix: a command-line host for the OMBRIX packer plug-in. It drives the
// plug-in's exports the way a file manager does: those of the plug-in linked
// into it, or with --plugin those of a plug-in file it loads.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/mount.h"

#ifndef OMBRIX_VERSION
#define OMBRIX_VERSION "unknown"
#endif

namespace {

using host::kSep;

// Exit statuses of our own, beside the plug-in's result codes.
constexpr int kExitUsage = 2;
constexpr int kExitNoPlugin = 3;

#if !defined(OMBRIX_LINKED_PLUGIN)
// A host loads the plug-in of its own bitness; 64-bit Windows hosts take ombrix.wcx64.
#ifdef _WIN64
constexpr char kPluginName[] = "ombrix.wcx64";
#else
constexpr char kPluginName[] = "ombrix.wcx";
#endif
#endif

struct Options {
    std::string plugin;
    std::string ini;
    bool log = false;
    std::string command;
    std::string image;                // the image (first of `images`)
    std::vector<std::string> images;  // list, test, dir, info, validate: every image
    std::string pattern;              // find
    std::string dir;
    bool json = false;
    bool repair = false;      // validate
    bool freeUnused = false;
    bool strict = false;
    std::vector<std::string> names;
    std::string settingsText;  // new-image values for add
    bool move = false;         // add: remove the sources once they are in the image
    bool readOnly = false;     // mount
    bool foreground = false;   // mount
    bool pc64 = false;         // extract: every file as a PC64 file
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

// Length of the UTF-8 sequence at p (ASCII: 1), 0 when it is none: overlong
// forms, surrogates and code points beyond U+10FFFF are not UTF-8 either.
int utf8Length(const unsigned char* p) {
    const unsigned c = p[0];
    if (c < 0x80) return 1;
    int len = 0;
    unsigned code = 0, least = 0;
    if (c >= 0xC2 && c <= 0xDF) len = 2, code = c & 0x1F, least = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, code = c & 0x0F, least = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, code = c & 0x07, least = 0x10000;
    else return 0;
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return len;
}

// Text as plain output shows it: a control character (C0, DEL, C1) or a
// byte that is not UTF-8 appears as \xHH, so no name or path can move the
// cursor, retitle the window or ring the bell of a terminal.
std::string shown(const std::string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (*p) {
        const int len = utf8Length(p);
        const bool control = *p < 0x20 || *p == 0x7F || (len == 2 && p[0] == 0xC2 && p[1] < 0xA0);
        if (len > 0 && !control) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
            p += len;
            continue;
        }
        for (int i = 0; i < (len > 0 ? len : 1); ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", p[i]);
            out += hex;
        }
        p += len > 0 ? len : 1;
    }
    return out;
}

// reason: the plug-in's own line on the failure (lastErrorText), when it gave one.
void reportFailure(const std::string& image, const std::string& file, int code, const std::string& reason = "") {
    const ResultText* r = resultText(code);
    std::fprintf(stderr, "ombrix: %s: %s%s%s (%d): %s%s%s\n", shown(image).c_str(), shown(file).c_str(),
                 file.empty() ? "" : ": ", r ? r->name : "E_UNKNOWN", code, r ? r->meaning : "unknown error",
                 reason.empty() ? "" : ": ", shown(reason).c_str());
}

// The cause the system gives, said once, when the plug-in's code alone would
// leave the user guessing.
void reportCause(const std::string& what, const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "ombrix: cannot open %s: %s\n", shown(what).c_str(), why.c_str());
}

constexpr char kUsage[] =
    "Usage: ombrix [--plugin FILE] [--ini FILE] [--log] COMMAND IMAGE [ARGS]\n"
    "List, extract, test, add and delete the files of Commodore disk and tape\n"
    "images (D64, D71, D80, D81, D82, G64, X64, T64) and file archives (Lynx,\n"
    "PC64) through the OMBRIX packer plug-in, driving it as a file manager does.\n"
    "\n"
    "Commands:\n"
    "  list IMAGE [--json]     every file the plug-in reports (blocks, bytes, name)\n"
    "  extract IMAGE [-C DIR] [--pc64] [NAME...]\n"
    "                          all files, or the named ones, into DIR (default: the\n"
    "                          current folder; created when missing); --pc64 writes\n"
    "                          each as a PC64 file (name.p00 ...) with its exact CBM\n"
    "                          name and type, and NAME is then such a name\n"
    "  test IMAGE              test every file\n"
    "  add IMAGE [-C DIR] [--move] [ADD OPTIONS] NAME...\n"
    "                          pack DIR/NAME... (creates IMAGE if missing; --move\n"
    "                          removes them once the image is written)\n"
    "  delete IMAGE NAME...    delete the named files\n"
    "  dir IMAGE...            the directory as the drive shows it: 0 \"TITLE\" ID DOS,\n"
    "                          blocks, \"name\" and type (* unclosed, < locked), N BLOCKS FREE.\n"
    "  info IMAGE... [--json]  format, tracks, 40-track layout, error bytes, title, ID,\n"
    "                          DOS type, files and blocks free\n"
    "  validate IMAGE... [--strict] [--repair [--free-unused]]\n"
    "                          check every structure against the BAM. \"error\" lines\n"
    "                          put data at risk: blocks in use that the BAM calls free,\n"
    "                          blocks shared by two structures, chains that loop or\n"
    "                          leave the disk, BAM counts unlike their bitmaps, a\n"
    "                          partition off the disk or over the directory track.\n"
    "                          \"note\" lines are what sound disks hold too: blocks\n"
    "                          marked used that no file uses (trackloaders, copy\n"
    "                          protections, CP/M), block counts unlike the file's.\n"
    "                          Exit 13 when errors are left, else 0 (--strict: notes\n"
    "                          count too). --repair mends the errors in the BAM and\n"
    "                          keeps the blocks of notes marked used; --free-unused\n"
    "                          frees those as well, listing them before the write.\n"
    "  find PATTERN PATH...    files whose listed name matches PATTERN (* and ?, any\n"
    "                          letter case) in every image under the folders PATH\n"
    "  mount IMAGE DIR [--read-only] [-f]\n"
    "                          the image as a folder for every program (FUSE); it\n"
    "                          detaches once mounted (-f: stays in the foreground)\n"
    "  unmount DIR             unmount it (as fusermount3 -u DIR)\n"
    "  list, test, dir, info and validate take several images; each one's block is\n"
    "  headed by its name (list --json: [{\"image\": ..., \"files\": [...]}, ...]).\n"
    "\n"
    "Options:\n"
    "  --plugin FILE           load the plug-in from FILE, as a file manager does,\n"
    "                          instead of using the one built into ombrix\n"
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
    "  otherwise the plug-in's result code: 11 no memory or no room, 13 errors\n"
    "  that put data at risk (validate), 14 unknown\n"
    "  format, 15 cannot open, 16 cannot create, 18 read error, 19 write error,\n"
    "  21 aborted, 22 no such file, 23 directory full, 24 not supported.\n"
    "  extract and test go on after a failing file and return the first failure.\n";

int usageError(const char* why = nullptr) {
    if (why) std::fprintf(stderr, "ombrix: %s\n", shown(why).c_str());
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

#if !defined(OMBRIX_LINKED_PLUGIN)
// A host without the plug-in inside finds the plug-in beside it (a build
// folder), else where the Debian package puts it: <prefix>/lib/ombrix/.
std::string defaultPlugin() {
    const std::string dir = host::executableDirectory();
    const std::string beside = dir + kSep + kPluginName;
    const std::string installed = dir + kSep + ".." + kSep + "lib" + kSep + "ombrix" + kSep + kPluginName;
    for (const std::string& path : {beside, installed})
        if (host::whyNotReadable(path).empty()) return path;
    return beside;
}
#endif

#if defined(OMBRIX_LINKED_PLUGIN) && !defined(_WIN32) && !defined(OMBRIX_PLUGIN_LOADER)
// A static program cannot load a shared object reliably: --plugin hands the
// whole command to the dynamic host built beside it (installed in
// <prefix>/lib/ombrix/), which loads the file as a file manager does.
constexpr char kPluginHostName[] = "ombrix-plugin-host";

int runPluginHost(char** argv, const std::string& plugin) {
    const std::string dir = host::executableDirectory();
    for (const std::string& path : {dir + kSep + kPluginHostName,
                                    dir + kSep + ".." + kSep + "lib" + kSep + "ombrix" + kSep + kPluginHostName})
        host::replaceProcess(path, argv);
    std::fprintf(stderr, "ombrix: cannot load the plug-in %s: no %s beside ombrix\n", plugin.c_str(), kPluginHostName);
    return kExitNoPlugin;
}
#endif

// JSON string: valid UTF-8 stays; any other byte above 0x7F is Latin-1.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (*p) {
        const unsigned char c = *p;
        const int len = utf8Length(p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (len > 0) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
            p += len;
            continue;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        ++p;
    }
    return out + "\"";
}

void* openImage(const host::Plugin& p, const std::string& image, int mode, int& result) {
    void* handle = host::openArchive(p, image, mode, result);
    if (!handle) {
        reportFailure(image, "", result);
        if (result == E_EOPEN) reportCause(image, host::whyNotReadable(image));
    }
    return handle;
}

// Every listed file of an image; the listing's end result (0 at a clean end).
int listImage(const host::Plugin& p, const std::string& image, std::vector<host::Entry>& entries, int& openResult) {
    void* handle = openImage(p, image, PK_OM_LIST, openResult);
    if (!handle) return openResult;
    int status = 0;
    for (;;) {
        host::Entry entry;
        const int r = host::readHeader(p, handle, entry);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            status = r;
            break;
        }
        entries.push_back(entry);
        host::processFile(p, handle, PK_SKIP, nullptr);
    }
    host::closeArchive(p, handle);
    return status;
}

std::string entryJson(const host::Entry& e) {
    return "{\"name\": " + jsonString(e.name) + ", \"blocks\": " + std::to_string(e.blocks) +
           ", \"bytes\": " + std::to_string(e.bytes) + ", \"hidden\": " + (e.hidden ? "true" : "false") + "}";
}

// Several images: each one's block is headed by its name.
void headImage(const Options& o, std::size_t index, const std::string& image) {
    if (o.images.size() > 1) std::printf("%s%s:\n", index ? "\n" : "", shown(image).c_str());
}

int runList(const host::Plugin& p, const Options& o) {
    const bool several = o.images.size() > 1;
    int firstFailure = 0;
    if (o.json && several) std::fputs("[", stdout);
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        const std::string& image = o.images[i];
        std::vector<host::Entry> entries;
        int openResult = 0;
        const int status = listImage(p, image, entries, openResult);
        if (openResult) {
            if (!firstFailure) firstFailure = openResult;
            continue;
        }
        if (o.json) {
            const char* indent = several ? "    " : "  ";
            if (several) std::printf("%s\n  {\"image\": %s, \"files\": [", i ? "," : "", jsonString(image).c_str());
            else std::fputs("[", stdout);
            for (std::size_t k = 0; k < entries.size(); ++k)
                std::printf("%s\n%s%s", k ? "," : "", indent, entryJson(entries[k]).c_str());
            std::printf("%s]%s", entries.empty() ? "" : (several ? "\n  " : "\n"), several ? "}" : "\n");
        } else {
            headImage(o, i, image);
            std::printf("%6s %8s  %s\n", "blocks", "bytes", "name");
            for (const host::Entry& e : entries)
                std::printf("%6lld %8lld  %s%s\n", static_cast<long long>(e.blocks), static_cast<long long>(e.bytes),
                            shown(e.name).c_str(), e.hidden ? "  hidden" : "");
        }
        if (status) {
            reportFailure(image, "", status);
            if (!firstFailure) firstFailure = status;
        }
    }
    if (o.json && several) std::fputs("\n]\n", stdout);
    return firstFailure;
}

// "key<TAB>value" lines of the plug-in's disk texts.
struct Fact {
    std::string key, value;
};
std::vector<Fact> facts(const std::string& text) {
    std::vector<Fact> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) out.push_back({line.substr(0, tab), line.substr(tab + 1)});
        start = end + 1;
    }
    return out;
}

std::string factValue(const std::vector<Fact>& all, const char* key) {
    for (const Fact& f : all)
        if (f.key == key) return f.value;
    return "";
}

int needDescribe(const host::Plugin& p) {
    if (p.canDescribe) return 0;
    std::fputs("ombrix: the plug-in has no ImageInfoText and ValidateImageText exports\n", stderr);
    return E_NOT_SUPPORTED;
}

int runDirOrInfo(const host::Plugin& p, const Options& o, bool dir) {
    if (int rc = needDescribe(p)) return rc;
    int firstFailure = 0;
    const bool severalJson = o.json && o.images.size() > 1;
    if (severalJson) std::fputs("[", stdout);
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        const std::string& image = o.images[i];
        std::string text;
        if (int rc = host::imageInfoText(p, image, text)) {
            reportFailure(image, "", rc);
            if (rc == E_EOPEN) reportCause(image, host::whyNotReadable(image));
            if (!firstFailure) firstFailure = rc;
            continue;
        }
        const std::vector<Fact> all = facts(text);
        auto value = [&](const char* key) { return factValue(all, key); };
        if (dir) {
            headImage(o, i, image);
            // As the drive shows it: the title padded to 16 in quotes.
            const std::string titleText = shown(value("title"));
            std::string title = "\"" + titleText + "\"";
            if (titleText.size() < 16) title.insert(title.size() - 1, 16 - titleText.size(), ' ');
            std::printf("0 %s %s %s\n", title.c_str(), shown(value("id")).c_str(), shown(value("dos")).c_str());
            for (const Fact& f : all) {
                if (f.key != "file") continue;
                const std::size_t a = f.value.find('\t'), b = f.value.find('\t', a + 1);
                const std::string quoted = "\"" + shown(f.value.substr(b + 1)) + "\"";
                std::printf("%-5s%-19s%s\n", shown(f.value.substr(0, a)).c_str(), quoted.c_str(),
                            shown(f.value.substr(a + 1, b - a - 1)).c_str());
            }
            if (!value("blocksfree").empty()) std::printf("%s BLOCKS FREE.\n", shown(value("blocksfree")).c_str());
        } else if (o.json) {
            auto num = [&](const char* key) { return value(key).empty() ? std::string("null") : value(key); };
            std::printf("%s%s{\"image\": %s, \"format\": %s, \"tracks\": %s, \"layout\": %s, \"errorBytes\": %s, "
                        "\"title\": %s, \"id\": %s, \"dos\": %s, \"files\": %s, \"blocksFree\": %s}%s",
                        severalJson && i ? "," : "", severalJson ? "\n  " : "", jsonString(image).c_str(),
                        jsonString(value("format")).c_str(), num("tracks").c_str(), jsonString(value("layout")).c_str(),
                        value("errorbytes") == "1" ? "true" : "false", jsonString(value("title")).c_str(),
                        jsonString(value("id")).c_str(), jsonString(value("dos")).c_str(), num("files").c_str(),
                        num("blocksfree").c_str(), severalJson ? "" : "\n");
        } else {
            headImage(o, i, image);
            const char* const keys[][2] = {{"format", "format"},       {"tracks", "tracks"},
                                           {"layout", "40-track layout"}, {"errorbytes", "error bytes"},
                                           {"title", "title"},         {"id", "ID"},
                                           {"dos", "DOS type"},        {"files", "files"},
                                           {"blocksfree", "blocks free"}};
            for (const auto& k : keys) {
                std::string v = value(k[0]);
                if (v.empty() && std::strcmp(k[0], "title") != 0) continue;
                if (std::strcmp(k[0], "errorbytes") == 0) v = v == "1" ? "yes" : "no";
                std::printf("%-17s%s\n", (std::string(k[1]) + ":").c_str(), shown(v).c_str());
            }
        }
    }
    if (severalJson) std::fputs("\n]\n", stdout);
    return firstFailure;
}

int runValidate(const host::Plugin& p, const Options& o) {
    if (int rc = needDescribe(p)) return rc;
    const int mode = (o.repair ? VALIDATE_REPAIR : 0) | (o.freeUnused ? VALIDATE_FREE_UNUSED : 0) |
                     (o.strict ? VALIDATE_STRICT : 0);
    int firstFailure = 0;
    for (const std::string& image : o.images) {
        std::string text;
        const int rc = host::validateImageText(p, image, mode, text);
        int lines = 0, errorsLeft = -1, notesLeft = 0;
        bool repaired = false;
        for (const Fact& f : facts(text)) {
            const std::size_t tab = f.value.find('\t');
            if (f.key == "error" || f.key == "note") {
                ++lines;
                std::printf("%s: %s: %s\n", shown(image).c_str(), f.key.c_str(), shown(f.value.substr(tab + 1)).c_str());
            } else if (f.key == "freeing" || f.key == "repaired") {
                repaired = repaired || f.key == "repaired";
                std::printf("%s: %s: %s\n", shown(image).c_str(), f.key.c_str(), shown(f.value).c_str());
            } else if (f.key == "left" && tab != std::string::npos) {
                errorsLeft = std::atoi(f.value.substr(0, tab).c_str());
                notesLeft = std::atoi(f.value.substr(tab + 1).c_str());
            }
        }
        // A plug-in that does not count what is left: its result says.
        if (errorsLeft < 0) errorsLeft = rc == E_BAD_ARCHIVE ? 1 : 0;
        auto plural = [](int n, const char* word) {
            return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
        };
        if (rc == 0 || rc == E_BAD_ARCHIVE) {
            std::string summary;
            if (errorsLeft == 0 && notesLeft == 0) summary = lines ? "consistent now" : "consistent";
            else if (errorsLeft == 0) summary = "no data at risk, " + plural(notesLeft, "note");
            else summary = plural(errorsLeft, "error") + " (data at risk), " + plural(notesLeft, "note");
            if (repaired && (errorsLeft || notesLeft)) summary += " left";
            std::printf("%s: %s\n", shown(image).c_str(), summary.c_str());
        } else {
            reportFailure(image, "", rc);
            if (rc == E_EOPEN) reportCause(image, host::whyNotReadable(image));
        }
        if (rc && !firstFailure) firstFailure = rc;
    }
    return firstFailure;
}

// A * ? pattern against a name, without regard to letter case.
bool matches(const char* pattern, const char* name) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (*pattern == 0) return *name == 0;
    if (*pattern == '*') return matches(pattern + 1, name) || (*name && matches(pattern, name + 1));
    if (*name == 0) return false;
    return (*pattern == '?' || lower(*pattern) == lower(*name)) && matches(pattern + 1, name + 1);
}

bool isImageName(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* known : {"d64", "d71", "d80", "d81", "d82", "t64", "g64", "x64", "lnx"})
        if (ext == known) return true;
    // PC64 files: .p00 ... .p99, and the same for s, u, r and d.
    return ext.size() == 3 && std::strchr("psurd", ext[0]) && ext[1] >= '0' && ext[1] <= '9' && ext[2] >= '0' &&
           ext[2] <= '9';
}

void findInImage(const host::Plugin& p, const std::string& pattern, const std::string& path) {
    std::vector<host::Entry> entries;
    int openResult = 0;
    listImage(p, path, entries, openResult);
    for (const host::Entry& e : entries)
        if (matches(pattern.c_str(), e.name.c_str())) std::printf("%s: %s\n", shown(path).c_str(), shown(e.name).c_str());
}

void findInFolder(const host::Plugin& p, const std::string& pattern, const std::string& path, int depth) {
    std::vector<std::string> files, folders;
    // Folder trees are bounded too: links to folders are not entered (they
    // are not listed as folders, and a file listed is never taken for one),
    // and 64 levels is deeper than any collection.
    if (depth > 64 || !host::listFolder(path, files, folders)) return;
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    const std::string base = path.empty() || path.back() == kSep ? path : path + kSep;
    for (const std::string& f : files)
        if (isImageName(f)) findInImage(p, pattern, base + f);
    for (const std::string& d : folders) findInFolder(p, pattern, base + d, depth + 1);
}

int runFind(const host::Plugin& p, const Options& o) {
    for (const std::string& path : o.images) {
        if (host::isFolder(path)) findInFolder(p, o.pattern, path, 0);
        else findInImage(p, o.pattern, path);
    }
    return 0;
}

// A missing target folder is made before anything is tried, as unzip -d
// does: one clear error instead of one per file.
bool prepareTargetFolder(const std::string& dir) {
    std::string why;
    if (!host::isFolder(dir) && !host::makeFolders(dir, why)) {
        std::fprintf(stderr, "ombrix: %s: cannot create the folder: %s\n", shown(dir).c_str(), why.c_str());
        return false;
    }
    return true;
}

// After the first file that could not be written: a folder that takes no
// file at all is one clear error, and nothing more is tried. (Asked only
// then: the files written are the test on every other run.)
bool folderRefusesFiles(const std::string& dir) {
    std::string why;
    if (host::folderWritable(dir, why)) return false;
    std::fprintf(stderr, "ombrix: %s: cannot write into the folder: %s\n", shown(dir).c_str(), why.c_str());
    return true;
}

int extractOrTest(const host::Plugin& p, const Options& o, const std::string& image, bool test) {
    const std::string dir = o.dir.empty() ? std::string(".") : o.dir;
    int result = 0;
    void* handle = openImage(p, image, PK_OM_EXTRACT, result);
    if (!handle) return result;
    int firstFailure = 0;
    bool folderAsked = test;
    std::vector<bool> seen(o.names.size(), false);
    for (;;) {
        host::Entry entry;
        int r = host::readHeader(p, handle, entry);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            reportFailure(image, "", r);
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
        if (rc == E_EWRITE && !folderAsked) {
            folderAsked = true;
            if (folderRefusesFiles(dir)) {
                host::closeArchive(p, handle);
                return kExitUsage;
            }
        }
        if (rc != 0) {
            reportFailure(image, entry.name, rc, host::lastErrorText(p));
            if (!firstFailure) firstFailure = rc;
        } else {
            std::printf("%s %s\n", test ? "ok" : "extracted", shown(target).c_str());
        }
    }
    host::closeArchive(p, handle);
    for (std::size_t i = 0; i < o.names.size(); ++i) {
        if (!seen[i]) {
            reportFailure(image, o.names[i], E_NO_FILES);
            if (!firstFailure) firstFailure = E_NO_FILES;
        }
    }
    return firstFailure;
}

int runExtract(const host::Plugin& p, const Options& o) {
    if (o.pc64) {
        if (int rc = host::setSwitch(p, "extractAsPC64", 1)) {
            std::fputs("ombrix: this plug-in cannot extract PC64 files\n", stderr);
            reportFailure(o.image, "", rc);
            return rc;
        }
    }
    if (!prepareTargetFolder(o.dir.empty() ? std::string(".") : o.dir)) return kExitUsage;
    return extractOrTest(p, o, o.image, false);
}

int runTest(const host::Plugin& p, const Options& o) {
    int firstFailure = 0;
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        headImage(o, i, o.images[i]);
        const int rc = extractOrTest(p, o, o.images[i], true);
        if (rc && !firstFailure) firstFailure = rc;
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
    std::fprintf(stderr, "ombrix: new-image setting not accepted (item %d: %s)\n", bad, shown(item).c_str());
    return kExitUsage;
}

int runAdd(const host::Plugin& p, const Options& o) {
    if (!p.canPack) return missingExport(o, "PackFiles");
    if (int rc = applySettings(p, o)) return rc;
    // The plug-in puts the list name straight after the source folder.
    std::string src = o.dir.empty() ? std::string(".") : o.dir;
    if (src.back() != kSep) src += kSep;
    // Names with folders go into the image's folders where it has them.
    const int rc = host::packFiles(p, o.image, src, o.names, PK_PACK_SAVE_PATHS | (o.move ? PK_PACK_MOVE_FILES : 0));
    if (rc != 0) {
        reportFailure(o.image, "", rc);
        for (const std::string& n : o.names) {
            if (rc == E_ECREATE && emptyCbmName(n))
                std::fprintf(stderr, "ombrix: %s: a name that is only a .prg or .seq extension cannot be stored\n",
                             shown(n).c_str());
            if (rc == E_EREAD) reportCause(src + n, host::whyNotReadable(src + n));
        }
        if (rc == E_EOPEN) reportCause(o.image, host::whyNotReadable(o.image));
        return rc;
    }
    for (const std::string& n : o.names) std::printf("%s %s\n", o.move ? "moved" : "added", shown(n).c_str());
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
    const std::string& c = o.command;
    // Commands on several images; the others take one image and names.
    const bool manyImages = c == "list" || c == "test" || c == "dir" || c == "info" || c == "validate";
    if (!manyImages && c != "extract" && c != "add" && c != "delete" && c != "find" && c != "mount" &&
        c != "unmount")
        return usageError(("unknown command " + c).c_str());
    // The image is the first argument that is not an option; options may
    // stand before or after it.
    std::vector<std::string> positional;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json" && (c == "list" || c == "info")) o.json = true;
        else if (a == "--repair" && c == "validate") o.repair = true;
        else if (a == "--read-only" && c == "mount") o.readOnly = true;
        else if (a == "-f" && c == "mount") o.foreground = true;
        else if (a == "--pc64" && c == "extract") o.pc64 = true;
        else if (a == "--free-unused" && c == "validate") o.freeUnused = true;
        else if (a == "--strict" && c == "validate") o.strict = true;
        else if (a == "-C" && i + 1 < args.size() && (c == "extract" || c == "add")) o.dir = args[++i];
        else if (c == "add" && a.rfind("--", 0) == 0) {
            if (!parseAddOption(args, i, o)) return usageError(("unknown or incomplete option " + a).c_str());
        } else if (a.rfind("--", 0) == 0) {
            return usageError(("unknown option " + a + " for " + c).c_str());
        } else {
            positional.push_back(a);
        }
    }
    if (c == "find") {
        if (positional.size() < 2) return usageError("find needs a pattern and at least one folder");
        o.pattern = positional[0];
        o.images.assign(positional.begin() + 1, positional.end());
        return 0;
    }
    if (c == "mount" || c == "unmount") {
        if (positional.size() != (c == "mount" ? 2u : 1u))
            return usageError(c == "mount" ? "mount needs an image and a folder" : "unmount needs a folder");
        o.image = positional[0];
        o.dir = positional.back();
        return 0;
    }
    if (o.freeUnused && !o.repair) return usageError("--free-unused goes with --repair");
    if (positional.empty()) return usageError("no image given");
    o.image = positional[0];
    if (manyImages) o.images = positional;
    else o.names.assign(positional.begin() + 1, positional.end());
    if ((c == "add" || c == "delete") && o.names.empty()) return usageError(("no file names for " + c).c_str());
    if (hasEmptyName(o.names)) return usageError("an empty file name");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    host::prepareOutput();
    Options o;
    bool done = false;
    if (int rc = parseArguments(host::arguments(argc, argv), o, done); rc != 0 || done) return rc;

    if (o.command == "unmount") return host::runUnmount(o.dir);
    if (o.log) {
        host::setEnvironment("OMBRIX_LOG", "-");
        host::setEnvironment("OMBRIX_LOGLEVEL", "4");
    }
    host::Plugin p;
    std::string why;
#ifdef OMBRIX_LINKED_PLUGIN
    const bool linked = o.plugin.empty();
    if (linked && !host::linkedPlugin(p, why)) {
        std::fprintf(stderr, "ombrix: the built-in plug-in is incomplete: %s\n", why.c_str());
        return kExitNoPlugin;
    }
#else
    const bool linked = false;
    if (o.plugin.empty()) o.plugin = defaultPlugin();
#endif
#if defined(OMBRIX_LINKED_PLUGIN) && !defined(_WIN32) && !defined(OMBRIX_PLUGIN_LOADER)
    if (!linked) return runPluginHost(argv, o.plugin);
#else
    if (!linked && !host::loadPlugin(o.plugin, p, why)) {
        std::fprintf(stderr, "ombrix: cannot load the plug-in %s: %s\n", shown(o.plugin).c_str(), why.c_str());
        return kExitNoPlugin;
    }
#endif
    if (o.ini.empty()) o.ini = defaultIni();
    const std::size_t cut = o.ini.find_last_of(kSep);
    std::string ignored;
    if (cut != std::string::npos && cut > 0 && !host::isFolder(o.ini.substr(0, cut)))
        host::makeFolders(o.ini.substr(0, cut), ignored);
    host::setDefaultParams(p, o.ini);

    const std::string& c = o.command;
    if (c == "list") return runList(p, o);
    if (c == "extract") return runExtract(p, o);
    if (c == "test") return runTest(p, o);
    if (c == "add") return runAdd(p, o);
    if (c == "delete") return runDelete(p, o);
    if (c == "dir" || c == "info") return runDirOrInfo(p, o, c == "dir");
    if (c == "validate") return runValidate(p, o);
    if (c == "mount") return host::runMount(p, {o.image, o.dir, o.readOnly, o.foreground, o.log});
    return runFind(p, o);
}
