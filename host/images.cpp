// Whole images: `new` makes an empty one, `convert` copies every file of one
// image into another by its exact directory entry (name bytes, type byte with
// its lock and closed bits, GEOS files as their Convert files), in directory
// order, in one write of the target; whatever the target cannot take is said
// before anything is written.
#include <cstdio>
#include <string>
#include <vector>

#include "host/cli.h"

namespace cli {

namespace {

using host::kSep;

struct Problem {
    int code;
    std::string words;
};

bool sameFile(const host::EntryFacts& a, const host::EntryFacts& b) {
    return a.cbmName == b.cbmName && (a.fileType & 7) == (b.fileType & 7);
}

bool emptyName(const std::string& cbmName) { return cbmName.empty() || static_cast<unsigned char>(cbmName[0]) == 0xA0; }

// What the target cannot take, each file at once.
std::vector<Problem> problemsOf(const std::vector<host::EntryFacts>& files,
                                const std::vector<host::EntryFacts>& target, const std::string& dst) {
    std::vector<Problem> problems;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const host::EntryFacts& f = files[i];
        if (f.hidden) continue;
        const int type = f.fileType & 7;
        if (type == 4 && (f.recordLength < 1 || f.recordLength > 254))
            problems.push_back({E_NOT_SUPPORTED, cbmFileText(f) + ": a REL file of record length " +
                                                     std::to_string(f.recordLength) + ", which no record has"});
        else if (type > 4)
            problems.push_back({E_NOT_SUPPORTED, cbmFileText(f) + ": a partition is no file and is not copied"});
        else if (emptyName(f.cbmName))
            problems.push_back({E_ECREATE, shown(f.name) + ": a file without a CBM name cannot be stored"});
        for (const host::EntryFacts& t : target)
            if (sameFile(f, t))
                problems.push_back({E_ECREATE, "a file " + cbmFileText(t) + " is there already in " + shown(dst)});
        for (std::size_t k = 0; k < i; ++k)
            if (!files[k].hidden && sameFile(f, files[k]))
                problems.push_back({E_ECREATE, "two files " + cbmFileText(f) + ": a disk keeps one of a name and type"});
    }
    return problems;
}

// Every file that goes, extracted into the scratch folder as fN (N its place
// in the listing); the first failure's code after all were tried.
int extractAll(const host::Plugin& p, const std::string& image, const std::vector<host::EntryFacts>& files,
               const std::string& scratch) {
    int result = 0;
    void* handle = host::openArchive(p, image, PK_OM_EXTRACT, result);
    if (!handle) return fail(p, image, "", result);
    int firstFailure = 0;
    for (std::size_t index = 0;; ++index) {
        host::Entry entry;
        const int r = host::readHeader(p, handle, entry);
        if (r == E_END_ARCHIVE) break;
        if (r != 0) {
            firstFailure = firstFailure ? firstFailure : fail(p, image, "", r);
            break;
        }
        // The listing repeats itself; a file it does not show as before is not guessed at.
        const bool wanted = index < files.size() && !files[index].hidden && files[index].name == entry.name;
        if (!wanted) {
            host::processFile(p, handle, PK_SKIP, nullptr);
            if (index < files.size() && !files[index].hidden && !firstFailure)
                firstFailure = fail(p, image, files[index].name, E_EREAD, "the image changed while it was read");
            continue;
        }
        const std::string target = scratch + kSep + "f" + std::to_string(index);
        const int rc = host::processFile(p, handle, PK_EXTRACT, &target);
        if (rc != 0) {
            fail(p, image, entry.name, rc,
                 rc == E_EREAD ? "read error: a block of the file is damaged or missing (ombrix validate shows where)"
                               : "");
            if (!firstFailure) firstFailure = rc;
        }
    }
    host::closeArchive(p, handle);
    return firstFailure;
}

int refuseKind(const host::Plugin& p, const std::string& image, bool creating) {
    const std::string words = notWritableWords(extensionKind(image), image, creating);
    return words.empty() ? 0 : fail(p, image, "", E_NOT_SUPPORTED, words);
}

}  // namespace

