// The file commands: list, extract, test, add, delete, rename and find, each
// through the plug-in's exports as a file manager calls them; names as the
// user gives them are matched against the listing first, so a name that
// matches nothing is said before anything changes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "host/cli.h"

namespace cli {

namespace {

using host::kSep;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

std::string folderOf(const std::string& path) {
    std::size_t cut = path.size();
    while (cut > 0 && !isSeparator(path[cut - 1])) --cut;
    return path.substr(0, cut);
}

std::string baseOf(const std::string& path) { return path.substr(folderOf(path).size()); }

std::string withSeparator(std::string folder) {
    if (folder.empty()) folder = ".";
    if (!isSeparator(folder.back())) folder += kSep;
    return folder;
}

void* openImage(const host::Plugin& p, const std::string& image, int mode, int& result) {
    void* handle = host::openArchive(p, image, mode, result);
    if (!handle) {
        const std::string why = result == E_EOPEN ? host::whyNotReadable(image) : std::string();
        fail(p, image, "", result, why.empty() ? "" : "cannot open the image: " + why);
    }
    return handle;
}

// The listing as a file manager reads it.
int walkListing(const host::Plugin& p, const std::string& image, std::vector<host::Entry>& entries, bool sayFailure,
                bool* opened = nullptr) {
    int result = 0;
    void* handle = sayFailure ? openImage(p, image, PK_OM_LIST, result) : host::openArchive(p, image, PK_OM_LIST, result);
    if (opened) *opened = handle != nullptr;
    if (!handle) return result;
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

// The files that the names match; each name that matches none is said.
// chosen[i]: the i-th file is named.
bool chooseFiles(const host::Plugin& p, const std::string& image, const std::vector<host::EntryFacts>& files,
                 const std::vector<std::string>& names, std::vector<bool>& chosen) {
    chosen.assign(files.size(), names.empty());
    bool all = true;
    for (const std::string& n : names) {
        bool any = false;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (!matchesFile(n, files[i])) continue;
            chosen[i] = true;
            any = true;
        }
        if (!any) {
            fail(p, image, "", E_NO_FILES, "no such file: " + shown(n));
            all = false;
        }
    }
    return all;
}

// A file that would be changed but is locked: said, with what to do.
int lockedFile(const host::Plugin& p, const std::string& image, const host::EntryFacts& e, const char* what) {
    return fail(p, image, "", E_NOT_SUPPORTED,
                "file is locked: " + shown(e.name) + " (" + cbmFileText(e) + "); " + what);
}

std::string entryJson(const host::EntryFacts& e) {
    return "{\"name\": " + jsonString(e.name) + ", \"blocks\": " + std::to_string(e.blocks) +
           ", \"bytes\": " + std::to_string(e.bytes) + ", \"hidden\": " + (e.hidden ? "true" : "false") +
           ", \"type\": " + jsonString(typeName(e.fileType)) + ", \"cbmName\": " + jsonString(hexText(e.cbmName)) +
           ", \"locked\": " + (e.locked ? "true" : "false") + ", \"closed\": " + (e.closed ? "true" : "false") +
           ", \"geos\": " + (e.geos ? "true" : "false") + ", \"recordLength\": " + std::to_string(e.recordLength) + "}";
}

// ---- extract and test ----

// A missing target folder is made before anything is tried, as unzip -d
// does: one clear error instead of one per file.
bool prepareTargetFolder(const std::string& dir) {
    std::string why;
    if (!host::isFolder(dir) && !host::makeFolders(dir, why)) {
        say(shown(dir) + ": cannot create the folder: " + why);
        return false;
    }
    return true;
}

// After the first file that could not be written: a folder that takes no
// file at all is one clear error, and nothing more is tried.
bool folderRefusesFiles(const std::string& dir) {
    std::string why;
    if (host::folderWritable(dir, why)) return false;
    say(shown(dir) + ": cannot write into the folder: " + why);
    return true;
}

bool copyToOutput(const std::string& path) {
    std::FILE* in = host::openFile(path, "rb");
    if (!in) return false;
    char buffer[65536];
    bool ok = true;
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, in)) ok = ok && std::fwrite(buffer, 1, n, stdout) == n;
    std::fclose(in);
    return ok && std::fflush(stdout) == 0;
}

