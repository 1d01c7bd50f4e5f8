#include "fuzz/fuzz_support.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "core/image_info.h"
#include "core/log.h"
#include "core/new_image_settings.h"
#include "core/results.h"
#include "core/settings.h"
#include "dialog/dialog.h"
#include "image/image.h"
#include "plugin/exports.h"
#include "reader/reader.h"
#include "tests/test_support.h"
#include "writer/writer.h"

namespace fz {

namespace fs = std::filesystem;

namespace {

std::string target;
std::string workFolder;

// Process-wide state the exports change; restored after every input.
struct SettingsSnapshot {
    NewImageSettingsRecord newImage;
    std::uint8_t fallback;
    SettingsDialogStateRecord dialog;
    std::int32_t switches[7];
    std::uint32_t mask;
};
SettingsSnapshot startSettings;

std::int32_t* const kSwitches[7] = {&showScratchedFiles, &showONLYScratchedFiles, &appendPrgExtension,
                                    &ignoreErrorTable,   &eraseDeletedSectors,    &geosAsConvert,
                                    &extractAsPC64};

// More headers than any image can list: a D82 directory has fewer than 800
// entries, a tape at most 65535 slots.
constexpr int kMaxListed = 70000;
constexpr std::int32_t kHiddenAttr = 0100444;

// Folders of fuzzer processes that ended without cleaning up (a crash, a
// timeout) would fill /dev/shm over a long campaign.
void removeStaleFolders(const std::string& parent) {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(parent, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("ombrix-fuzz-", 0) != 0) continue;
        const long pid = std::strtol(name.c_str() + 12, nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(e.path(), ec);
    }
}

void removeWorkFolder() {
    std::error_code ec;
    if (!workFolder.empty()) fs::remove_all(workFolder, ec);
}

[[noreturn]] void harnessFailure(const std::string& what) {
    std::fprintf(stderr, "\n==ombrix-fuzz== HARNESS FAILURE in %s: %s\n", target.c_str(), what.c_str());
    std::abort();
}

const FormatLayout& layoutOf(const Variant& v) { return *formatLayout(v.type, v.forty != 0); }

std::uint8_t fillByte(std::size_t i, std::uint32_t seed) {
    return static_cast<std::uint8_t>((i * 131u + seed * 977u + (i >> 8) * 7u) ^ (seed >> 3));
}

}  // namespace

// --- the process ---

void setUp(const char* name) {
    target = name;
    // The log would cost time on every call; OMBRIX_FUZZ_TRACE=1 keeps it
    // (OMBRIX_LOG, OMBRIX_LOGLEVEL) for looking into one input.
    if (!std::getenv("OMBRIX_FUZZ_TRACE")) {
        unsetenv("OMBRIX_LOG");
        unsetenv("OMBRIX_LOGLEVEL");
    }
    std::error_code ec;
    std::string parent = "/dev/shm";
    if (!fs::is_directory(parent, ec)) parent = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    removeStaleFolders(parent);
    workFolder = parent + "/ombrix-fuzz-" + std::to_string(getpid());
    for (const char* sub : {"settings", "out", "src", "img", "base"})
        if (!fs::create_directories(workFolder + "/" + sub, ec) && ec) harnessFailure("cannot create " + workFolder);
    std::atexit(removeWorkFolder);

    writeFile(path("settings/ombrix.ini"), Bytes{'[', 'c', 'o', 'm', 'm', 'o', 'n', ']', '\n', 'l', 'o', 'g', 'L',
                                                 'e', 'v', 'e', 'l', '=', '0', '\n'});
    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    const std::string ini = path("settings/wcx.ini");
    std::strncpy(dps.DefaultIniName, ini.c_str(), sizeof dps.DefaultIniName - 1);
    PackSetDefaultParams(&dps);

    startSettings.newImage = NewImageSettings;
    startSettings.fallback = dirTrackFallback;
    startSettings.dialog = SettingsDialogState;
    for (int i = 0; i < 7; ++i) startSettings.switches[i] = *kSwitches[i];
    startSettings.mask = logMask;
}

std::string path(const std::string& name) { return workFolder + "/" + name; }

void restoreSettings() {
    NewImageSettings = startSettings.newImage;
    dirTrackFallback = startSettings.fallback;
    SettingsDialogState = startSettings.dialog;
    for (int i = 0; i < 7; ++i) *kSwitches[i] = startSettings.switches[i];
    logMask = startSettings.mask;
}

Bytes readFile(const std::string& file) {
    // One buffer of the file's size: large allocations cost page faults
    // under the sanitizer, and images are read several times per input.
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    std::FILE* f = ec ? nullptr : std::fopen(file.c_str(), "rb");
    if (!f) return {};
    Bytes data(static_cast<std::size_t>(size));
    data.resize(std::fread(data.data(), 1, data.size(), f));
    std::fclose(f);
    return data;
}

void writeFile(const std::string& file, const Bytes& data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) harnessFailure("cannot write " + file);
}

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool ignored(const char* name, bool byName) {
    const char* list = std::getenv("OMBRIX_FUZZ_IGNORE");
    if (!list) return false;
    if (!byName && std::strcmp(list, "all") == 0) return true;
    const std::string all = std::string(",") + list + ",";
    return all.find(std::string(",") + name + ",") != std::string::npos;
}

