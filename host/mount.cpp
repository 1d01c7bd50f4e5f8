// ombrix mount: the image as a folder for every Linux program, through FUSE.
// It is a host like the command line: the image is reached only through the
// plug-in's exports. A file is held by its key (its directory entry), never
// by a host name, since packing would convert a name again: files are read
// whole on open (as extraction writes them); what a program writes is
// collected and stored into that file's own entry when it flushes or closes
// the file (WriteEntriesText), so every state of the image file is one the
// plug-in wrote completely. One thread serves every request, so the state
// below needs no lock.
#include "host/mount.h"

#include <cstdio>

#ifdef OMBRIX_FUSE

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace host {

namespace {

using Bytes = std::vector<std::uint8_t>;

struct OpenFile {
    std::string key;   // the entry it is; "" for a created file not stored yet
    std::string name;  // a created file's name, until it is stored
    std::shared_ptr<Bytes> data;  // shared by readers; a writer's own copy
    bool writable = false;
    bool dirty = false;
    bool removed = false;  // unlinked or renamed over: its close stores nothing
    std::string ghost;     // the name FUSE keeps an unlinked open file under
};

struct MountState {
    Plugin plugin;
    std::string image;    // absolute: the mount leaves the current folder
    std::string scratch;  // a private folder for files on their way in or out
    bool readOnly = false;
    bool log = false;

    // The listing, read again when the image file changes.
    bool stale = true;
    bool gone = false;  // the image file is not there (moved away)
    struct stat imageStat {};
    std::vector<EntryFacts> files;
    std::map<std::string, std::size_t> byShown;  // shown name -> files[]
    std::int64_t blocksFree = 0, blocksTotal = 0;
    std::map<std::string, std::shared_ptr<Bytes>> contents;  // by key
    // The name the mount shows for each key, kept across listings: the
    // plug-in numbers equal names by position (game~2, game~3), so after a
    // deletion its names would move to other files. A file created or
    // renamed here shows under the name the program gave it.
    std::map<std::string, std::string> nameOfKey;

    std::map<std::uint64_t, OpenFile> open;
    std::uint64_t nextHandle = 1;
};

MountState* state() { return static_cast<MountState*>(fuse_get_context()->private_data); }

void note(const MountState& s, const char* what, const std::string& name, int rc) {
    if (s.log) std::fprintf(stderr, "ombrix mount: %s %s: plug-in result %d\n", what, name.c_str(), rc);
}

// The plug-in's result codes as errors programs understand.
int errorOf(int rc) {
    switch (rc) {
        case 0: return 0;
        case E_NO_MEMORY:
        case E_TOO_MANY_FILES: return ENOSPC;
        case E_NOT_SUPPORTED: return EROFS;
        case E_ECREATE: return EINVAL;
        // The image went away, or the entry is no longer the file it was.
        case E_EOPEN:
        case E_NO_FILES: return ESTALE;
        case E_EABORTED: return EINTR;
        default: return EIO;
    }
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The value of a "key<TAB>value" line of the plug-in's description.
std::string valueOf(const std::string& text, const char* key) {
    const std::string lines = "\n" + text;
    const std::string k = "\n" + std::string(key) + "\t";
    const std::size_t at = lines.find(k);
    if (at == std::string::npos) return "";
    const std::size_t from = at + k.size();
    return lines.substr(from, lines.find('\n', from) - from);
}

bool isPending(const OpenFile& f) { return f.key.empty() && !f.removed; }

// A name for a new or renamed file: one component that a line of
// WriteEntriesText can carry (a tab or line break would start another field
// or another change: `touch $'x\ndelete\tKEY'` must not delete a file).
bool isNewName(const char* path) {
    return path && path[0] == '/' && path[1] != 0 && !std::strpbrk(path + 1, "/\t\n\r");
}

// A new name in a folder ("/sub/new.prg"): each component one that
// isNewName takes, none of them "." or "..".
bool isNewPath(const char* path) {
    if (!path || path[0] != '/') return false;
    const std::string p = path;
    for (std::size_t from = 0; from < p.size();) {
        const std::size_t next = p.find('/', from + 1);
        const std::string part = p.substr(from, next == std::string::npos ? std::string::npos : next - from);
        if (!isNewName(part.c_str()) || part == "/." || part == "/..") return false;
        if (next == std::string::npos) break;
        from = next;
    }
    return true;
}

// The folder a shown name lies in ("" for the top) and its own last part.
std::string parentOf(const std::string& shown) {
    const std::size_t slash = shown.rfind('/');
    return slash == std::string::npos ? std::string() : shown.substr(0, slash);
}
std::string leafOf(const std::string& shown) { return shown.substr(shown.rfind('/') + 1); }

const OpenFile* pendingNamed(const MountState& s, const std::string& name) {
    for (const auto& [handle, f] : s.open)
        if (isPending(f) && f.name == name) return &f;
    return nullptr;
}

// A name free among those shown: the plug-in's own "~N" (CBM names never
// hold a '~') is replaced by the first number free, before a type extension.
std::string freeName(const std::string& listed, const std::map<std::string, std::size_t>& shown,
                     const std::set<std::string>& reserved) {
    auto taken = [&](const std::string& n) { return shown.count(n) != 0 || reserved.count(n) != 0; };
    if (!taken(listed)) return listed;
    std::string base = listed, tail;
    const std::size_t tilde = listed.rfind('~');
    std::size_t digits = tilde == std::string::npos ? 0 : tilde + 1;
    while (digits < listed.size() && listed[digits] >= '0' && listed[digits] <= '9') ++digits;
    if (tilde != std::string::npos && digits > tilde + 1 && (digits == listed.size() || listed[digits] == '.')) {
        base = listed.substr(0, tilde);
        tail = listed.substr(digits);
    } else if (listed.size() > 4 && listed[listed.size() - 4] == '.') {
        base = listed.substr(0, listed.size() - 4);
        tail = listed.substr(listed.size() - 4);
    }
    for (unsigned n = 2;; ++n)
        if (std::string name = base + "~" + std::to_string(n) + tail; !taken(name)) return name;
}

// Reads the listing again when the image file is not the one listed (our
// own writes, or another program's); every key keeps the name it showed.
int refresh(MountState& s) {
    struct stat now {};
    if (stat(s.image.c_str(), &now) != 0) {
        // Moved away: nothing to show, nothing to write into (the names of
        // the keys stay, should it come back).
        s.files.clear();
        s.byShown.clear();
        s.contents.clear();
        s.gone = s.stale = true;
        return 0;
    }
    if (!s.stale && sameFile(now, s.imageStat)) return 0;
    std::vector<EntryFacts> files;
    bool writable = false;
    if (int rc = listEntries(s.plugin, s.image, files, writable)) note(s, "listing", s.image, rc);
    std::set<std::string> reserved;
    for (const auto& [handle, f] : s.open)
        if (isPending(f)) reserved.insert(f.name);
    std::map<std::string, std::size_t> byShown;
    std::vector<std::string> shown(files.size());
    // A folder's files show under the folder's shown name (the listing
    // gives each folder before what it holds); a kept name only where it
    // still lies in that folder (a folder renamed takes its files along).
    std::map<std::string, std::string> shownFolder;
    auto folderOf = [&](const std::string& listed) {
        const std::string parent = parentOf(listed);
        auto it = shownFolder.find(parent);
        return it == shownFolder.end() ? parent : it->second;
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto kept = s.nameOfKey.find(files[i].key);
        if (kept != s.nameOfKey.end() && !byShown.count(kept->second) && !reserved.count(kept->second) &&
            parentOf(kept->second) == parentOf(files[i].name))
            byShown.emplace(shown[i] = kept->second, i);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string parent = folderOf(files[i].name);
        if (shown[i].empty() || parentOf(shown[i]) != parent) {
            if (!shown[i].empty()) byShown.erase(shown[i]);
            const std::string wanted = (parent.empty() ? "" : parent + "/") + leafOf(files[i].name);
            byShown.emplace(shown[i] = freeName(wanted, byShown, reserved), i);
        }
        if (files[i].folder) shownFolder[files[i].name] = shown[i];
    }
    s.nameOfKey.clear();
    for (std::size_t i = 0; i < files.size(); ++i) s.nameOfKey[files[i].key] = shown[i];
    s.files = std::move(files);
    s.byShown = std::move(byShown);
    std::string text;
    if (s.plugin.canDescribe && imageInfoText(s.plugin, s.image, text) == 0) {
        s.blocksFree = std::strtoll(valueOf(text, "blocksfree").c_str(), nullptr, 10);
        s.blocksTotal = std::strtoll(valueOf(text, "blockstotal").c_str(), nullptr, 10);
    }
    s.contents.clear();
    s.imageStat = now;
    s.stale = s.gone = false;
    return 0;
}

// The file shown under a path ("/name"), as the image is now.
const EntryFacts* findFile(MountState& s, const char* path, int& error) {
    error = refresh(s);
    if (error) return nullptr;
    error = ENOENT;
    if (!path || path[0] != '/') return nullptr;
    auto it = s.byShown.find(path + 1);
    if (it == s.byShown.end()) return nullptr;
    error = 0;
    return &s.files[it->second];
}

const std::string& shownName(const MountState& s, const EntryFacts& e) { return s.nameOfKey.at(e.key); }

// What a program may change in place: no locked file, no partition, no
// scratched entry shown, no REL file (its records cannot be written so).
bool mayWrite(const MountState& s, const EntryFacts& e) {
    const int kind = e.fileType & 7;
    return !s.readOnly && !e.locked && !e.hidden && kind != 4 && kind != 5;
}
bool mayRemove(const EntryFacts& e) { return !e.locked && !e.hidden && (e.fileType & 7) != 5; }

// The file's bytes as extraction writes them, kept for every reader until
// the image changes. The plug-in extracts by its listed name, which is the
// key's only while the image is the one listed.
int loadContent(MountState& s, const EntryFacts& e, std::shared_ptr<Bytes>& out) {
    if (auto it = s.contents.find(e.key); it != s.contents.end()) {
        out = it->second;
        return 0;
    }
    const std::string key = e.key, name = e.name;
    int result = 0;
    void* handle = openArchive(s.plugin, s.image, PK_OM_EXTRACT, result);
    if (!handle) return errorOf(result);
    struct stat opened {};
    const bool same = stat(s.image.c_str(), &opened) == 0 && sameFile(opened, s.imageStat);
    const std::string target = s.scratch + "/out";
    Entry entry;
    int rc = 0;
    bool found = false;
    while (same && (rc = readHeader(s.plugin, handle, entry)) == 0) {
        const bool wanted = entry.name == name;
        rc = processFile(s.plugin, handle, wanted ? PK_EXTRACT : PK_SKIP, wanted ? &target : nullptr);
        if ((found = wanted) || rc) break;
    }
    closeArchive(s.plugin, handle);
    if (!same) {
        s.stale = true;
        return ESTALE;
    }
    if (!found) return ENOENT;
    if (rc) {
        note(s, "reading", name, rc);
        unlink(target.c_str());
        return errorOf(rc) == EROFS ? EIO : errorOf(rc);
    }
    auto bytes = std::make_shared<Bytes>();
    std::FILE* f = std::fopen(target.c_str(), "rb");
    if (!f) return EIO;
    std::uint8_t buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    std::fclose(f);
    unlink(target.c_str());
    s.contents[key] = bytes;
    out = bytes;
    return 0;
}

// A name with folders lies in as many folders of the scratch folder (the
// plug-in takes the name's folders as the image's); dropScratch removes them.
bool putScratch(const MountState& s, const std::string& name, const Bytes& data) {
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        mkdir((s.scratch + "/" + name.substr(0, slash)).c_str(), 0700);
    std::FILE* f = std::fopen((s.scratch + "/" + name).c_str(), "wb");
    if (!f) return false;
    const bool written = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && written;
}

void dropScratch(const MountState& s, const std::string& name) {
    unlink((s.scratch + "/" + name).c_str());
    for (std::string folder = parentOf(name); !folder.empty(); folder = parentOf(folder))
        rmdir((s.scratch + "/" + folder).c_str());
}

// One change of the image by key (a line of WriteEntriesText); never makes
// an image where there is none. key: the entry's key after the change.
int change(MountState& s, const std::string& line, std::string& key) {
    std::vector<std::string> keys;
    const int rc = writeEntries(s.plugin, s.image, s.scratch + "/", {line}, 0, keys);
    s.stale = true;
    key = keys.empty() ? "" : keys[0];
    return rc;
}

// Stores what a program wrote: the first store of a created file adds it
// (its key then names it for every later store), any other store replaces
// that very entry's content, keeping its exact name and type.
int storeFile(MountState& s, OpenFile& f) {
    if (f.removed || !f.writable || !f.dirty) return 0;
    f.dirty = false;
    if (int e = refresh(s)) return e;
    if (s.gone) return ESTALE;
    const bool adding = f.key.empty();
    const std::string source = adding ? f.name : std::string("content");
    if (!putScratch(s, source, *f.data)) {
        dropScratch(s, source);
        return EIO;
    }
    std::string key;
    const int rc = change(s, adding ? "add\t" + f.name : "store\t" + f.key + "\t" + source, key);
    dropScratch(s, source);
    if (rc) {
        note(s, "storing", adding ? f.name : f.key, rc);
        refresh(s);
        return errorOf(rc);
    }
    const std::string was = f.key, created = f.name;
    if (adding) {
        s.nameOfKey[key] = created;
    } else if (auto it = s.nameOfKey.find(was); it != s.nameOfKey.end()) {
        // A file left unclosed is closed now: another type byte, another key.
        const std::string shown = it->second;
        s.nameOfKey.erase(it);
        s.nameOfKey[key] = shown;
    }
    for (auto& [handle, o] : s.open)
        if (!o.removed && (adding ? isPending(o) && o.name == created : o.key == was)) o.key = key;
    refresh(s);
    return 0;
}

void fillFolder(const MountState& s, struct stat* st) {
    st->st_mode = S_IFDIR | (s.readOnly ? 0555 : 0755);
    st->st_nlink = 2;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atim = st->st_mtim = s.imageStat.st_mtim;
    st->st_ctim = s.imageStat.st_ctim;
}

// The folder shown under a path ("" the top); null when none is.
const EntryFacts* folderNamed(const MountState& s, const std::string& shown) {
    auto it = s.byShown.find(shown);
    return it != s.byShown.end() && s.files[it->second].folder ? &s.files[it->second] : nullptr;
}

// Where a new name may go: its folder is the top or a folder shown (ENOENT
// when nothing has that name, ENOTDIR when a file has).
int folderError(const MountState& s, const char* path) {
    const std::string parent = parentOf(path + 1);
    if (parent.empty() || folderNamed(s, parent)) return 0;
    return s.byShown.count(parent) ? ENOTDIR : ENOENT;
}

void fillFile(const MountState& s, struct stat* st, std::int64_t size, bool writable) {
    st->st_mode = S_IFREG | (writable ? 0644 : 0444);
    st->st_nlink = 1;
    st->st_size = size;
    // 512-byte units, rounded up as any file system does (du).
    st->st_blocks = (size + 511) / 512;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atim = st->st_mtim = s.imageStat.st_mtim;
    st->st_ctim = s.imageStat.st_ctim;
}

OpenFile* openOf(MountState& s, struct fuse_file_info* fi) {
    if (!fi) return nullptr;
    auto it = s.open.find(fi->fh);
    return it == s.open.end() ? nullptr : &it->second;
}

// The copy a program writes, when one has the file open for writing.
const OpenFile* writerOf(const MountState& s, const std::string& key) {
    for (const auto& [handle, f] : s.open)
        if (f.writable && !f.removed && f.key == key) return &f;
    return nullptr;
}

// Every open copy of a file that is gone stores nothing when it is closed;
// ghost: the name FUSE reaches them by until then.
void forget(MountState& s, const std::string& key, const std::string& pendingName, const std::string& ghost = "") {
    for (auto& [handle, f] : s.open) {
        if ((key.empty() || f.key != key) && !(isPending(f) && f.name == pendingName)) continue;
        f.removed = true;
        if (!ghost.empty()) f.ghost = ghost;
    }
    s.nameOfKey.erase(key);
}

const OpenFile* ghostNamed(const MountState& s, const char* path) {
    for (const auto& [handle, f] : s.open)
        if (path && !f.ghost.empty() && f.ghost == path + 1) return &f;
    return nullptr;
}

// FUSE's own rename of a file that is unlinked while open (to
// ".fuse_hiddenXXXXXXXXXXXXXXXX", unlinked again at the last close). The
// file is deleted from the image at once, so that a killed mount cannot
// leave it there; its open descriptors keep their bytes and, since its path
// stays reachable, fstat. (FUSE's hard_remove would delete without the
// rename, but then fstat of such a descriptor fails: cat would not read it.)
bool isHideName(const char* to) {
    static const char kPrefix[] = "/.fuse_hidden";
    if (std::strncmp(to, kPrefix, sizeof kPrefix - 1) != 0 || std::strlen(to) != sizeof kPrefix - 1 + 16) return false;
    for (const char* p = to + sizeof kPrefix - 1; *p; ++p)
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

// --- the file system's calls ---

void* opInit(struct fuse_conn_info*, struct fuse_config* cfg) {
    // Sizes change under a name when a file is stored: no cached attributes.
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

int opGetattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    MountState& s = *state();
    std::memset(st, 0, sizeof *st);
    if (path && std::strcmp(path, "/") == 0) {
        if (int e = refresh(s)) return -e;
        fillFolder(s, st);
        return 0;
    }
    refresh(s);
    if (const OpenFile* f = openOf(s, fi)) {
        fillFile(s, st, static_cast<std::int64_t>(f->data->size()), f->writable);
        return 0;
    }
    if (!path) return -ENOENT;
    if (const OpenFile* f = ghostNamed(s, path)) {
        fillFile(s, st, static_cast<std::int64_t>(f->data->size()), f->writable);
        return 0;
    }
    if (const OpenFile* f = pendingNamed(s, path + 1)) {
        fillFile(s, st, static_cast<std::int64_t>(f->data->size()), true);
        return 0;
    }
    int error = 0;
    const EntryFacts* e = findFile(s, path, error);
    if (!e) return -error;
    if (e->folder) {
        fillFolder(s, st);
        return 0;
    }
    const OpenFile* writer = writerOf(s, e->key);
    fillFile(s, st, writer ? static_cast<std::int64_t>(writer->data->size()) : e->bytes, mayWrite(s, *e));
    return 0;
}

int opReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags) {
    MountState& s = *state();
    if (!path || path[0] != '/') return -ENOENT;
    if (int e = refresh(s)) return -e;
    const std::string folder = path + 1;
    if (!folder.empty() && !folderNamed(s, folder)) return s.byShown.count(folder) ? -ENOTDIR : -ENOENT;
    const auto none = static_cast<fuse_fill_dir_flags>(0);
    filler(buf, ".", nullptr, 0, none);
    filler(buf, "..", nullptr, 0, none);
    for (const EntryFacts& e : s.files)
        if (parentOf(shownName(s, e)) == folder) filler(buf, leafOf(shownName(s, e)).c_str(), nullptr, 0, none);
    std::set<std::string> pending;
    for (const auto& [handle, f] : s.open)
        if (isPending(f) && !s.byShown.count(f.name) && parentOf(f.name) == folder && pending.insert(f.name).second)
            filler(buf, leafOf(f.name).c_str(), nullptr, 0, none);
    return 0;
}

int opOpen(const char* path, struct fuse_file_info* fi) {
    MountState& s = *state();
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
    if (writing && s.readOnly) return -EROFS;
    OpenFile f;
    f.writable = writing;
    refresh(s);
    if (const OpenFile* pending = path ? pendingNamed(s, path + 1) : nullptr) {
        // A file another program is creating: the same file, not yet stored.
        f.name = pending->name;
        f.data = std::make_shared<Bytes>(writing && (fi->flags & O_TRUNC) ? Bytes() : *pending->data);
        f.dirty = writing;
    } else {
        int error = 0;
        const EntryFacts* e = findFile(s, path, error);
        if (!e) return -error;
        if (e->folder) return -EISDIR;
        if (writing && !mayWrite(s, *e)) return -EPERM;
        f.key = e->key;
        if (writing && (fi->flags & O_TRUNC)) {
            f.data = std::make_shared<Bytes>();
            f.dirty = true;
        } else {
            std::shared_ptr<Bytes> content;
            if (int err = loadContent(s, *e, content)) return -err;
            f.data = writing ? std::make_shared<Bytes>(*content) : content;
        }
    }
    fi->fh = s.nextHandle++;
    s.open.emplace(fi->fh, std::move(f));
    return 0;
}

int opCreate(const char* path, mode_t, struct fuse_file_info* fi) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (!isNewPath(path)) return -EINVAL;
    if (int e = refresh(s)) return -e;
    if (s.gone) return -ESTALE;
    if (int e = folderError(s, path)) return -e;
    // Shown after all (the image changed since the kernel looked): an open.
    if (s.byShown.count(path + 1) || pendingNamed(s, path + 1))
        return (fi->flags & O_EXCL) ? -EEXIST : opOpen(path, fi);
    OpenFile f;
    f.name = path + 1;
    f.data = std::make_shared<Bytes>();
    f.writable = true;
    f.dirty = true;
    fi->fh = s.nextHandle++;
    s.open.emplace(fi->fh, std::move(f));
    return 0;
}

int opRead(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    const OpenFile* f = openOf(*state(), fi);
    if (!f) return -EBADF;
    const Bytes& data = *f->data;
    if (offset < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(offset) >= data.size()) return 0;
    const std::size_t n = std::min<std::size_t>(size, data.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, data.data() + offset, n);
    return static_cast<int>(n);
}

// No image holds more than a few MiB: a write far past that is refused
// before memory is spent on it.
constexpr std::uint64_t kLargestFile = 16u << 20;

int opWrite(const char*, const char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    OpenFile* f = openOf(*state(), fi);
    if (!f || !f->writable) return -EBADF;
    if (offset < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(offset) + size > kLargestFile) return -EFBIG;
    Bytes& data = *f->data;
    if (data.size() < offset + size) data.resize(offset + size);
    std::memcpy(data.data() + offset, buf, size);
    f->dirty = true;
    return static_cast<int>(size);
}

int opTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (size < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(size) > kLargestFile) return -EFBIG;
    OpenFile* target = openOf(s, fi);
    if (target && !target->writable) return -EBADF;
    int error = 0;
    const EntryFacts* e = target || !path ? nullptr : findFile(s, path, error);
    if (!target && path)
        for (auto& [handle, f] : s.open)
            if (f.writable && !f.removed && (e ? f.key == e->key : isPending(f) && f.name == path + 1)) target = &f;
    if (target) {
        target->data->resize(static_cast<std::size_t>(size));
        target->dirty = true;
        return 0;
    }
    // truncate(2) on a file nobody holds open: change and store it now.
    if (!e) return -error;
    if (!mayWrite(s, *e)) return -EPERM;
    std::shared_ptr<Bytes> content;
    if (int err = loadContent(s, *e, content)) return -err;
    OpenFile f;
    f.key = e->key;
    f.data = std::make_shared<Bytes>(*content);
    f.data->resize(static_cast<std::size_t>(size));
    f.writable = f.dirty = true;
    return -storeFile(s, f);
}

int opFlush(const char*, struct fuse_file_info* fi) {
    MountState& s = *state();
    OpenFile* f = openOf(s, fi);
    return f ? -storeFile(s, *f) : -EBADF;
}

int opFsync(const char* path, int, struct fuse_file_info* fi) { return opFlush(path, fi); }

int opRelease(const char*, struct fuse_file_info* fi) {
    MountState& s = *state();
    if (OpenFile* f = openOf(s, fi)) storeFile(s, *f);
    s.open.erase(fi->fh);
    return 0;
}

// Whether a program holds the file open (FUSE hides only such files).
bool heldOpen(MountState& s, const char* path) {
    int error = 0;
    if (pendingNamed(s, path + 1)) return true;
    const EntryFacts* e = findFile(s, path, error);
    for (const auto& [handle, f] : s.open)
        if (e && !f.removed && f.key == e->key) return true;
    return false;
}

// rm: the file goes from the image at once (ghost: the name FUSE keeps it
// open under).
int removeFile(MountState& s, const char* path, const std::string& ghost) {
    if (int e = refresh(s)) return e;
    if (path && pendingNamed(s, path + 1) && !s.byShown.count(path + 1)) {
        forget(s, "", path + 1, ghost);
        return 0;
    }
    int error = 0;
    const EntryFacts* e = findFile(s, path, error);
    if (!e) return error;
    if (e->folder) return EISDIR;
    if (!mayRemove(*e)) return EPERM;
    const std::string key = e->key;
    std::string none;
    const int rc = change(s, "delete\t" + key, none);
    if (rc) {
        note(s, "deleting", path ? path : "", rc);
        return rc == E_NO_FILES ? ENOENT : errorOf(rc);
    }
    forget(s, key, "", ghost);
    refresh(s);
    return 0;
}

int opUnlink(const char* path) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    // The last close of a file unlinked while open: gone already.
    if (ghostNamed(s, path)) {
        for (auto& [handle, f] : s.open)
            if (f.ghost == path + 1) f.ghost.clear();
        return 0;
    }
    return -removeFile(s, path, "");
}