int extractOrTest(const host::Plugin& p, const Options& o, const std::string& image, bool test,
                  const std::string& scratch) {
    // The named files first: a name that matches none is said at once.
    std::vector<bool> chosen;
    int firstFailure = 0;
    std::vector<host::EntryFacts> files;
    if (!o.names.empty()) {
        bool writable = false;
        if (int rc = listFactsOrSay(p, image, files, writable); rc && files.empty()) return rc;
        if (!chooseFiles(p, image, files, o.names, chosen)) firstFailure = E_NO_FILES;
    }
    const std::string dir = o.dir.empty() ? std::string(".") : o.dir;
    int result = 0;
    void* handle = openImage(p, image, PK_OM_EXTRACT, result);
    if (!handle) return result;
    bool folderAsked = test || o.toStdout;
    for (std::size_t index = 0;; ++index) {
        host::Entry entry;
        const int r = host::readHeader(p, handle, entry);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            fail(p, image, "", r);
            if (!firstFailure) firstFailure = r;
            break;
        }
        // The listing comes in the order it came before, under names of its own.
        bool wanted = o.names.empty() || (index < files.size() && chosen[index] && files[index].name == entry.name);
        for (std::size_t i = 0; !wanted && i < files.size(); ++i) wanted = chosen[i] && files[i].name == entry.name;
        if (!wanted) {
            host::processFile(p, handle, PK_SKIP, nullptr);
            continue;
        }
        const std::string target = test ? entry.name
                                   : o.toStdout ? scratch + kSep + "file" + std::to_string(index)
                                                : withSeparator(dir) + entry.name;
        const int rc = host::processFile(p, handle, test ? PK_TEST : PK_EXTRACT, &target);
        if (rc == E_EWRITE && !folderAsked) {
            folderAsked = true;
            if (folderRefusesFiles(dir)) {
                host::closeArchive(p, handle);
                return kExitUsage;
            }
        }
        if (rc != 0) {
            fail(p, image, entry.name, rc,
                 rc == E_EREAD ? "read error: a block of the file is damaged or missing (ombrix validate shows where)"
                               : "");
            if (!firstFailure) firstFailure = rc;
            continue;
        }
        if (o.toStdout) {
            const bool copied = copyToOutput(target);
            std::string ignored;
            host::removePath(target, ignored);
            if (!copied) {
                fail(p, image, entry.name, E_EWRITE, "cannot write to standard output");
                if (!firstFailure) firstFailure = E_EWRITE;
            } else if (o.verbose) {
                std::fprintf(stderr, "ombrix: %s: %lld bytes\n", shown(entry.name).c_str(), static_cast<long long>(entry.bytes));
            }
        } else if (!o.quiet) {
            std::printf("%s %s", test ? "ok" : "extracted", shown(target).c_str());
            if (o.verbose) std::printf(" (%lld bytes)", static_cast<long long>(entry.bytes));
            std::printf("\n");
        }
    }
    host::closeArchive(p, handle);
    return firstFailure;
}

// ---- add ----

// PETSCII of host text as packing makes it: letters as the drive shows them
// (unshifted as lower case, shifted as capitals), digits and signs as they
// are, anything else (one character however many bytes) a blank; 16 bytes,
// 0xA0-filled.
std::string petsciiName(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() < 16; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            while (i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) ++i;
            out += ' ';
        } else if ((c >= 0x20 && c <= 0x40) || c == '[' || c == ']') {
            out += static_cast<char>(c);
        } else if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c + 0x80);
        } else if (c >= 'a' && c <= 'z') {
            out += static_cast<char>(c - 0x20);
        } else {
            out += ' ';
        }
    }
    out.resize(16, static_cast<char>(0xA0));
    return out;
}

