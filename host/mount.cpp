// ombrix mount: the image as a folder for every Linux program, through FUSE.
// It is a host like the command line: the image is reached only through the
// plug-in's exports. Files are read whole on open (as extraction writes
// them); what a program writes is collected and stored with PackFiles when
// it closes the file, so every state of the image file is one the plug-in
// wrote completely. One thread serves every request, so the state below
// needs no lock.
#include "host/mount.h"

#include <cstdio>

#ifdef OMBRIX_FUSE

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
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
    std::string name;
    std::shared_ptr<Bytes> data;  // shared by readers; a writer's own copy
    bool writable = false;
    bool dirty = false;
    bool created = false;  // not in the image until it is stored
};

struct MountState {
    Plugin plugin;
    std::string image;    // absolute: the mount leaves the current folder
    std::string scratch;  // a private folder for files on their way in or out
    bool readOnly = false;
    bool log = false;

    // The listing, read again when the image file changes.
    bool stale = true;
    struct stat imageStat {};
    std::vector<Entry> files;
    std::map<std::string, std::size_t> byName;
    std::int64_t blocksFree = 0, blocksTotal = 0;
    std::map<std::string, std::shared_ptr<Bytes>> contents;

    std::map<std::uint64_t, OpenFile> open;
    std::uint64_t nextHandle = 1;
    std::map<std::string, int> created;  // names being written, not yet stored
    // A file stored under a name the listing shows otherwise (packing makes
    // `notes.txt` a SEQ file listed as `notes.txt.seq`; a long name is cut)
    // stays reachable under the name the program gave it, so that what
    // programs do next (rsync: stat, rename into place) finds it.
    std::map<std::string, std::string> aliases;
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
        case E_NO_FILES: return ENOENT;
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

// Reads the listing again when the image file is not the one listed (our
// own writes, or another program's).
int refresh(MountState& s) {
    struct stat now {};
    if (stat(s.image.c_str(), &now) != 0) return errno;
    if (!s.stale && sameFile(now, s.imageStat)) return 0;
    int result = 0;
    void* handle = openArchive(s.plugin, s.image, PK_OM_LIST, result);
    if (!handle) return errorOf(result);
    std::vector<Entry> files;
    Entry entry;
    int rc = 0;
    while ((rc = readHeader(s.plugin, handle, entry)) == 0) {
        files.push_back(entry);
        if ((rc = processFile(s.plugin, handle, PK_SKIP, nullptr)) != 0) break;
    }
    closeArchive(s.plugin, handle);
    if (rc != E_END_ARCHIVE && rc != 0) note(s, "listing", s.image, rc);
    s.files = std::move(files);
    s.byName.clear();
    for (std::size_t i = 0; i < s.files.size(); ++i) s.byName.emplace(s.files[i].name, i);
    std::string text;
    if (s.plugin.canDescribe && imageInfoText(s.plugin, s.image, text) == 0) {
        s.blocksFree = std::strtoll(valueOf(text, "blocksfree").c_str(), nullptr, 10);
        s.blocksTotal = std::strtoll(valueOf(text, "blockstotal").c_str(), nullptr, 10);
    }
    s.contents.clear();
    s.imageStat = now;
    s.stale = false;
    return 0;
}

const Entry* findEntry(MountState& s, const char* path, int& error) {
    error = refresh(s);
    if (error) return nullptr;
    if (path[0] != '/' || std::strchr(path + 1, '/')) {
        error = ENOENT;
        return nullptr;
    }
    auto it = s.byName.find(path + 1);
    if (it == s.byName.end())
        if (auto alias = s.aliases.find(path + 1); alias != s.aliases.end()) it = s.byName.find(alias->second);
    if (it == s.byName.end()) {
        error = ENOENT;
        return nullptr;
    }
    return &s.files[it->second];
}

// The file's bytes as extraction writes them, kept for every reader until
// the image changes.
int loadContent(MountState& s, const std::string& name, std::shared_ptr<Bytes>& out) {
    if (auto it = s.contents.find(name); it != s.contents.end()) {
        out = it->second;
        return 0;
    }
    int result = 0;
    void* handle = openArchive(s.plugin, s.image, PK_OM_EXTRACT, result);
    if (!handle) return errorOf(result);
    const std::string target = s.scratch + "/out";
    Entry entry;
    int rc = 0;
    bool found = false;
    while ((rc = readHeader(s.plugin, handle, entry)) == 0) {
        const bool wanted = !found && entry.name == name;
        rc = processFile(s.plugin, handle, wanted ? PK_EXTRACT : PK_SKIP, wanted ? &target : nullptr);
        if (wanted) {
            found = true;
            break;
        }
        if (rc) break;
    }
    closeArchive(s.plugin, handle);
    if (!found) return ENOENT;
    if (rc) {
        note(s, "reading", name, rc);
        unlink(target.c_str());
        return errorOf(rc) == EROFS ? EIO : errorOf(rc);
    }
    auto bytes = std::make_shared<Bytes>();
    if (std::FILE* f = std::fopen(target.c_str(), "rb")) {
        std::uint8_t buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
        std::fclose(f);
    } else {
        return EIO;
    }
    unlink(target.c_str());
    s.contents[name] = bytes;
    out = bytes;
    return 0;
}

// Stores the collected bytes under the name with PackFiles: all or nothing.
int store(MountState& s, const std::string& name, const Bytes& data) {
    const std::string source = s.scratch + "/" + name;
    std::FILE* f = std::fopen(source.c_str(), "wb");
    if (!f) return EINVAL;
    const bool written = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !written) {
        unlink(source.c_str());
        return EIO;
    }
    std::map<std::string, std::size_t> before = s.byName;
    const int rc = packFiles(s.plugin, s.image, s.scratch + "/", {name}, 0);
    unlink(source.c_str());
    s.stale = true;
    if (rc == 0 && refresh(s) == 0 && !s.byName.count(name)) {
        std::string added;
        int count = 0;
        for (const auto& [listed, index] : s.byName)
            if (!before.count(listed)) added = listed, ++count;
        if (count == 1) s.aliases[name] = added;
    }
    if (rc) {
        note(s, "storing", name, rc);
        // A file that is there and is refused is a locked one.
        if (rc == E_NOT_SUPPORTED && s.byName.count(name)) return EPERM;
    }
    return errorOf(rc);
}