// As rename(2): the file shown under the new name goes, and so does the
// file that has the CBM name and type the new name gives (else the disk
// would hold two files the drive cannot tell apart). RENAME_NOREPLACE
// refuses only a name shown: mv tries it first and takes EEXIST to mean
// that the name is there (coreutils 9.1 then reads a stat it never got).
int opRename(const char* from, const char* to, unsigned int flags) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
    if (!from || !isNewPath(to)) return -EINVAL;
    // Within its folder only: mv copies across folders itself.
    if (parentOf(from + 1) != parentOf(to + 1)) return -EXDEV;
    const bool noReplace = (flags & RENAME_NOREPLACE) != 0;
    if (isHideName(to) && !flags && heldOpen(s, from)) return -removeFile(s, from, to + 1);
    if (int e = refresh(s)) return -e;
    int error = 0;
    if (std::strcmp(from, to) == 0) return findFile(s, from, error) || pendingNamed(s, from + 1) ? 0 : -ENOENT;
    // A file still being written goes into the image first, to be moved.
    for (auto& [handle, f] : s.open)
        if (isPending(f) && f.name == from + 1 && !s.byShown.count(from + 1)) {
            f.dirty = true;
            if (int e = storeFile(s, f)) return -e;
            break;
        }
    const EntryFacts* e = findFile(s, from, error);
    if (!e) return -error;
    if (!mayRemove(*e)) return -EPERM;
    const std::string key = e->key;
    std::string replaced;
    if (auto it = s.byShown.find(to + 1); it != s.byShown.end()) {
        if (!mayRemove(s.files[it->second]) || s.files[it->second].folder || e->folder) return -EPERM;
        replaced = s.files[it->second].key;
    }
    if (noReplace && (!replaced.empty() || pendingNamed(s, to + 1))) return -EEXIST;
    std::string now;
    const int rc = change(s, "rename\t" + key + "\t" + leafOf(to + 1) + "\t" + replaced, now);
    if (rc) {
        note(s, "renaming", from, rc);
        return rc == E_NOT_SUPPORTED ? -EPERM : rc == E_NO_FILES ? -ENOENT : -errorOf(rc);
    }
    forget(s, replaced, to + 1);
    s.nameOfKey.erase(key);
    s.nameOfKey[now] = to + 1;
    // A program still writing the file stores its bytes under the new name.
    for (auto& [handle, f] : s.open)
        if (!f.removed && f.key == key) f.key = now;
    refresh(s);
    return 0;
}