struct TypeExtension {
    const char* extension;
    const char* type;
    int typeByte;
};
// Lower case only: packing maps upper-case letters to other PETSCII characters.
constexpr TypeExtension kTypeExtensions[] = {
    {".prg", "prg", 0x82}, {".seq", "seq", 0x81}, {".usr", "usr", 0x83}, {".del", "del", 0x80}};

const TypeExtension* typeExtensionOf(const std::string& name) {
    for (const TypeExtension& t : kTypeExtensions) {
        const std::size_t n = std::strlen(t.extension);
        if (name.size() >= n && name.compare(name.size() - n, n, t.extension) == 0) return &t;
    }
    return nullptr;
}

// The "exact" line of a one-off file: its name (--name, else the base name
// without its type extension), type (--type, else by the extension, else SEQ)
// and lock.
std::string exactLine(const Options& o, const std::string& base, std::string& cbmName, int& typeByte) {
    const TypeExtension* byName = typeExtensionOf(base);
    std::string name = o.name;
    if (name.empty()) name = byName ? base.substr(0, base.size() - std::strlen(byName->extension)) : base;
    typeByte = byName ? byName->typeByte : 0x81;
    for (const TypeExtension& t : kTypeExtensions)
        if (o.type == t.type) typeByte = t.typeByte;
    if (o.type == "rel") typeByte = 0x84;
    if (o.lock) typeByte |= 0x40;
    cbmName = petsciiName(name);
    char tt[4];
    std::snprintf(tt, sizeof tt, "%02X", typeByte);
    return std::string("exact\t") + tt + "\t" + hexText(cbmName) + "\t" + base +
           (o.recordLength ? "\trel=" + std::to_string(o.recordLength) : std::string());
}

// Sources must all be there before the image is touched.
bool checkSources(const host::Plugin& p, const std::vector<std::string>& paths) {
    bool all = true;
    for (const std::string& path : paths) {
        const std::string why = host::whyNotReadable(path);
        if (why.empty()) continue;
        fail(p, "", "", E_EREAD,
             host::pathExists(path) ? "cannot read " + shown(path) + ": " + why : "no such file: " + shown(path));
        all = false;
    }
    return all;
}

const host::EntryFacts* factsOfKey(const std::vector<host::EntryFacts>& files, const std::string& key) {
    for (const host::EntryFacts& e : files)
        if (e.key == key) return &e;
    return nullptr;
}

// The file PackFiles made of a source: the one of the CBM name and type
// packing gives its name (new, or the file listed under the source's name,
// which packing replaces), else (a name made unique with "-2", a Convert or
// PC64 file that carries its own name) the first entry the call added.
const host::EntryFacts* storedFile(const std::string& base, const std::vector<host::EntryFacts>& before,
                                   const std::vector<host::EntryFacts>& after, std::vector<bool>& claimed) {
    const TypeExtension* byName = typeExtensionOf(base);
    const std::string cbmName = petsciiName(byName ? base.substr(0, base.size() - std::strlen(byName->extension)) : base);
    const int type = (byName ? byName->typeByte : 0x81) & 7;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t k = 0; k < after.size(); ++k) {
            const host::EntryFacts& e = after[k];
            if (claimed[k]) continue;
            const host::EntryFacts* was = factsOfKey(before, e.key);
            const bool named = e.cbmName == cbmName && (e.fileType & 7) == type && (!was || was->name == base);
            if (pass == 0 ? named : !was) {
                claimed[k] = true;
                return &e;
            }
        }
    }
    return nullptr;
}

}  // namespace

bool matches(const char* pattern, const char* name) {
    // Backtracking to the last star only: linear in practice, never exponential.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || (*pattern && lower(*pattern) == lower(*name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == 0;
}

bool matchesFile(const std::string& pattern, const host::EntryFacts& e) {
    return matches(pattern.c_str(), e.name.c_str()) ||
           (!e.shownName.empty() && matches(pattern.c_str(), e.shownName.c_str()));
}