void fillFile(const MountState& s, struct stat* st, std::int64_t size, bool hidden) {
    st->st_mode = S_IFREG | ((s.readOnly || hidden) ? 0444 : 0644);
    st->st_nlink = 1;
    st->st_size = size;
    st->st_blocks = (size + 511) / 512;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atim = st->st_mtim = s.imageStat.st_mtim;
    st->st_ctim = s.imageStat.st_ctim;
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
    if (std::strcmp(path, "/") == 0) {
        if (int e = refresh(s)) return -e;
        st->st_mode = S_IFDIR | (s.readOnly ? 0555 : 0755);
        st->st_nlink = 2;
        st->st_uid = getuid();
        st->st_gid = getgid();
        st->st_atim = st->st_mtim = s.imageStat.st_mtim;
        st->st_ctim = s.imageStat.st_ctim;
        return 0;
    }
    if (fi && s.open.count(fi->fh)) {
        const OpenFile& f = s.open[fi->fh];
        refresh(s);
        fillFile(s, st, static_cast<std::int64_t>(f.data->size()), false);
        return 0;
    }
    for (const auto& [handle, f] : s.open) {
        if (f.created && f.name == path + 1) {
            fillFile(s, st, static_cast<std::int64_t>(f.data->size()), false);
            return 0;
        }
    }
    int error = 0;
    const Entry* e = findEntry(s, path, error);
    if (!e) return -error;
    fillFile(s, st, e->bytes, e->hidden);
    return 0;
}

int opReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags) {
    MountState& s = *state();
    if (std::strcmp(path, "/") != 0) return -ENOTDIR;
    if (int e = refresh(s)) return -e;
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const Entry& e : s.files) filler(buf, e.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto& [name, count] : s.created)
        if (count > 0 && !s.byName.count(name)) filler(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int opOpen(const char* path, struct fuse_file_info* fi) {
    MountState& s = *state();
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
    if (writing && s.readOnly) return -EROFS;
    int error = 0;
    const Entry* e = findEntry(s, path, error);
    if (!e) return -error;
    OpenFile f;
    f.name = e->name;
    f.writable = writing;
    if (writing && (fi->flags & O_TRUNC)) {
        f.data = std::make_shared<Bytes>();
        f.dirty = true;
    } else {
        std::shared_ptr<Bytes> content;
        if (int err = loadContent(s, e->name, content)) return -err;
        f.data = writing ? std::make_shared<Bytes>(*content) : content;
    }
    fi->fh = s.nextHandle++;
    s.open.emplace(fi->fh, std::move(f));
    return 0;
}

int opCreate(const char* path, mode_t, struct fuse_file_info* fi) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (path[0] != '/' || path[1] == 0 || std::strchr(path + 1, '/')) return -EINVAL;
    OpenFile f;
    f.name = path + 1;
    f.data = std::make_shared<Bytes>();
    f.writable = true;
    f.dirty = true;
    f.created = true;
    ++s.created[f.name];
    fi->fh = s.nextHandle++;
    s.open.emplace(fi->fh, std::move(f));
    return 0;
}

int opRead(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    MountState& s = *state();
    auto it = s.open.find(fi->fh);
    if (it == s.open.end()) return -EBADF;
    const Bytes& data = *it->second.data;
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
    MountState& s = *state();
    auto it = s.open.find(fi->fh);
    if (it == s.open.end() || !it->second.writable) return -EBADF;
    if (offset < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(offset) + size > kLargestFile) return -EFBIG;
    Bytes& data = *it->second.data;
    if (data.size() < offset + size) data.resize(offset + size);
    std::memcpy(data.data() + offset, buf, size);
    it->second.dirty = true;
    return static_cast<int>(size);
}

int opTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (size < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(size) > kLargestFile) return -EFBIG;
    if (fi && s.open.count(fi->fh) && s.open[fi->fh].writable) {
        s.open[fi->fh].data->resize(static_cast<std::size_t>(size));
        s.open[fi->fh].dirty = true;
        return 0;
    }
    // truncate(2) on a file nobody holds open: change and store it now.
    for (auto& [handle, f] : s.open) {
        if (f.writable && f.name == path + 1) {
            f.data->resize(static_cast<std::size_t>(size));
            f.dirty = true;
            return 0;
        }
    }
    int error = 0;
    const Entry* e = findEntry(s, path, error);
    if (!e) return -error;
    const std::string name = e->name;
    std::shared_ptr<Bytes> content;
    if (int err = loadContent(s, name, content)) return -err;
    Bytes changed(*content);
    changed.resize(static_cast<std::size_t>(size));
    return -store(s, name, changed);
}

int flushFile(MountState& s, OpenFile& f) {
    if (!f.dirty || !f.writable) return 0;
    f.dirty = false;
    return store(s, f.name, *f.data);
}

int opFlush(const char*, struct fuse_file_info* fi) {
    MountState& s = *state();
    auto it = s.open.find(fi->fh);
    if (it == s.open.end()) return -EBADF;
    return -flushFile(s, it->second);
}

int opFsync(const char* path, int, struct fuse_file_info* fi) { return opFlush(path, fi); }

int opRelease(const char*, struct fuse_file_info* fi) {
    MountState& s = *state();
    auto it = s.open.find(fi->fh);
    if (it == s.open.end()) return 0;
    flushFile(s, it->second);
    if (it->second.created && --s.created[it->second.name] <= 0) s.created.erase(it->second.name);
    s.open.erase(it);
    return 0;
}