int opStatfs(const char*, struct statvfs* st) {
    MountState& s = *state();
    if (int e = refresh(s)) return -e;
    std::memset(st, 0, sizeof *st);
    // A block of a CBM disk holds 254 bytes of a file.
    st->f_bsize = st->f_frsize = 254;
    st->f_blocks = static_cast<fsblkcnt_t>(s.blocksTotal);
    st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>(s.blocksFree);
    st->f_files = s.files.size();
    st->f_namemax = 255;
    return 0;
}

// mkdir and rmdir where the format has folders a program may make: a native
// partition's subdirectories (a partition or a sub-disk is never made or
// removed here: EPERM).
int opMkdir(const char* path, mode_t) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (!isNewPath(path)) return -EINVAL;
    if (int e = refresh(s)) return -e;
    if (s.gone) return -ESTALE /* moved away */;
    if (int e = folderError(s, path)) return -e;
    if (s.byShown.count(path + 1) || pendingNamed(s, path + 1)) return -EEXIST;
    std::string key;
    const int rc = change(s, std::string("folder\t") + (path + 1), key);
    if (rc) {
        note(s, "making the folder", path, rc);
        return rc == E_NOT_SUPPORTED ? -EPERM : -errorOf(rc);
    }
    s.nameOfKey[key] = path + 1;
    refresh(s);
    return 0;
}