int listFacts(const host::Plugin& p, const std::string& image, std::vector<host::EntryFacts>& files, bool& writable) {
    files.clear();
    writable = false;
    if (p.canEntries) return host::listEntries(p, image, files, writable);
    std::vector<host::Entry> entries;
    const int rc = walkListing(p, image, entries, false);
    for (const host::Entry& e : entries) {
        host::EntryFacts f;
        f.name = e.name;
        f.blocks = e.blocks;
        f.bytes = e.bytes;
        f.hidden = e.hidden;
        files.push_back(f);
    }
    return rc;
}

int listFactsOrSay(const host::Plugin& p, const std::string& image, std::vector<host::EntryFacts>& files,
                   bool& writable) {
    const int rc = listFacts(p, image, files, writable);
    if (rc == 0) return 0;
    const std::string why = rc == E_EOPEN ? host::whyNotReadable(image) : std::string();
    return fail(p, image, "", rc, why.empty() ? "" : "cannot open the image: " + why);
}

int runList(const host::Plugin& p, const Options& o) {
    int firstFailure = 0;
    if (o.json) std::fputs("[", stdout);
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        const std::string& image = o.images[i];
        int status = 0;
        if (o.json) {
            std::vector<host::EntryFacts> files;
            bool writable = false;
            status = listFactsOrSay(p, image, files, writable);
            std::printf("%s\n  {\"image\": %s, \"files\": [", i ? "," : "", jsonString(image).c_str());
            for (std::size_t k = 0; k < files.size(); ++k)
                std::printf("%s\n    %s", k ? "," : "", entryJson(files[k]).c_str());
            std::printf("%s]", files.empty() ? "" : "\n  ");
            if (status)
                std::printf(", \"error\": {\"code\": %d, \"name\": %s, \"message\": %s}", status,
                            jsonString(resultName(status)).c_str(), jsonString(resultMeaning(status)).c_str());
            std::fputs("}", stdout);
        } else {
            std::vector<host::Entry> entries;
            bool opened = false;
            status = walkListing(p, image, entries, true, &opened);
            if (!opened) {
                if (!firstFailure) firstFailure = status;
                continue;
            }
            headImage(o.images, i);
            if (!o.namesOnly) std::printf("%6s %8s  %s\n", "blocks", "bytes", "name");
            for (const host::Entry& e : entries) {
                if (o.namesOnly) std::printf("%s\n", shown(e.name).c_str());
                else
                    std::printf("%6lld %8lld  %s%s\n", static_cast<long long>(e.blocks), static_cast<long long>(e.bytes),
                                shown(e.name).c_str(), e.hidden ? "  hidden" : "");
            }
            if (status) fail(p, image, "", status);
        }
        if (status && !firstFailure) firstFailure = status;
    }
    if (o.json) std::fputs(o.images.empty() ? "]\n" : "\n]\n", stdout);
    return firstFailure;
}

int runExtract(const host::Plugin& p, const Options& o) {
    if (o.pc64 && host::setSwitch(p, "extractAsPC64", 1) != 0)
        return fail(p, o.image, "", E_NOT_SUPPORTED, "this plug-in cannot extract PC64 files");
    ScratchFolder scratch;
    if (o.toStdout) {
        if (!scratch.make()) return fail(p, "", "", E_ECREATE, "no folder for temporary files: " + scratch.why);
        host::binaryOutput();
    } else if (!prepareTargetFolder(o.dir.empty() ? std::string(".") : o.dir)) {
        return kExitUsage;
    }
    return extractOrTest(p, o, o.image, false, scratch.path);
}

int runTest(const host::Plugin& p, const Options& o) {
    int firstFailure = 0;
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        headImage(o.images, i);
        const int rc = extractOrTest(p, o, o.images[i], true, "");
        if (rc && !firstFailure) firstFailure = rc;
    }
    return firstFailure;
}