int opUnlink(const char* path) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    int error = 0;
    const Entry* e = findEntry(s, path, error);
    if (!e) return -error;
    const std::string name = e->name;
    const int rc = deleteFiles(s.plugin, s.image, {name});
    s.stale = true;
    if (rc) note(s, "deleting", name, rc);
    return rc == E_NOT_SUPPORTED ? -EPERM : -errorOf(rc);
}

int opRename(const char* from, const char* to, unsigned int flags) {
    MountState& s = *state();
    if (s.readOnly) return -EROFS;
    if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
    if (to[0] != '/' || to[1] == 0 || std::strchr(to + 1, '/')) return -EINVAL;
    int error = 0;
    const Entry* e = findEntry(s, from, error);
    if (!e) return -error;
    const std::string name = e->name;
    if ((flags & RENAME_NOREPLACE) && s.byName.count(to + 1)) return -EEXIST;
    if (!s.plugin.canRename) return -ENOTSUP;
    const int rc = renameFile(s.plugin, s.image, name, to + 1);
    s.stale = true;
    if (rc) note(s, "renaming", name, rc);
    return rc == E_NOT_SUPPORTED ? -EPERM : -errorOf(rc);
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

int opMkdir(const char*, mode_t) { return -EPERM; }
int opLink(const char*, const char*) { return -EPERM; }
int opSymlink(const char*, const char*) { return -EPERM; }

// Modes and owners are the image's: asking for what is shown already is
// fine (as copying programs do), anything else is refused.
int opChmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    // A file still being written is not in the image yet: programs that
    // create with one mode and set another (mkstemp) are let through.
    if (state()->created.count(path + 1)) return 0;
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
    ops.link = opLink;
    ops.symlink = opSymlink;
    ops.chmod = opChmod;
    ops.chown = opChown;
    ops.utimens = opUtimens;
    return ops;
}

}  // namespace

int runMount(const Plugin& plugin, const MountOptions& options) {
    MountState s;
    s.plugin = plugin;
    s.readOnly = options.readOnly;
    s.log = options.log;
    char* real = realpath(options.image.c_str(), nullptr);
    if (!real) {
        std::fprintf(stderr, "ombrix: cannot open %s: %s\n", options.image.c_str(), std::strerror(errno));
        return E_EOPEN;
    }
    s.image = real;
    std::free(real);
    if (access(s.image.c_str(), W_OK) != 0) s.readOnly = true;
    // The image must open as ours before anything is mounted.
    int result = 0;
    void* handle = openArchive(s.plugin, s.image, PK_OM_LIST, result);
    if (!handle) {
        std::fprintf(stderr, "ombrix: %s: cannot mount it (plug-in result %d)\n", options.image.c_str(), result);
        return result ? result : E_EOPEN;
    }
    closeArchive(s.plugin, handle);
    std::string text;
    if (s.plugin.canDescribe && imageInfoText(s.plugin, s.image, text) == 0 && !s.readOnly) {
        // Formats the plug-in does not write are shown read-only.
        static const char* const kWritable[] = {"D64", "D71", "D80", "D81", "D82", "G64"};
        std::string format = valueOf(text, "format");
        if (format.rfind("X64 ", 0) == 0) format.erase(0, 4);  // its disk behind a header
        bool writable = false;
        for (const char* w : kWritable) writable = writable || format == w;
        s.readOnly = !writable;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ombrix-mount.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::fprintf(stderr, "ombrix: cannot create a scratch folder: %s\n", std::strerror(errno));
        return E_EWRITE;
    }
    s.scratch = pattern;

    std::vector<std::string> argStore = {"ombrix", "-o", "fsname=" + s.image + ",subtype=ombrix"};
    if (s.readOnly) argStore.push_back("-oro");
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const struct fuse_operations ops = makeOperations();
    int status = 1;
    if (struct fuse* fuse = fuse_new(&args, &ops, sizeof ops, &s)) {
        if (fuse_mount(fuse, options.dir.c_str()) == 0) {
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