int opRmdir(const char* path) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (int e = refresh(s)) return -e;
    int error = 0;
    const EntryFacts* e = findFile(s, path, error);
    if (!e) return -error;
    if (!e->folder) return -ENOTDIR;
    for (const EntryFacts& f : s.files)
        if (parentOf(shownName(s, f)) == path + 1) return -ENOTEMPTY;
    for (const auto& [handle, f] : s.open)
        if (isPending(f) && parentOf(f.name) == path + 1) return -ENOTEMPTY;
    const std::string key = e->key;
    std::string none;
    const int rc = change(s, "delete\t" + key, none);
    if (rc) {
        note(s, "removing the folder", path, rc);
        return rc == E_NOT_SUPPORTED ? -EPERM : rc == E_NO_FILES ? -ENOENT : -errorOf(rc);
    }
    s.nameOfKey.erase(key);
    refresh(s);
    return 0;
}
int opLink(const char*, const char*) { return -EPERM; }
int opSymlink(const char*, const char*) { return -EPERM; }

// Modes and owners are the image's: asking for what is shown already is
// fine (as copying programs do), anything else is refused.
int opChmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    MountState& s = *state();
    // A file still being written is not in the image yet: programs that
    // create with one mode and set another (mkstemp) are let through.
    if (const OpenFile* f = openOf(s, fi); f && isPending(*f)) return 0;
    if (path && pendingNamed(s, path + 1)) return 0;
    struct stat st {};
    if (int rc = opGetattr(path, &st, fi)) return rc;
    return (mode & 07777) == (st.st_mode & 07777) ? 0 : -EPERM;
}