void check(bool ok, const char* name, const std::string& detail) {
    if (ok || ignored(name)) return;
    std::fprintf(stderr, "\n==ombrix-fuzz== FINDING %s/%s: %s\n", target.c_str(), name, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// --- disk inputs ---

const Variant kVariants[] = {
    {"d64", "d64", kTypeD64, 0, false},        {"d64e", "d64", kTypeD64, 0, true},
    {"d64speed", "d64", kTypeD64, 2, false},   {"d64speede", "d64", kTypeD64, 2, true},
    {"d64dolphin", "d64", kTypeD64, 3, false}, {"d64dolphine", "d64", kTypeD64, 3, true},
    {"d71", "d71", kTypeD71, 0, false},        {"d71e", "d71", kTypeD71, 0, true},
    {"d80", "d80", kTypeD80, 0, false},        {"d80e", "d80", kTypeD80, 0, true},
    {"d82", "d82", kTypeD82, 0, false},        {"d82e", "d82", kTypeD82, 0, true},
    {"d81", "d81", kTypeD81, 0, false},        {"d81e", "d81", kTypeD81, 0, true},
};
const int kVariantCount = sizeof kVariants / sizeof kVariants[0];

std::size_t imageSizeOf(const Variant& v) {
    const FormatLayout& l = layoutOf(v);
    return l.size + (v.errorBytes ? l.blockCount : 0);
}

std::size_t blockOffset(const Variant& v, int track, int sector) {
    return layoutOf(v).geometry[track - 1].offset + 256u * static_cast<unsigned>(sector);
}

DiskInput decodeDiskInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[kHeaderSize] = {};
    const std::size_t headerBytes = std::min(size, kHeaderSize);
    if (headerBytes) std::memcpy(header, data, headerBytes);
    DiskInput in;
    const int index = header[0] % kVariantCount;
    in.variant = &kVariants[index];
    std::memcpy(in.param, header + 2, sizeof in.param);
    const std::uint8_t* rest = data + headerBytes;
    const std::size_t restSize = size - headerBytes;
    switch (header[1] % kModeCount) {
    case kOverlay:
        in.image = baseImage(index);
        applyOverlay(*in.variant, in.image, rest, restSize);
        break;
    case kRawPadded:
        in.image.assign(rest, rest + restSize);
        if (in.image.size() < imageSizeOf(*in.variant)) in.image.resize(imageSizeOf(*in.variant), 0);
        break;
    default:
        in.image.assign(rest, rest + restSize);
        break;
    }
    // The listing counts a chain's blocks in 16 bits: with a count of 65535
    // it never sees "more blocks than the directory names" and a cyclic
    // chain keeps it walking.
    if (ignored("length-cycle", true))
        for (const Entry& e : directoryEntries(in.image, in.variant->type)) in.skip |= e.cycle && e.blocks == 0xFFFF;
    return in;
}

void applyOverlay(const Variant& v, Bytes& image, const std::uint8_t* patches, std::size_t size) {
    const FormatLayout& l = layoutOf(v);
    std::size_t p = 0;
    while (p + 4 <= size) {
        const std::uint8_t t = patches[p], s = patches[p + 1], off = patches[p + 2];
        std::size_t n = patches[p + 3] ? patches[p + 3] : 256;
        p += 4;
        n = std::min(n, size - p);
        std::size_t at = 0;
        if (t == 0) {
            if (!v.errorBytes) {
                p += n;
                continue;
            }
            at = l.size + (256u * s + off) % l.blockCount;
        } else {
            const int track = 1 + (t - 1) % l.trackCount;
            at = blockOffset(v, track, s % static_cast<int>(l.geometry[track - 1].sectors)) + off;
        }
        for (std::size_t i = 0; i < n && at + i < image.size(); ++i) image[at + i] = patches[p + i];
        p += n;
    }
}

Bytes encodeOverlay(const Variant& v, const Bytes& base, const Bytes& changed) {
    const FormatLayout& l = layoutOf(v);
    Bytes out;
    auto emit = [&](int t, int s, std::size_t off, std::size_t n, const std::uint8_t* bytes) {
        out.push_back(static_cast<std::uint8_t>(t));
        out.push_back(static_cast<std::uint8_t>(s));
        out.push_back(static_cast<std::uint8_t>(off));
        out.push_back(static_cast<std::uint8_t>(n & 0xFF));
        out.insert(out.end(), bytes, bytes + n);
    };
    for (int t = 1; t <= l.trackCount; ++t) {
        for (int s = 0; s < static_cast<int>(l.geometry[t - 1].sectors); ++s) {
            const std::size_t at = blockOffset(v, t, s);
            std::size_t first = 256, last = 0;
            for (std::size_t i = 0; i < 256; ++i) {
                if (base[at + i] == changed[at + i]) continue;
                first = std::min(first, i);
                last = i;
            }
            if (first < 256) emit(t, s, first, last - first + 1, changed.data() + at + first);
        }
    }
    for (std::size_t i = l.size; i < changed.size() && i < base.size(); ++i) {
        if (base[i] == changed[i]) continue;
        const std::size_t index = i - l.size;
        emit(0, static_cast<int>(index / 256), index % 256, 1, changed.data() + i);
    }
    return out;
}

Bytes diskInput(int variant, Mode mode, const std::uint8_t (&param)[4], const Bytes& rest) {
    Bytes in = {static_cast<std::uint8_t>(variant), mode, param[0], param[1], param[2], param[3]};
    in.insert(in.end(), rest.begin(), rest.end());
    return in;
}

namespace {

struct SourceFile {
    const char* name;
    std::size_t size;
};
// Directory order of the base image: entries 0-7 in the first directory
// block, 8-11 in the second; the two "gone" files are deleted again.
const SourceFile kBaseFiles[] = {
    {"f0.prg", 1},    {"f1.seq", 254},   {"f2.prg", 255}, {"f3.prg", 3000},   {"gone1.prg", 600}, {"f5.seq", 508},
    {"f6.prg", 0},    {"f7.prg", 40},    {"f8.txt", 700}, {"gone2.prg", 100}, {"f10.prg", 5000}, {"f11.prg", 253},
};

}  // namespace

const Bytes& baseImage(int index) {
    static std::vector<Bytes> made(static_cast<std::size_t>(kVariantCount));
    Bytes& image = made[static_cast<std::size_t>(index)];
    if (!image.empty()) return image;
    const Variant& v = kVariants[index];

    std::vector<std::string> names;
    for (std::size_t i = 0; i < sizeof kBaseFiles / sizeof kBaseFiles[0]; ++i) {
        Bytes data(kBaseFiles[i].size);
        for (std::size_t k = 0; k < data.size(); ++k) data[k] = fillByte(k, static_cast<std::uint32_t>(i + 1));
        writeFile(path("base/") + kBaseFiles[i].name, data);
        names.push_back(kBaseFiles[i].name);
    }
    restoreSettings();
    const std::string options = std::string("forty=") +
                                (v.forty == 2 ? "speeddos" : v.forty == 3 ? "dolphindos" : "off") +
                                "\nerror-bytes=" + (v.errorBytes ? "1" : "0") + "\n";
    if (ConfigurePackerText(options.c_str()) != 0) harnessFailure("new-image options refused: " + options);
    const std::string file = path("base/image.") + v.ext;
    ::unlink(file.c_str());
    const int packed = packFiles(file, path("base"), names);
    const int deleted = deleteFiles(file, {"gone1.prg", "gone2.prg"});
    restoreSettings();
    if (packed != 0 || deleted != 0)
        harnessFailure(std::string("cannot make the base image ") + v.name + " (PackFiles " + std::to_string(packed) +
                       ", DeleteFiles " + std::to_string(deleted) + ")");
    image = readFile(file);
    ::unlink(file.c_str());
    if (image.size() != imageSizeOf(v)) harnessFailure(std::string("base image of wrong size: ") + v.name);
    return image;
}

namespace {

// The image as the tests' builders see it.
ts::RawImage rawOf(int variant, Bytes& image) {
    const Variant& v = kVariants[variant];
    ts::RawImage r {v.type, layoutOf(v).trackCount, std::move(image), v.errorBytes};
    return r;
}

// Entry i of the base image's directory (0-7 first block, 8-15 second).
std::uint8_t* entryOf(ts::RawImage& r, int i) {
    const FormatLayout& l = *formatLayout(r.type, r.tracks == 40);
    std::uint8_t* block = ts::block(r, l.dirTrack, l.dirSector);
    if (i >= kEntriesPerBlock) {
        block = ts::block(r, block[kDirLinkTrack], block[kDirLinkSector]);
        i -= kEntriesPerBlock;
    }
    return block + i * kDirEntrySize;
}

void copyEntry(ts::RawImage& r, int from, int to, std::uint8_t type, const char* name) {
    std::uint8_t* dest = entryOf(r, to);
    std::memcpy(dest + kDirEntryType, entryOf(r, from) + kDirEntryType, kDirEntrySize - kDirEntryType);
    dest[kDirEntryType] = type;
    if (name) {
        std::memset(dest + kDirFileName, kDiskNamePad, kCbmNameLength);
        std::memcpy(dest + kDirFileName, name, std::strlen(name));
    }
}

// The blocks of an entry's chain, in order.
std::vector<std::pair<int, int>> chainOf(ts::RawImage& r, int i) {
    std::vector<std::pair<int, int>> blocks;
    int t = entryOf(r, i)[kDirStartTrack], s = entryOf(r, i)[kDirStartSector];
    while (t != 0 && blocks.size() < 100) {
        blocks.emplace_back(t, s);
        const std::uint8_t* b = ts::block(r, t, s);
        t = b[kDirLinkTrack];
        s = b[kDirLinkSector];
    }
    return blocks;
}

// An image of the variant with nothing on it but an empty directory.
const Bytes& emptyImage(int index) {
    static std::vector<Bytes> made(static_cast<std::size_t>(kVariantCount));
    Bytes& image = made[static_cast<std::size_t>(index)];
    if (!image.empty()) return image;
    const Variant& v = kVariants[index];
    restoreSettings();
    const std::string options = std::string("forty=") +
                                (v.forty == 2 ? "speeddos" : v.forty == 3 ? "dolphindos" : "off") +
                                "\nerror-bytes=" + (v.errorBytes ? "1" : "0") + "\n";
    ConfigurePackerText(options.c_str());
    const std::string file = path("base/empty.") + v.ext;
    ::unlink(file.c_str());
    writeFile(path("base/x.prg"), Bytes(300, 1));
    const int packed = packFiles(file, path("base"), {"x.prg"});
    const int deleted = deleteFiles(file, {"x.prg"});
    restoreSettings();
    if (packed != 0 || deleted != 0) harnessFailure(std::string("cannot make an empty image ") + v.name);
    image = readFile(file);
    ::unlink(file.c_str());
    return image;
}

// The BAM says every block is free but those of the directory: PackFiles
// may then hand out blocks that files use.
void lyingBam(int variant, Bytes& image) {
    const FormatLayout& l = layoutOf(kVariants[variant]);
    const Bytes& empty = emptyImage(variant);
    std::vector<std::pair<int, int>> bam;
    for (int k = 0; k < l.bamBlockCount; ++k) bam.emplace_back(l.bamTrack, l.bamSector[k]);
    if (l.bamTrack2 != 255) bam.emplace_back(l.bamTrack2, 0);
    for (const auto& [t, s] : bam) {
        const std::size_t at = blockOffset(kVariants[variant], t, s);
        std::memcpy(image.data() + at, empty.data() + at, 256);
    }
}

// A new entry that shares f3's blocks, under the name PackFiles replaces.
void crossLinkAdd(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    copyEntry(r, 3, 4, kTypePrg, "ZZ FUZZ ADD");
    image = std::move(r.data);
}

// Two live entries of one name (and one chain).
void duplicateName(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    copyEntry(r, 3, 4, kTypePrg, nullptr);
    image = std::move(r.data);
}

// Two files of the name PackFiles replaces, sharing the chains of f5 and f10.
void duplicateAdd(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    copyEntry(r, 5, 4, kTypePrg, "ZZ FUZZ ADD");
    copyEntry(r, 10, 9, kTypePrg, "ZZ FUZZ ADD");
    image = std::move(r.data);
}

// A drive scratches a file by its type byte alone: the name stays. Here a
// scratched F7 on f1's old chain stands before the live F7.
void scratchedNamed(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    copyEntry(r, 7, 4, kTypeScratched, nullptr);
    entryOf(r, 4)[kDirStartTrack] = entryOf(r, 1)[kDirStartTrack];
    entryOf(r, 4)[kDirStartSector] = entryOf(r, 1)[kDirStartSector];
    image = std::move(r.data);
}

// The error byte of f3's second block marks it bad (23, checksum error).
void errorBlock(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    const auto chain = chainOf(r, 3);
    const FormatLayout& l = layoutOf(kVariants[variant]);
    if (chain.size() > 1) r.data[l.size + std::size_t(ts::blockIndex(r, chain[1].first, chain[1].second))] = 5;
    image = std::move(r.data);
}

// The second directory block links back to the first.
void directoryLoop(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    const FormatLayout& l = layoutOf(kVariants[variant]);
    std::uint8_t* first = ts::block(r, l.dirTrack, l.dirSector);
    std::uint8_t* second = ts::block(r, first[kDirLinkTrack], first[kDirLinkSector]);
    second[kDirLinkTrack] = l.dirTrack;
    second[kDirLinkSector] = l.dirSector;
    image = std::move(r.data);
}

// f3's last block links back to its first.
void chainLoop(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    const auto chain = chainOf(r, 3);
    std::uint8_t* last = ts::block(r, chain.back().first, chain.back().second);
    last[kDirLinkTrack] = static_cast<std::uint8_t>(chain.front().first);
    last[kDirLinkSector] = static_cast<std::uint8_t>(chain.front().second);
    image = std::move(r.data);
}

// Block counts that do not match the chains.
void countLie(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    entryOf(r, 10)[kDirBlockCount] = 1;
    entryOf(r, 2)[kDirBlockCount] = 0;
    image = std::move(r.data);
}

// f3's second block links to a track no format has.
void badLink(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    const auto chain = chainOf(r, 3);
    std::uint8_t* b = ts::block(r, chain[1].first, chain[1].second);
    b[kDirLinkTrack] = 0xFF;
    b[kDirLinkSector] = 0;
    image = std::move(r.data);
}

// Names a host shows with '_' and U+00A0, a USR file and a locked PRG.
void oddNames(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    copyEntry(r, 1, 4, kTypeUsr, "A/B*\xA0" "C:");
    copyEntry(r, 11, 9, 0xC2, "LOCKED");
    copyEntry(r, 10, 10, kTypePrg, "GAME/CRACK");
    image = std::move(r.data);
}

// A GEOS disk: the header names a border block on the last track, where
// f2's entry lies instead of in the directory.
void geosBorder(int variant, Bytes& image) {
    ts::RawImage r = rawOf(variant, image);
    const FormatLayout& l = layoutOf(kVariants[variant]);
    std::uint8_t* header = ts::block(r, l.headerTrack, l.headerSector);
    std::memcpy(header + 0xAD, "GEOS format V1.0", 16);
    header[0xAB] = l.trackCount;
    header[0xAC] = 0;
    std::uint8_t* border = ts::block(r, l.trackCount, 0);
    std::memset(border, 0, 256);
    border[1] = 0xFF;
    std::memcpy(border + kDirEntryType, entryOf(r, 2) + kDirEntryType, kDirEntrySize - kDirEntryType);
    std::memset(entryOf(r, 2) + kDirEntryType, 0, kDirEntrySize - kDirEntryType);
    image = std::move(r.data);
}

}  // namespace

const Damage kDamages[] = {
    {"lying-bam", false, lyingBam},         {"cross-link-add", false, crossLinkAdd},
    {"duplicate-name", false, duplicateName}, {"duplicate-add", false, duplicateAdd},
    {"scratched-named", false, scratchedNamed}, {"error-block", true, errorBlock},
    {"directory-loop", false, directoryLoop}, {"chain-loop", false, chainLoop},
    {"count-lie", false, countLie},         {"bad-link", false, badLink},
    {"odd-names", false, oddNames},         {"geos-border", false, geosBorder},
};
const int kDamageCount = sizeof kDamages / sizeof kDamages[0];

// --- the exports ---

Contents readImage(const std::string& image, Pass pass) {
    Contents c;
    std::vector<char> name(image.begin(), image.end());
    name.push_back(0);
    tOpenArchiveData data {};
    data.ArcName = name.data();
    data.OpenMode = pass == Pass::list ? PK_OM_LIST : PK_OM_EXTRACT;
    HANDLE h = OpenArchive(&data);
    c.openResult = data.OpenResult;
    if (!h) {
        check(data.OpenResult != 0, "open-result", "OpenArchive gave no handle but result 0");
        return c;
    }
    check(data.OpenResult == 0, "open-result", "OpenArchive gave a handle and result " + std::to_string(data.OpenResult));
    for (;;) {
        check(c.files.size() < static_cast<std::size_t>(kMaxListed), "endless-listing",
              "ReadHeader still reports files after " + std::to_string(kMaxListed));
        tHeaderData header {};
        const int r = ReadHeader(h, &header);
        if (r != 0) {
            c.endResult = r;
            break;
        }
        File f;
        f.name = header.FileName;
        f.hidden = header.FileAttr == kHiddenAttr;
        f.unpSize = header.UnpSize;
        if (pass == Pass::list) {
            ProcessFile(h, PK_SKIP, nullptr, nullptr);
        } else {
            std::string dest = path("out/") + f.name;
            f.result = ProcessFile(h, pass == Pass::extract ? PK_EXTRACT : PK_TEST, nullptr, dest.data());
            if (pass == Pass::extract) {
                f.bytes = readFile(dest);
                ::unlink(dest.c_str());  // never a folder: names such as ".." stay
            }
        }
        c.files.push_back(std::move(f));
    }
    CloseArchive(h);
    return c;
}

namespace {
std::vector<char> zeroList(const std::vector<std::string>& names) {
    std::vector<char> list;
    for (const std::string& n : names) {
        list.insert(list.end(), n.begin(), n.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}
}  // namespace

int packFiles(const std::string& image, const std::string& folder, const std::vector<std::string>& names) {
    std::vector<char> img(image.begin(), image.end()), src(folder.begin(), folder.end());
    img.push_back(0);
    src.push_back('/');
    src.push_back(0);
    std::vector<char> list = zeroList(names);
    return PackFiles(img.data(), nullptr, src.data(), list.data(), 0);
}

int deleteFiles(const std::string& image, const std::vector<std::string>& names) {
    std::vector<char> img(image.begin(), image.end());
    img.push_back(0);
    std::vector<char> list = zeroList(names);
    return DeleteFiles(img.data(), list.data());
}

// --- what a disk image really holds ---

namespace {

// The image's layout as OpenArchive takes it from the size.
struct Geometry {
    const FormatLayout* layout = nullptr;
    bool errors = false;
};

Geometry geometryOf(const Bytes& image, std::int32_t type) {
    Geometry g;
    const FormatLayout* l =
        type == kTypeD64 ? formatLayout(kTypeD64, image.size() >= formatLayout(kTypeD64, true)->size) : formatLayout(type);
    if (!l || image.size() < l->size) return g;
    g.layout = l;
    g.errors = image.size() == std::size_t(l->size) + l->blockCount;
    return g;
}

int indexOf(const Geometry& g, int track, int sector) {
    if (track < 1 || track > g.layout->trackCount) return -1;
    const TrackGeometry& row = g.layout->geometry[track - 1];
    if (sector >= static_cast<int>(row.sectors)) return -1;
    return static_cast<int>(row.offset / 256) + sector;
}

// The block, or null when it is outside the format or its error byte marks it bad.
const std::uint8_t* readable(const Bytes& image, const Geometry& g, int track, int sector) {
    const int index = indexOf(g, track, sector);
    if (index < 0 || std::size_t(index) * 256 + 256 > image.size()) return nullptr;
    if (g.errors && ignoreErrorTable == 0 && image[g.layout->size + std::size_t(index)] > 1) return nullptr;
    return image.data() + std::size_t(index) * 256;
}

int readChain(const Bytes& image, const Geometry& g, const std::uint8_t* entry, Bytes& out, bool& cycle,
              std::vector<std::pair<int, int>>& chain) {
    int track = entry[kDirStartTrack], sector = entry[kDirStartSector];
    // An empty file as older versions stored it (0 blocks at track 0) owns no block.
    if (track == 0 && entry[kDirBlockCount] == 0 && entry[kDirBlockCount + 1] == 0) return 0;
    std::vector<bool> seen(g.layout->blockCount, false);
    for (;;) {
        const std::uint8_t* block = readable(image, g, track, sector);
        if (!block) return E_EREAD;
        const int index = indexOf(g, track, sector);
        if (seen[static_cast<std::size_t>(index)]) {
            cycle = true;
            return E_EREAD;
        }
        seen[static_cast<std::size_t>(index)] = true;
        chain.emplace_back(track, sector);
        const std::size_t n = block[0] != 0 ? 254u : (block[1] >= 2 ? block[1] - 1u : 0u);
        out.insert(out.end(), block + 2, block + 2 + n);
        if (block[0] == 0) return 0;
        track = block[0];
        sector = block[1];
    }
}

// A GEOS file (closed DEL/SEQ/PRG/USR, GEOS type set) as the Convert file
// cbmconvert writes: entry bytes 2-31 with the block pointers zeroed and the
// blocks the file has, the signature, the info block without its link; for
// VLIR the record table up to the index's 00 00 and the records, zero-padded
// to whole blocks but the last one with data. One visit table for the file;
// a record of more than 255 blocks or with an empty last block cannot be
// written (18).
bool isGeosFile(const std::uint8_t* entry) {
    const int type = entry[kDirEntryType] & 0xBF;
    return geosAsConvert && entry[kDirGeosFileType] != 0 && type >= kTypeDel && type <= kTypeUsr;
}

int readConvert(const Bytes& image, const Geometry& g, const std::uint8_t* entry, Bytes& out, bool& cycle,
                std::vector<std::pair<int, int>>& chain) {
    std::vector<bool> seen(g.layout->blockCount, false);
    auto take = [&](int track, int sector) -> const std::uint8_t* {
        const std::uint8_t* block = readable(image, g, track, sector);
        if (!block) return nullptr;
        const auto index = static_cast<std::size_t>(indexOf(g, track, sector));
        if (seen[index]) {
            cycle = true;
            return nullptr;
        }
        seen[index] = true;
        chain.emplace_back(track, sector);
        return block;
    };
    // A chain's data; its block count and the bytes of its last block.
    auto walk = [&](int track, int sector, Bytes& data, int& blocks, int& last) {
        for (blocks = 1;; ++blocks) {
            const std::uint8_t* block = take(track, sector);
            if (!block) return false;
            last = block[0] != 0 ? 254 : (block[1] >= 2 ? block[1] - 1 : 0);
            data.insert(data.end(), block + 2, block + 2 + last);
            if (block[0] == 0) return true;
            track = block[0];
            sector = block[1];
        }
    };
    if (entry[kDirGeosStructure] > 1) return E_EREAD;
    const std::uint8_t* info = take(entry[kDirGeosInfoTrack], entry[kDirGeosInfoSector]);
    if (!info) return E_EREAD;
    Bytes table(254, 0), body;
    int total = 1;
    if (entry[kDirGeosStructure] == 0) {
        int blocks = 0, last = 0;
        if (!walk(entry[kDirStartTrack], entry[kDirStartSector], body, blocks, last)) return E_EREAD;
        total += blocks;
    } else {
        const std::uint8_t* index = take(entry[kDirStartTrack], entry[kDirStartSector]);
        if (!index) return E_EREAD;
        ++total;
        std::vector<Bytes> records;
        std::vector<int> counts;
        std::size_t lastFilled = 0;
        for (int r = 0; r < 127 && (index[2 + 2 * r] != 0 || index[3 + 2 * r] != 0); ++r) {
            records.emplace_back();
            counts.push_back(0);
            if (index[2 + 2 * r] == 0) {
                table[2 * r + 1] = 0xFF;
                continue;
            }
            int last = 0;
            if (!walk(index[2 + 2 * r], index[3 + 2 * r], records.back(), counts.back(), last) ||
                counts.back() > 255 || last == 0)
                return E_EREAD;
            table[2 * r] = static_cast<std::uint8_t>(counts.back());
            table[2 * r + 1] = static_cast<std::uint8_t>(last + 1);
            total += counts.back();
            lastFilled = records.size();
        }
        for (std::size_t r = 0; r < records.size(); ++r) {
            body.insert(body.end(), records[r].begin(), records[r].end());
            if (counts[r] != 0 && r + 1 != lastFilled) body.resize(body.size() + 254 * counts[r] - records[r].size(), 0);
        }
    }
    Bytes header(254, 0);
    std::memcpy(header.data(), entry + kDirEntryType, 30);
    header[1] = header[2] = header[19] = header[20] = 0;
    header[28] = static_cast<std::uint8_t>(total & 0xFF);
    header[29] = static_cast<std::uint8_t>(total >> 8);
    const char signature[] = "PRG formatted GEOS file V1.0";
    std::memcpy(header.data() + 30, signature, sizeof signature - 1);
    out = header;
    out.insert(out.end(), info + 2, info + 256);
    if (entry[kDirGeosStructure] == 1) out.insert(out.end(), table.begin(), table.end());
    out.insert(out.end(), body.begin(), body.end());
    return 0;
}

}  // namespace

// The header and BAM blocks of an image: a D80/D82 has the BAM blocks of the
// run its blocks state (old blocks of another format behind it are not its).
std::set<std::pair<int, int>> headerAndBamBlocks(const FormatLayout& l, const Bytes& image) {
    std::set<std::pair<int, int>> blocks;
    int bamBlocks = l.bamBlockCount;
    if (l.bamBlockTracks != 0) {
        ImageInfo info;
        info.imageType = l.imageType;
        info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(image.size() + 1, 1)));
        if (info.imageData && !image.empty()) std::memcpy(info.imageData.get(), image.data(), image.size());
        info.imageSize = static_cast<std::int32_t>(image.size());
        setDiskInitValues(info);
        checkImageSize(info);
        if (info.imageData) readStatedBamTracks(info);
        bamBlocks = info.bamBlockCount;
    }
    blocks.emplace(l.headerTrack, l.headerSector);
    for (int k = 0; k < bamBlocks; ++k) blocks.emplace(l.bamTrack, l.bamSector[k]);
    if (l.bamTrack2 != 255) blocks.emplace(l.bamTrack2, 0);
    return blocks;
}

namespace {

// A block's bytes whatever its error byte says, as the blocks in use are seen.
const std::uint8_t* rawBlock(const Bytes& image, const Geometry& g, int track, int sector) {
    const int index = indexOf(g, track, sector);
    if (index < 0 || std::size_t(index) * 256 + 256 > image.size()) return nullptr;
    return image.data() + std::size_t(index) * 256;
}

void markChain(const Bytes& image, const Geometry& g, int track, int sector, std::vector<bool>& used) {
    std::vector<bool> seen(g.layout->blockCount, false);
    while (track != 0) {
        const std::uint8_t* block = rawBlock(image, g, track, sector);
        if (!block) return;
        const auto index = static_cast<std::size_t>(indexOf(g, track, sector));
        if (seen[index]) return;
        seen[index] = used[index] = true;
        track = block[0];
        sector = block[1];
    }
}

// The blocks a live entry uses: its chain; a partition's area; a REL file's
// side sectors; a GEOS file's info block and every record its index names.
void markEntry(const Bytes& image, const Geometry& g, const std::uint8_t* entry, std::vector<bool>& used) {
    const int type = entry[kDirEntryType];
    if (type == kTypeScratched) return;
    markChain(image, g, entry[kDirStartTrack], entry[kDirStartSector], used);
    if ((type & 7) == 5) {
        const int first = indexOf(g, entry[kDirStartTrack], entry[kDirStartSector]);
        const int blocks = entry[kDirBlockCount] | entry[kDirBlockCount + 1] << 8;
        for (int i = 0; first >= 0 && i < blocks && first + i < g.layout->blockCount; ++i)
            used[static_cast<std::size_t>(first + i)] = true;
        return;
    }
    if ((type & 7) == 4) return markChain(image, g, entry[kDirSideSectorTrack], entry[kDirSideSectorSector], used);
    if (entry[kDirGeosFileType] == 0) return;
    markChain(image, g, entry[kDirGeosInfoTrack], entry[kDirGeosInfoSector], used);
    const std::uint8_t* index = rawBlock(image, g, entry[kDirStartTrack], entry[kDirStartSector]);
    if (entry[kDirGeosStructure] == 1 && index)
        for (int i = 2; i < 256; i += 2)
            if (index[i] != 0) markChain(image, g, index[i], index[i + 1], used);
}

}  // namespace

std::vector<Entry> directoryEntries(const Bytes& image, std::int32_t type) {
    std::vector<Entry> entries;
    const Geometry g = geometryOf(image, type);
    if (!g.layout) return entries;
    std::vector<bool> seen(g.layout->blockCount, false);
    // The header and BAM blocks never hold the directory: a chain that runs
    // into one ends there, as the plug-in's walks end.
    for (const auto& [t, s] : headerAndBamBlocks(*g.layout, image)) {
        const int index = indexOf(g, t, s);
        if (index >= 0) seen[static_cast<std::size_t>(index)] = true;
    }
    ImageInfo names;  // the names listed so far, as the listing makes them unique
    // Blocks the header, BAM, directory and its files use: a GEOS border
    // pointer naming one of them is bogus.
    std::vector<bool> used = seen;
    auto take = [&](const std::uint8_t* block, int track, int sector) {
        for (int e = 0; e < kEntriesPerBlock; ++e) {
            const std::uint8_t* entry = block + e * kDirEntrySize;
            // With showONLYScratchedFiles the listing does not even record live entries.
            if (showONLYScratchedFiles && entry[kDirEntryType] != kTypeScratched) continue;
            std::uint8_t name[kCbmNameLength];
            std::memcpy(name, entry + kDirFileName, sizeof name);
            trimNamePad(name, kCbmNameLength, type);
            // A GEOS file's name is ASCII, whatever geosAsConvert says.
            const int closed = entry[kDirEntryType] & 0xBF;
            convert(name, kCbmNameLength, entry[kDirGeosFileType] != 0 && closed >= kTypeDel && closed <= kTypeUsr);
            // An unused slot; a live file of an empty name is listed as "_".
            if (name[0] == 0 && entry[kDirEntryType] == kTypeScratched) continue;
            char host[260] = {};
            const bool geos = isGeosFile(entry);
            buildHostName(name, entry[kDirEntryType], host, sizeof host);
            if (geos) {
                ImageInfo alone;  // the name without regard to other entries
                const std::string cvt = uniqueListedName(alone, name, std::string(".cvt"));
                std::snprintf(host, sizeof host, "%s", cvt.c_str());
            }
            const bool shown = entry[kDirEntryType] != kTypeScratched || showScratchedFiles;
            Entry item {shown ? (geos ? uniqueListedName(names, name, std::string(".cvt"))
                                      : uniqueListedName(names, name, entry[kDirEntryType]))
                              : std::string(host),
                        host, entry[kDirEntryType], 0, {}, 0, false, {}, {track, sector}, e};
            item.blocks = static_cast<std::uint16_t>(entry[kDirBlockCount] | entry[kDirBlockCount + 1] << 8);
            item.result = geos ? readConvert(image, g, entry, item.bytes, item.cycle, item.chain)
                               : readChain(image, g, entry, item.bytes, item.cycle, item.chain);
            entries.push_back(std::move(item));
        }
    };
    int track = g.layout->dirTrack, sector = g.layout->dirSector;
    for (;;) {
        const std::uint8_t* block = readable(image, g, track, sector);
        if (!block) return entries;
        const int index = indexOf(g, track, sector);
        if (seen[static_cast<std::size_t>(index)]) return entries;
        seen[static_cast<std::size_t>(index)] = used[static_cast<std::size_t>(index)] = true;
        for (int e = 0; e < kEntriesPerBlock; ++e) markEntry(image, g, block + e * kDirEntrySize, used);
        take(block, track, sector);
        if (block[kDirLinkTrack] == 0) break;
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
    // A directory that ends cleanly is followed by the files on a GEOS
    // desktop's border: "GEOS format" at 0xAD of the header, the border block
    // at 0xAB-0xAC, readable, used by nothing above, linking nowhere.
    const std::uint8_t* header = rawBlock(image, g, g.layout->headerTrack, g.layout->headerSector);
    if (!header || std::memcmp(header + 0xAD, "GEOS format", 11) != 0) return entries;
    track = header[0xAB];
    sector = header[0xAC];
    const std::uint8_t* border = readable(image, g, track, sector);
    if (border && !used[static_cast<std::size_t>(indexOf(g, track, sector))] && border[0] == 0) take(border, track, sector);
    return entries;
}

namespace {

std::vector<std::pair<int, int>> directoryChain(const Bytes& image, const Geometry& g) {
    std::vector<std::pair<int, int>> chain;
    std::set<std::pair<int, int>> seen;
    int track = g.layout->dirTrack, sector = g.layout->dirSector;
    while (const std::uint8_t* block = readable(image, g, track, sector)) {
        if (!seen.emplace(track, sector).second) break;
        chain.emplace_back(track, sector);
        if (block[kDirLinkTrack] == 0) break;
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
    return chain;
}

std::set<std::pair<int, int>> systemBlocks(const Bytes& image, std::int32_t type) {
    const Geometry g = geometryOf(image, type);
    if (!g.layout) return {};
    std::set<std::pair<int, int>> blocks = headerAndBamBlocks(*g.layout, image);
    for (const auto& b : directoryChain(image, g)) blocks.insert(b);
    return blocks;
}

bool touches(const std::vector<std::pair<int, int>>& chain, const std::set<std::pair<int, int>>& blocks) {
    for (const auto& b : chain)
        if (blocks.count(b)) return true;
    return false;
}

}  // namespace

std::string damageCause(const Bytes& image, std::int32_t type, const std::string& name,
                        const std::vector<std::string>& released) {
    const std::vector<Entry> entries = directoryEntries(image, type);
    const Entry* damaged = nullptr;
    std::set<std::pair<int, int>> releasedBlocks;
    for (const Entry& e : entries) {
        if (e.name == name && e.type != kTypeScratched) damaged = &e;
        if (e.type != kTypeScratched && std::find(released.begin(), released.end(), e.name) != released.end())
            releasedBlocks.insert(e.chain.begin(), e.chain.end());
    }
    if (!damaged) return "damaged";
    if (touches(damaged->chain, releasedBlocks)) return "shared-blocks";
    // A released chain that runs through the directory or the BAM frees (or
    // erases) them.
    for (const auto& block : systemBlocks(image, type))
        if (releasedBlocks.count(block)) return "system-blocks";
    // What the BAM says, read by the writer's own BAM code.
    ImageInfo info;
    info.imageType = type;
    info.imageData.reset(static_cast<std::uint8_t*>(std::malloc(image.size())));
    std::memcpy(info.imageData.get(), image.data(), image.size());
    info.imageSize = static_cast<std::int32_t>(image.size());
    setDiskInitValues(info);
    checkImageSize(info);
    readStatedBamTracks(info);
    if (type == kTypeD64 && info.trackCount > kStandardD64Tracks) checkD64Valid40Track(info);
    for (const auto& [t, s] : damaged->chain)
        if (IsSectorFree(info, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s))) return "lying-bam";
    return "damaged";
}

bool directoryInHeaderOrBam(const Bytes& image, std::int32_t type) {
    const Geometry g = geometryOf(image, type);
    if (!g.layout) return false;
    const std::set<std::pair<int, int>> fixed = headerAndBamBlocks(*g.layout, image);
    for (const auto& b : directoryChain(image, g))
        if (fixed.count(b)) return true;
    return false;
}

bool tookSystemBlock(const Bytes& before, const Bytes& after, std::int32_t type, const std::string& name) {
    const std::set<std::pair<int, int>> system = systemBlocks(before, type);
    for (const Entry& e : directoryEntries(after, type))
        if (e.name == name && e.type != kTypeScratched && touches(e.chain, system)) return true;
    return false;
}

std::map<std::pair<std::pair<int, int>, int>, const Entry*> filesBySlot(const std::vector<Entry>& entries,
                                                                       const Bytes& image, std::int32_t type) {
    const std::set<std::pair<int, int>> system = systemBlocks(image, type);
    std::map<std::pair<std::pair<int, int>, int>, const Entry*> files;
    for (const Entry& e : entries)
        if (e.type != kTypeScratched && (e.blocks != 0 || !touches(e.chain, system))) files[{e.where, e.slot}] = &e;
    return files;
}

std::map<std::string, Bytes> trustedFiles(const Contents& extracted, const Bytes& image, std::int32_t type) {
    std::map<std::string, int> recorded, listed;
    // A file whose chain runs through the directory or the BAM changes
    // whenever they do.
    const std::set<std::pair<int, int>> system = systemBlocks(image, type);
    const Geometry g = geometryOf(image, type);
    const std::set<std::pair<int, int>> fixed = g.layout ? headerAndBamBlocks(*g.layout, image) : std::set<std::pair<int, int>>{};
    const std::vector<Entry> entries = directoryEntries(image, type);
    // An entry that lies in the header or a BAM block is made of BAM bytes.
    for (const Entry& e : entries) recorded[e.plain] += touches(e.chain, system) || fixed.count(e.where) ? 2 : 1;
    for (const File& f : extracted.files) ++listed[f.name];
    std::map<std::string, Bytes> trusted;
    for (const File& f : extracted.files) {
        if (f.result != 0 || listed[f.name] != 1) continue;
        for (const Entry& e : entries)
            if (e.name == f.name && e.type != kTypeScratched && recorded[e.plain] == 1) trusted[f.name] = f.bytes;
    }
    return trusted;
}

namespace {
std::string names(const Contents& c) {
    std::string s;
    for (const File& f : c.files) s += "<" + f.name + ">";
    return s;
}
}  // namespace

Contents exerciseReader(const std::string& image, const Bytes& bytes, std::int32_t type, const Bytes* file) {
    const Contents listed = readImage(image, Pass::list);
    Contents extracted = readImage(image, Pass::extract);
    const Contents tested = readImage(image, Pass::test);
    check(readFile(image) == (file ? *file : bytes), "reader-wrote", "reading changed the image file");
    check(names(listed) == names(extracted) && names(listed) == names(tested), "listing-repeats",
          "three listings differ: " + names(listed) + " / " + names(extracted) + " / " + names(tested));

    const std::vector<Entry> entries = directoryEntries(bytes, type);
    std::vector<std::size_t> shown;  // indexes into entries, in listing order
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].type != kTypeScratched || showScratchedFiles) shown.push_back(i);
    check(extracted.files.size() <= shown.size(), "listing-order",
          "listed " + std::to_string(extracted.files.size()) + " files, the directory shows " +
              std::to_string(shown.size()));
    // A directory that ends on a block it can read and has not visited yet
    // lists every entry.
    check(extracted.endResult != E_EREAD || extracted.files.size() == shown.size(), "listing-cut",
          "the listing ended with 18 after " + std::to_string(extracted.files.size()) + " files, the directory has " +
              std::to_string(shown.size()));

    for (std::size_t k = 0; k < extracted.files.size() && k < shown.size(); ++k) {
        const File& got = extracted.files[k];
        const Entry& own = entries[shown[k]];
        const std::string which = "file " + std::to_string(k) + " <" + got.name + ">";
        check(got.name == own.name, "listing-order", which + " is entry <" + own.name + "> of the directory");
        check(got.hidden == (own.type == kTypeScratched), "hidden-flag", which + " hidden flag");
        check(got.result != E_NO_FILES, "listed-not-found", which + ": ProcessFile(PK_EXTRACT) gave 22");
        if (got.result == E_EWRITE) continue;  // a host name the host cannot create
        check(got.result != 0 || got.unpSize == static_cast<std::int32_t>(got.bytes.size()), "listed-size",
              which + ": listed with " + std::to_string(got.unpSize) + " bytes, extraction wrote " +
                  std::to_string(got.bytes.size()));
        check(tested.files[k].result == got.result, "test-agrees",
              which + ": PK_TEST gave " + std::to_string(tested.files[k].result) + ", PK_EXTRACT " +
                  std::to_string(got.result));
        const bool right = got.result == own.result && (own.result != 0 || got.bytes == own.bytes);
        if (right) continue;
        bool earlierSameName = false;
        for (std::size_t i = 0; i < shown[k]; ++i) earlierSameName |= entries[i].plain == own.plain;
        const std::string detail = which + ": extraction gave " + std::to_string(got.result) + " with " +
                                   std::to_string(got.bytes.size()) + " bytes, its chain holds " +
                                   std::to_string(own.bytes.size()) + " bytes (" + std::to_string(own.result) + ")";
        if (earlierSameName)
            check(false, "name-collision", detail + "; an earlier directory entry has the same host name");
        else
            check(false, "extract-bytes", detail);
    }
    return extracted;
}

}  // namespace fz