int applySettings(const host::Plugin& p, const Options& o) {
    std::string text = o.settingsText;
    if (o.tracks == 40 && text.find("forty=") == std::string::npos) text += "forty=speeddos\n";
    if (o.tracks == 35) text += "forty=off\n";
    if (o.tracks == 40 && extensionKind(o.images.empty() ? o.image : o.images.back()) != "D64")
        return usageError("--tracks 40 makes a .d64 of 40 tracks; other images have their own number");
    if (text.empty()) return 0;
    if (!p.canConfigure) return fail(p, "", "", E_NOT_SUPPORTED, "this plug-in cannot take new-image settings");
    // The plug-in names the first line it could not take; show it as given.
    const int bad = host::configureText(p, text);
    if (bad == 0) return 0;
    std::size_t start = 0;
    for (int line = 1; line < bad && start != std::string::npos; ++line) {
        start = text.find('\n', start);
        if (start != std::string::npos) ++start;
    }
    std::string item = start == std::string::npos ? std::string() : text.substr(start);
    item = item.substr(0, item.find('\n'));
    return usageError("new-image setting not accepted: " + item);
}

int runAdd(const host::Plugin& p, const Options& o) {
    // Where each source lies: under -C DIR unless its path is absolute.
    std::vector<std::string> paths;
    // Names under -C DIR keep their folders ("sub1/new.prg"): they go into
    // the image's folders where it has them (PK_PACK_SAVE_PATHS).
    bool inFolders = !o.dir.empty();
    std::vector<std::string> relative;
    for (const std::string& n : o.names) {
        inFolders = inFolders && !host::isAbsolutePath(n);
        const std::string path = o.dir.empty() || host::isAbsolutePath(n) ? n : withSeparator(o.dir) + n;
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(path);
            relative.push_back(n);
        }
    }
    std::vector<std::string> bases;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        const std::string& path = paths[k];
        const std::string leaf = baseOf(path);
        const std::string base = inFolders && !leaf.empty() ? relative[k] : leaf;
        const std::string low = [&] {
            std::string l = leaf;
            for (char& c : l) c = lower(c);
            return l;
        }();
        if (low == ".prg" || low == ".seq" || low == ".usr" || low == ".del")
            return fail(p, o.image, base, E_ECREATE, "a name that is only a type extension cannot be stored");
        if (base.empty()) return usageError(path + " names a folder, not a file");
        if (std::find(bases.begin(), bases.end(), base) != bases.end())
            return usageError("two files named " + base + ": an image holds one file of a name");
        bases.push_back(base);
    }
    const bool exists = host::pathExists(o.image);
    if (exists && o.creationValues)
        return usageError("--title, --id, --dos, --tracks, --forty and --error-bytes are values of a new image: " +
                          o.image + " exists (its header is not changed)");
    if (!exists) {
        const std::string words = notWritableWords(extensionKind(o.image), o.image, true);
        if (!words.empty()) return fail(p, o.image, "", E_NOT_SUPPORTED, words);
    }
    std::vector<host::EntryFacts> before;
    bool writable = true;
    if (exists && p.canEntries) {
        // A listing that ends early (a damaged archive) still says whether the image is written to.
        const int rc = listFacts(p, o.image, before, writable);
        if (!writable && rc != 0 && rc != E_EREAD) return listFactsOrSay(p, o.image, before, writable);
        if (!writable) return fail(p, o.image, "", E_NOT_SUPPORTED, writeFailureWords(p, o.image, E_NOT_SUPPORTED));
    }
    // A missing source is said as such (not as a fault of the image it was for).
    if (!checkSources(p, paths)) return E_EREAD;
    if (int rc = applySettings(p, o)) return rc;
    const bool oneOff = !o.name.empty() || !o.type.empty() || o.lock;

    // One source folder for the plug-in: the sources' own, or copies of them
    // in a scratch folder when they lie in several.
    ScratchFolder scratch;
    std::string src = inFolders ? withSeparator(o.dir) : withSeparator(folderOf(paths[0]));
    for (const std::string& path : paths) {
        if (inFolders) break;
        if (withSeparator(folderOf(path)) == src) continue;
        if (!scratch.make()) return fail(p, "", "", E_ECREATE, "no folder for temporary files: " + scratch.why);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            std::string why;
            if (!host::copyFile(paths[i], scratch.path + kSep + bases[i], why))
                return fail(p, "", "", E_EREAD, "cannot read " + shown(paths[i]) + ": " + why);
        }
        src = withSeparator(scratch.path);
        break;
    }
    std::vector<std::string> keys;
    int rc = 0;
    if (oneOff) {
        if (!p.canEntries) return fail(p, o.image, "", E_NOT_SUPPORTED, "this plug-in cannot store exact names and types");
        std::vector<std::string> lines;
        for (const std::string& base : bases) {
            std::string cbmName;
            int typeByte = 0;
            lines.push_back(exactLine(o, base, cbmName, typeByte));
            for (const host::EntryFacts& e : before)
                if (e.cbmName == cbmName && (e.fileType & 7) == (typeByte & 7))
                    return fail(p, o.image, "", E_ECREATE,
                                "a file " + cbmFileText(e) + " is there already: delete it first or take another --name");
        }
        rc = host::writeEntries(p, o.image, src, lines, host::kWriteEntriesCreate, keys);
    } else {
        // A locked file listed under the incoming name would be replaced.
        for (const std::string& base : bases)
            for (const host::EntryFacts& e : before)
                if (e.name == base && e.locked) return lockedFile(p, o.image, e, "it is not replaced");
        if (!p.canPack) return fail(p, o.image, "", E_NOT_SUPPORTED, "the plug-in has no PackFiles export");
        // The file manager's road. The plug-in removes moved sources itself
        // unless they went as copies.
        rc = host::packFiles(p, o.image, src, bases,
                             (o.move && scratch.path.empty() ? PK_PACK_MOVE_FILES : 0) | (inFolders ? PK_PACK_SAVE_PATHS : 0));
    }
    if (rc != 0) return fail(p, o.image, "", rc, writeFailureWords(p, o.image, rc));

    std::vector<host::EntryFacts> after;
    bool ignored = false;
    listFacts(p, o.image, after, ignored);
    std::vector<bool> claimed(after.size(), false);
    int status = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (o.move && (oneOff || !scratch.path.empty())) {
            std::string why;
            if (!host::removePath(paths[i], why)) {
                fail(p, "", "", E_EWRITE, "stored, but cannot remove " + shown(paths[i]) + ": " + why);
                status = E_EWRITE;
            }
        }
        if (o.quiet) continue;
        const std::string given = shown(o.names.size() == paths.size() ? o.names[i] : paths[i]);
        if (!p.canEntries) {
            std::printf("%s %s\n", o.move ? "moved" : "added", given.c_str());
            continue;
        }
        const host::EntryFacts* e = oneOff ? (i < keys.size() ? factsOfKey(after, keys[i]) : nullptr)
                                           : storedFile(bases[i], before, after, claimed);
        std::printf("%s -> %s", given.c_str(), e ? cbmFileText(*e).c_str() : "stored");
        if (e && o.verbose) std::printf(", %lld block%s", static_cast<long long>(e->blocks), e->blocks == 1 ? "" : "s");
        std::printf("\n");
    }
    return status;
}