int runNew(const host::Plugin& p, const Options& o) {
    if (host::pathExists(o.image))
        return fail(p, o.image, "", E_ECREATE, "the image exists: new makes no image over another (delete it first)");
    if (int rc = refuseKind(p, o.image, true)) return rc;
    if (!p.canEntries) return fail(p, o.image, "", E_NOT_SUPPORTED, "the plug-in has no WriteEntriesText export");
    if (int rc = applySettings(p, o)) return rc;
    std::vector<std::string> keys;
    if (int rc = host::writeEntries(p, o.image, "", {}, host::kWriteEntriesCreate, keys))
        return fail(p, o.image, "", rc, writeFailureWords(p, o.image, rc));
    if (!o.quiet) std::printf("made %s\n", shown(o.image).c_str());
    return 0;
}

int runConvert(const host::Plugin& p, const Options& o) {
    const std::string& srcImage = o.images[0];
    const std::string& dst = o.images[1];
    if (srcImage == dst) return usageError("convert needs two images: the source is the target");
    if (!p.canEntries) return fail(p, dst, "", E_NOT_SUPPORTED, "the plug-in has no ListEntriesText export");
    // Files whole and as themselves: GEOS files as their Convert files, no
    // file under a PC64 wrapper.
    host::setSwitch(p, "geosAsConvert", 1);
    host::setSwitch(p, "extractAsPC64", 0);
    std::vector<host::EntryFacts> files, target;
    bool writable = false;
    if (int rc = listFactsOrSay(p, srcImage, files, writable)) return rc;
    const bool exists = host::pathExists(dst);
    if (exists) {
        if (o.creationValues)
            return usageError("--title, --id, --dos, --tracks, --forty and --error-bytes are values of a new image: " +
                              dst + " exists (its header is not changed)");
        if (int rc = listFactsOrSay(p, dst, target, writable)) return rc;
        if (!writable) return fail(p, dst, "", E_NOT_SUPPORTED, writeFailureWords(p, dst, E_NOT_SUPPORTED));
    } else if (int rc = refuseKind(p, dst, true)) {
        return rc;
    }
    const std::vector<Problem> problems = problemsOf(files, target, dst);
    for (const Problem& problem : problems) fail(p, srcImage, "", problem.code, problem.words);
    if (!problems.empty()) {
        say(shown(dst) + ": nothing was written");
        return problems.front().code;
    }
    if (int rc = applySettings(p, o)) return rc;

    ScratchFolder scratch;
    if (!scratch.make()) return fail(p, "", "", E_ECREATE, "no folder for temporary files: " + scratch.why);
    if (int rc = extractAll(p, srcImage, files, scratch.path)) {
        say(shown(dst) + ": nothing was written");
        return rc;
    }
    std::vector<std::string> lines;
    std::vector<std::size_t> placed;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const host::EntryFacts& f = files[i];
        if (f.hidden) continue;
        char tt[4];
        std::snprintf(tt, sizeof tt, "%02X", f.fileType & 0xFF);
        std::string line = std::string("exact\t") + tt + "\t" + hexText(f.cbmName) + "\tf" + std::to_string(i);
        if (f.asConvert) line += "\tcvt";
        else if ((f.fileType & 7) == 4) line += "\trel=" + std::to_string(f.recordLength);
        lines.push_back(line);
        placed.push_back(i);
    }
    std::vector<std::string> keys;
    if (int rc = host::writeEntries(p, dst, scratch.path + kSep, lines, host::kWriteEntriesCreate, keys)) {
        fail(p, dst, "", rc, writeFailureWords(p, dst, rc));
        say(shown(dst) + ": nothing was written");
        return rc;
    }
    if (o.quiet) return 0;
    std::vector<host::EntryFacts> after;
    listFacts(p, dst, after, writable);
    for (std::size_t k = 0; k < placed.size(); ++k) {
        const host::EntryFacts* stored = nullptr;
        for (const host::EntryFacts& a : after)
            if (k < keys.size() && a.key == keys[k]) stored = &a;
        std::printf("%s -> %s\n", shown(files[placed[k]].name).c_str(),
                    stored ? cbmFileText(*stored).c_str() : cbmFileText(files[placed[k]]).c_str());
    }
    return 0;
}

}  // namespace cli