// --- CMD images: folders ---

namespace fz {

namespace {

const char* cmdExtension(CmdKind kind) { return kind == CmdKind::dnp ? "dnp" : kind == CmdKind::fd ? "d1m" : "d81"; }

// The folder of the base a file is packed into, by its listed path.
const char* cmdFolder(CmdKind kind) { return kind == CmdKind::dnp ? "sub/deeper" : kind == CmdKind::fd ? "p/sub" : "inner"; }

}  // namespace

const Bytes& cmdBase(CmdKind kind) {
    static const Bytes bases[3] = {
        ts::makeNative(3, {{"top", 0x82, Bytes(300, 1)}, {"sub/one", 0x81, Bytes(600, 2)},
                           {"sub/deeper/two", 0x82, Bytes(40, 3)}, {"sub/deeper/three", 0x83, Bytes(2000, 4)}}),
        [] {
            ts::RawImage d64 = ts::makeRawImage(1);
            ts::block(d64, 18, 1)[1] = 0xFF;
            ts::putChain(d64, {{1, 0}, {1, 10}}, Bytes(400, 5));
            ts::putEntry(d64, 18, 1, 0, 0x82, "EMU", 1, 0, 2);
            d64.data.resize(684 * 256, 0);
            return ts::makeFdImage(8, {{1, "P", ts::makeNative(2, {{"top", 0x82, Bytes(300, 1)},
                                                                   {"sub/one", 0x81, Bytes(600, 2)}})},
                                       {2, "C64", d64.data},
                                       {6, "SPOOL", Bytes(512, 6)}});
        }(),
        [] {
            Bytes d81 = ts::makeD81({{"root", 0x82, Bytes(300, 1)}});
            ts::putSubDisk(d81, 50, 3, "inner", {{"in", 0x81, Bytes(600, 2)}});
            return d81;
        }(),
    };
    return bases[static_cast<int>(kind)];
}

Bytes cmdInput(bool raw, const std::vector<std::pair<std::size_t, Bytes>>& patches) {
    Bytes input {static_cast<std::uint8_t>(raw ? 1 : 0)};
    for (const auto& [offset, bytes] : patches) {
        for (int shift : {16, 8, 0}) input.push_back(static_cast<std::uint8_t>(offset >> shift));
        input.push_back(static_cast<std::uint8_t>(bytes.size()));
        input.insert(input.end(), bytes.begin(), bytes.end());
    }
    return input;
}

void runCmdInput(CmdKind kind, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    Bytes image;
    if (data[0] & 1) {
        image.assign(data + 1, data + size);
    } else {
        image = cmdBase(kind);
        for (std::size_t at = 1; at + 4 <= size;) {
            const std::size_t offset = (std::size_t {data[at]} << 16 | std::size_t {data[at + 1]} << 8 | data[at + 2]) % image.size();
            const std::size_t length = data[at + 3] ? data[at + 3] : 256;
            at += 4;
            for (std::size_t k = 0; k < length && at < size; ++k, ++at) image[(offset + k) % image.size()] = data[at];
        }
    }
    const std::string file = path("img/image.") + cmdExtension(kind);
    writeFile(file, image);
    readImage(file, Pass::list);
    readImage(file, Pass::test);
    const Bytes added(700, 0x5A);
    // Files of those bytes before (a replaced one among them may go).
    std::set<std::string> before;
    for (const File& f : readImage(file, Pass::extract).files)
        if (f.bytes == added) before.insert(f.name);

    const std::string folder = cmdFolder(kind);
    std::error_code ec;
    fs::create_directories(path("src/" + folder), ec);
    const std::string inFolder = folder + "/zz fuzz add.prg";
    writeFile(path("src/" + inFolder), added);
    writeFile(path("src/zz fuzz top.prg"), added);
    std::vector<char> img(file.begin(), file.end()), src;
    img.push_back(0);
    const std::string from = path("src/");
    src.assign(from.begin(), from.end());
    src.push_back(0);
    std::vector<char> list(inFolder.begin(), inFolder.end());
    list.push_back(0);
    list.insert(list.end(), {'z', 'z', ' ', 'f', 'u', 'z', 'z', ' ', 't', 'o', 'p', '.', 'p', 'r', 'g', 0, 0});
    const int packed = PackFiles(img.data(), nullptr, src.data(), list.data(), PK_PACK_SAVE_PATHS);
    check(readFile(file).size() == image.size(), "cmd-size", "PackFiles changed the image's size");
    if (packed != 0) return;
    // Both went in and read back whole (in the folder, or where a patch
    // left no folder of that name, under a name that keeps the path).
    std::vector<std::string> found;
    for (const File& f : readImage(file, Pass::extract).files)
        if (f.result == 0 && f.bytes == added && !before.count(f.name)) found.push_back(f.name);
    check(found.size() >= 2, "cmd-pack", "PackFiles gave 0 but the files it added do not read back whole");
    if (found.size() < 2) return;
    const int deleted = deleteFiles(file, found);
    check(readFile(file).size() == image.size(), "cmd-size", "DeleteFiles changed the image's size");
    if (deleted != 0) return;
    for (const File& f : readImage(file, Pass::list).files)
        check(std::find(found.begin(), found.end(), f.name) == found.end() || f.name.find("~") != std::string::npos,
              "cmd-delete", "DeleteFiles gave 0 but " + f.name + " is still listed");
}

}  // namespace fz