int runDelete(const host::Plugin& p, const Options& o) {
    if (!p.canDelete) return fail(p, o.image, "", E_NOT_SUPPORTED, "the plug-in has no DeleteFiles export");
    std::vector<host::EntryFacts> files;
    bool writable = true;
    if (int rc = listFactsOrSay(p, o.image, files, writable)) return rc;
    std::vector<bool> chosen;
    if (!chooseFiles(p, o.image, files, o.names, chosen)) {
        say(shown(o.image) + ": nothing deleted");
        return E_NO_FILES;
    }
    std::vector<std::string> names;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!chosen[i]) continue;
        if (files[i].locked) return lockedFile(p, o.image, files[i], "nothing deleted");
        names.push_back(files[i].name);
    }
    const int rc = host::deleteFiles(p, o.image, names);
    if (rc != 0) return fail(p, o.image, "", rc, writeFailureWords(p, o.image, rc));
    for (const std::string& n : names)
        if (!o.quiet) std::printf("deleted %s\n", shown(n).c_str());
    return 0;
}

int runRename(const host::Plugin& p, const Options& o) {
    if (!p.canRename) return fail(p, o.image, "", E_NOT_SUPPORTED, "the plug-in has no RenameFile export");
    std::vector<host::EntryFacts> files;
    bool writable = true;
    if (int rc = listFactsOrSay(p, o.image, files, writable)) return rc;
    std::vector<bool> chosen;
    if (!chooseFiles(p, o.image, files, {o.names[0]}, chosen)) return E_NO_FILES;
    const std::size_t count = static_cast<std::size_t>(std::count(chosen.begin(), chosen.end(), true));
    if (count > 1) return usageError(o.names[0] + " matches " + std::to_string(count) + " files: rename names one");
    const host::EntryFacts& e = files[static_cast<std::size_t>(std::find(chosen.begin(), chosen.end(), true) - chosen.begin())];
    if (e.locked) return lockedFile(p, o.image, e, "it is not renamed");
    const int rc = host::renameFile(p, o.image, e.name, o.names[1]);
    if (rc != 0)
        return fail(p, o.image, e.name, rc,
                    rc == E_ECREATE ? "the new name gives no CBM name (a REL file stays a REL file)"
                                    : writeFailureWords(p, o.image, rc));
    // The entry keeps its place: its key starts with the same offset.
    std::vector<host::EntryFacts> after;
    listFacts(p, o.image, after, writable);
    const std::string offset = e.key.substr(0, e.key.find(':') + 1);
    for (const host::EntryFacts& a : after)
        if (!offset.empty() && a.key.rfind(offset, 0) == 0 && !o.quiet)
            std::printf("%s -> %s\n", shown(e.name).c_str(), cbmFileText(a).c_str());
    return 0;
}