int opChown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    struct stat st {};
    if (int rc = opGetattr(path, &st, fi)) return rc;
    const bool same = (uid == static_cast<uid_t>(-1) || uid == st.st_uid) &&
                      (gid == static_cast<gid_t>(-1) || gid == st.st_gid);
    return same ? 0 : -EPERM;
}

// The times are the image file's own; setting them is taken and forgotten.
int opUtimens(const char* path, const struct timespec*, struct fuse_file_info* fi) {
    struct stat st {};
    return opGetattr(path, &st, fi);
}

struct fuse_operations makeOperations() {
    struct fuse_operations ops {};
    ops.init = opInit;
    ops.getattr = opGetattr;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.create = opCreate;
    ops.read = opRead;
    ops.write = opWrite;
    ops.truncate = opTruncate;
    ops.flush = opFlush;
    ops.fsync = opFsync;
    ops.release = opRelease;
    ops.unlink = opUnlink;
    ops.rename = opRename;
    ops.statfs = opStatfs;
    ops.mkdir = opMkdir;
    ops.rmdir = opRmdir;
    ops.link = opLink;
    ops.symlink = opSymlink;
    ops.chmod = opChmod;
    ops.chown = opChown;
    ops.utimens = opUtimens;
    return ops;
}

// Why a folder cannot take the mount ("" when it can). A folder that is a
// mount point already would be hidden by a second mount, and the mount
// below could then never be reached nor ended by name.
std::string whyNotMountable(const std::string& dir) {
    struct stat here {}, above {};
    if (stat(dir.c_str(), &here) != 0) {
        if (errno == ENOTCONN)
            return "a mount whose program has ended is still there (fusermount3 -u " + dir + " clears it)";
        return std::strerror(errno);
    }
    if (!S_ISDIR(here.st_mode)) return "it is no folder";
    if (stat((dir + "/..").c_str(), &above) == 0 && (here.st_dev != above.st_dev || here.st_ino == above.st_ino))
        return "it is a mount point already (ombrix unmount " + dir + " ends a mount)";
    return "";
}

// An option value for FUSE's -o list, where ',' separates options.
std::string optionText(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

int runMount(const Plugin& plugin, const MountOptions& options) {
    MountState s;
    s.plugin = plugin;
    s.readOnly = options.readOnly;
    s.log = options.log;
    if (!plugin.canEntries) {
        std::fprintf(stderr, "ombrix: mount needs the plug-in's ListEntriesText and WriteEntriesText, which it lacks\n");
        return E_NOT_SUPPORTED;
    }
    char* real = realpath(options.image.c_str(), nullptr);
    if (!real) {
        std::fprintf(stderr, "ombrix: cannot open %s: %s\n", options.image.c_str(), std::strerror(errno));
        return E_EOPEN;
    }
    s.image = real;
    std::free(real);
    if (const std::string why = whyNotMountable(options.dir); !why.empty()) {
        std::fprintf(stderr, "ombrix: cannot mount on %s: %s\n", options.dir.c_str(), why.c_str());
        return E_EOPEN;
    }
    // The folder as an absolute path: a detached mount leaves the current
    // folder, and unmounting it by a relative name (at SIGTERM or Ctrl-C)
    // would fail and leave a dead mount behind.
    real = realpath(options.dir.c_str(), nullptr);
    if (!real) {
        std::fprintf(stderr, "ombrix: cannot mount on %s: %s\n", options.dir.c_str(), std::strerror(errno));
        return E_EOPEN;
    }
    const std::string dir = real;
    std::free(real);
    if (access(s.image.c_str(), W_OK) != 0) s.readOnly = true;
    // The image must open as ours before anything is mounted; formats the
    // plug-in does not write are shown read-only (the kind comes from the
    // content, as every export takes it: an X64 is its disk).
    int result = 0;
    void* handle = openArchive(s.plugin, s.image, PK_OM_LIST, result);
    if (!handle) {
        std::fprintf(stderr, "ombrix: %s: cannot mount it (plug-in result %d)\n", options.image.c_str(), result);
        return result ? result : E_EOPEN;
    }
    closeArchive(s.plugin, handle);
    std::vector<EntryFacts> files;
    bool writable = false;
    listEntries(s.plugin, s.image, files, writable);
    if (!writable) s.readOnly = true;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ombrix-mount.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::fprintf(stderr, "ombrix: cannot create a scratch folder: %s\n", std::strerror(errno));
        return E_EWRITE;
    }
    s.scratch = pattern;

    std::vector<std::string> argStore = {"ombrix", "-o", "fsname=" + optionText(s.image) + ",subtype=ombrix"};
    if (s.readOnly) argStore.push_back("-oro");
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const struct fuse_operations ops = makeOperations();
    int status = 1;
    if (struct fuse* fuse = fuse_new(&args, &ops, sizeof ops, &s)) {
        if (fuse_mount(fuse, dir.c_str()) == 0) {
            // Detach once the mount is ready; --log keeps the terminal.
            const int keptError = options.log ? dup(2) : -1;
            if (fuse_daemonize(options.foreground ? 1 : 0) == 0) {
                if (keptError >= 0) dup2(keptError, 2);
                if (fuse_set_signal_handlers(fuse_get_session(fuse)) == 0) {
                    status = fuse_loop(fuse) == 0 ? 0 : 1;
                    fuse_remove_signal_handlers(fuse_get_session(fuse));
                }
            }
            if (keptError >= 0) close(keptError);
            fuse_unmount(fuse);
        } else {
            std::fprintf(stderr, "ombrix: cannot mount on %s\n", options.dir.c_str());
        }
        fuse_destroy(fuse);
    }
    fuse_opt_free_args(&args);
    rmdir(s.scratch.c_str());
    return status == 0 ? 0 : E_EWRITE;
}

int runUnmount(const std::string& dir) {
    std::string program = "fusermount3", flag = "-u", folder = dir;
    char* argv[] = {program.data(), flag.data(), folder.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "fusermount3", nullptr, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "ombrix: cannot run fusermount3: %s\n", std::strerror(errno));
        return E_EWRITE;
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return E_EWRITE;
    return 0;
}

}  // namespace host

#else  // no FUSE here

namespace host {

int runMount(const Plugin&, const MountOptions&) {
    std::fprintf(stderr, "ombrix: mount needs FUSE, which this build of ombrix has not\n");
    return E_NOT_SUPPORTED;
}

int runUnmount(const std::string&) { return runMount(Plugin(), MountOptions()); }

}  // namespace host

#endif