namespace {

bool findInImage(const host::Plugin& p, const std::string& pattern, const std::string& path) {
    std::vector<host::EntryFacts> files;
    bool writable = false;
    // An image that does not open is said and passed over, as grep does.
    listFactsOrSay(p, path, files, writable);
    bool found = false;
    for (const host::EntryFacts& e : files) {
        if (!matchesFile(pattern, e)) continue;
        std::printf("%s: %s\n", shown(path).c_str(), shown(e.name).c_str());
        found = true;
    }
    return found;
}

bool findInFolder(const host::Plugin& p, const std::string& pattern, const std::string& path, int depth) {
    std::vector<std::string> files, folders;
    // Folder trees are bounded too: links to folders are not entered (they
    // are not listed as folders, and a file listed is never taken for one),
    // and 64 levels is deeper than any collection.
    if (depth > 64 || !host::listFolder(path, files, folders)) return false;
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    const std::string base = withSeparator(path);
    bool found = false;
    for (const std::string& f : files)
        if (isImageName(f)) found = findInImage(p, pattern, base + f) || found;
    for (const std::string& d : folders) found = findInFolder(p, pattern, base + d, depth + 1) || found;
    return found;
}

}  // namespace

int runFind(const host::Plugin& p, const Options& o) {
    bool found = false;
    int firstFailure = 0;
    for (const std::string& path : o.images) {
        if (host::isFolder(path)) {
            found = findInFolder(p, o.pattern, path, 0) || found;
        } else if (host::pathExists(path)) {
            found = findInImage(p, o.pattern, path) || found;
        } else {
            fail(p, path, "", E_EOPEN, "no such folder or image");
            if (!firstFailure) firstFailure = E_EOPEN;
        }
    }
    return firstFailure ? firstFailure : found ? 0 : kExitNoMatch;
}

}  // namespace cli
