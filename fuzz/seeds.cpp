// Writes the seed corpora of the fuzz targets into OUTDIR/<target>: disk
// images of every format (whole, and as patches over the valid image: a
// lying BAM, loops, shared chains, duplicate and odd names, bad blocks),
// tapes, settings files and new-image text.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/image_info.h"
#include "fuzz/fuzz_support.h"
#include "image/g64.h"
#include "image/image.h"

namespace {

std::string outFolder;

void seed(const std::string& target, const std::string& name, const fz::Bytes& data) {
    std::error_code ec;
    std::filesystem::create_directories(outFolder + "/" + target, ec);
    fz::writeFile(outFolder + "/" + target + "/" + name, data);
}

fz::Bytes text(const std::string& s, int first = -1) {
    fz::Bytes b;
    if (first >= 0) b.push_back(static_cast<std::uint8_t>(first));
    b.insert(b.end(), s.begin(), s.end());
    return b;
}

void diskSeeds() {
    int n = 0;
    for (int v = 0; v < fz::kVariantCount; ++v) {
        const fz::Variant& variant = fz::kVariants[v];
        const fz::Bytes& base = fz::baseImage(v);
        // Parameters differ from seed to seed: file counts and sizes for
        // PackFiles, name counts and erasing for DeleteFiles.
        auto param = [&n]() -> std::array<std::uint8_t, 4> {
            ++n;
            return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(3 + n * 11),
                    static_cast<std::uint8_t>(1 + n * 5), static_cast<std::uint8_t>((n % 4) | ((n % 7) << 2))};
        };
        auto write = [&](const std::string& name, fz::Mode mode, const fz::Bytes& rest) {
            const auto p = param();
            const std::uint8_t params[4] = {p[0], p[1], p[2], p[3]};
            const fz::Bytes input = fz::diskInput(v, mode, params, rest);
            for (const char* target : {"disk", "pack", "delete", "x64"}) seed(target, std::string(variant.name) + "-" + name, input);
        };
        write("whole", fz::kRawPadded, base);
        write("valid", fz::kOverlay, {});
        for (int d = 0; d < fz::kDamageCount; ++d) {
            const fz::Damage& damage = fz::kDamages[d];
            if (damage.needsErrorBytes && !variant.errorBytes) continue;
            fz::Bytes changed = base;
            damage.apply(v, changed);
            write(damage.name, fz::kOverlay, fz::encodeOverlay(variant, base, changed));
        }
    }
    // Sizes the formats do not have.
    const fz::Bytes& d64 = fz::baseImage(0);
    const std::uint8_t none[4] = {};
    seed("disk", "d64-short", fz::diskInput(0, fz::kRawExact, none, fz::Bytes(d64.begin(), d64.end() - 300)));
    fz::Bytes longer = d64;
    longer.resize(d64.size() + 100, 0);
    seed("disk", "d64-odd-size", fz::diskInput(0, fz::kRawExact, none, longer));
}

struct TapeFile {
    std::uint8_t type;
    std::string name;  // PETSCII, padded with `pad`
    std::uint16_t start;
    std::size_t length;
    std::uint8_t pad = 0x20;
};

fz::Bytes tape(const std::vector<TapeFile>& files, std::uint16_t maxFiles, std::size_t cut = 0) {
    fz::Bytes t(64 + 32 * files.size(), 0);
    const std::string magic = "C64S tape image file";
    std::copy(magic.begin(), magic.end(), t.begin());
    t[32] = 0x01;
    t[33] = 0x01;
    t[34] = static_cast<std::uint8_t>(maxFiles);
    t[35] = static_cast<std::uint8_t>(maxFiles >> 8);
    t[36] = static_cast<std::uint8_t>(files.size());
    const std::string title = "OMBRIX SEEDS";
    std::copy(title.begin(), title.end(), t.begin() + 40);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TapeFile& f = files[i];
        std::uint8_t* slot = t.data() + 64 + 32 * i;
        const std::size_t pos = t.size();
        slot[0] = f.type;
        slot[1] = 0x82;
        const std::uint16_t end = static_cast<std::uint16_t>(f.start + f.length);
        slot[2] = static_cast<std::uint8_t>(f.start);
        slot[3] = static_cast<std::uint8_t>(f.start >> 8);
        slot[4] = static_cast<std::uint8_t>(end);
        slot[5] = static_cast<std::uint8_t>(end >> 8);
        for (int k = 0; k < 4; ++k) slot[8 + k] = static_cast<std::uint8_t>(pos >> (8 * k));
        std::fill(slot + 16, slot + 32, f.pad);
        std::copy(f.name.begin(), f.name.begin() + std::min<std::size_t>(f.name.size(), 16), slot + 16);
        for (std::size_t k = 0; k < f.length; ++k) t.push_back(static_cast<std::uint8_t>(k * 13 + i));
    }
    if (cut) t.resize(t.size() - cut);
    return t;
}

void tapeSeeds() {
    seed("tape", "three-files", tape({{1, "GAME", 0x0801, 900}, {1, "INTRO", 0x0801, 300}, {1, "DATA", 0xC000, 40}}, 3));
    seed("tape", "empty-slots",
         tape({{0, "", 0, 0}, {1, "ONE", 0x0801, 200}, {0, "OLD", 0x0801, 10}, {1, "TWO", 0x1000, 50}}, 4));
    seed("tape", "past-end", tape({{1, "LONG", 0x0801, 2000}}, 1, 1500));
    seed("tape", "a0-padded", tape({{1, "HELLO", 0x0801, 100, 0xA0}, {1, "WORLD", 0x0801, 60, 0xA0}}, 2));
    seed("tape", "deleted-same-name",
         tape({{0, "1234567890123456", 0x0801, 30}, {1, "1234567890123456", 0x0801, 80}}, 2));
    seed("tape", "more-slots-than-room", tape({{1, "A", 0x0801, 20}, {1, "B", 0x0801, 20}}, 300));
    const fz::Bytes header = tape({}, 0);
    seed("tape", "header-only", fz::Bytes(header.begin(), header.begin() + 40));
}

// G64 files our encoder makes of the 35- and 40-track base images and a G71
// of the D71 one, and the G64 with hostile headers and damaged tracks.
fz::Bytes g64Of(const fz::Bytes& d64, std::int32_t type = kTypeD64) {
    ImageInfo info;
    info.imageType = type;
    info.imageData.reset(static_cast<std::uint8_t*>(std::malloc(d64.size())));
    std::copy(d64.begin(), d64.end(), info.imageData.get());
    info.imageSize = static_cast<std::int32_t>(d64.size());
    checkImageSize(info);
    setDiskInitValues(info);
    CBuffer<std::uint8_t[]> out;
    std::uint32_t size = 0;
    if (encodeG64Image(info, out, size) != 0) return {};
    return fz::Bytes(out.get(), out.get() + size);
}

void g64Seeds() {
    const fz::Bytes g64 = g64Of(fz::baseImage(0));
    seed("g64", "standard", g64);
    seed("g64", "forty", g64Of(fz::baseImage(2)));
    const fz::Bytes g71 = g64Of(fz::baseImage(6), kTypeD71);
    seed("g64", "g71", g71);
    fz::Bytes g71Side1 = g71;  // side 1's first track (slot 84) with no sync
    const std::size_t slot84 = g71[12 + 4 * 84] | (g71[13 + 4 * 84] << 8) | (g71[14 + 4 * 84] << 16);
    std::fill(g71Side1.begin() + static_cast<long>(slot84) + 2, g71Side1.begin() + static_cast<long>(slot84) + 6000, 0x55);
    seed("g64", "g71-side1-no-sync", g71Side1);
    auto changed = [&](const char* name, auto change) {
        fz::Bytes g = g64;
        change(g);
        seed("g64", name, g);
    };
    auto put32 = [](fz::Bytes& g, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) g[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    const std::size_t track18 = 12 + 8 * 17, speed18 = 12 + 4 * 84 + 4 * 34;
    changed("truncated", [](fz::Bytes& g) { g.resize(g.size() / 2); });
    changed("header-only", [](fz::Bytes& g) { g.resize(12); });
    changed("half-tracks-255", [](fz::Bytes& g) { g[9] = 255; });
    changed("half-tracks-0", [](fz::Bytes& g) { g[9] = 0; });
    changed("max-size-0", [](fz::Bytes& g) { g[10] = g[11] = 0; });
    changed("offset-past-end", [&](fz::Bytes& g) { put32(g, track18, 0xFFFFFFF0u); });
    changed("offset-in-tables", [&](fz::Bytes& g) { put32(g, track18, 20); });
    changed("tracks-overlap", [&](fz::Bytes& g) { put32(g, track18, static_cast<std::uint32_t>(g[track18 - 8] | (g[track18 - 7] << 8) | (g[track18 - 6] << 16)) + 100); });
    changed("speed-offset", [&](fz::Bytes& g) { put32(g, speed18, 0x10000); });
    changed("length-65535", [&](fz::Bytes& g) {
        const std::size_t at = g[track18] | (g[track18 + 1] << 8) | (g[track18 + 2] << 16);
        g[at] = g[at + 1] = 0xFF;
    });
    changed("track-18-no-sync", [&](fz::Bytes& g) {
        const std::size_t at = g[track18] | (g[track18 + 1] << 8) | (g[track18 + 2] << 16);
        std::fill(g.begin() + static_cast<long>(at) + 2, g.begin() + static_cast<long>(at) + 7000, 0x55);
    });
    changed("track-18-all-sync", [&](fz::Bytes& g) {
        const std::size_t at = g[track18] | (g[track18 + 1] << 8) | (g[track18 + 2] << 16);
        std::fill(g.begin() + static_cast<long>(at) + 2, g.begin() + static_cast<long>(at) + 7000, 0xFF);
    });
    changed("damaged-data", [&](fz::Bytes& g) {
        const std::size_t at = g[track18] | (g[track18 + 1] << 8) | (g[track18 + 2] << 16);
        for (std::size_t k = 400; k < 7000; k += 353) g[at + k] ^= 0x5A;
    });
}

// A Lynx archive: loader, directory lines, data on 254-byte boundaries.
struct LynxFile {
    std::string name;
    char type;
    std::size_t size;
};
fz::Bytes lynx(const std::vector<LynxFile>& files, const std::string& count, std::size_t cut = 0) {
    fz::Bytes a = {0, 0x01, 0x08, 0x0B, 0x08, 0x0A, 0x00, 0x9E, '2', '0', '6', '1', 0x00, 0x00, 0x00};
    std::string dir = "\r 1  *LYNX SEED*\r " + count + " \r";
    for (const LynxFile& f : files) {
        dir += f.name + "\r " + std::to_string((f.size + 253) / 254 + (f.type == 'R')) + "\r" + f.type + "\r";
        if (f.type == 'R') dir += " 64 \r";
        dir += " " + std::to_string(f.size ? (f.size - 1) % 254 + 2 : 1) + " \r";
    }
    a.insert(a.end(), dir.begin(), dir.end());
    a.resize(255, 0);
    for (const LynxFile& f : files) {
        a.resize(a.size() + (f.type == 'R' ? 254 : 0) + f.size, static_cast<std::uint8_t>(f.size));
        a.resize(1 + (a.size() + 252) / 254 * 254, 0);
    }
    a.resize(a.size() > cut ? a.size() - cut : 1);
    return a;
}

fz::Bytes pc64(std::uint8_t kind, const std::string& name, std::size_t size) {
    fz::Bytes f = {kind, 'C', '6', '4', 'F', 'i', 'l', 'e', 0};
    f.resize(27, 0);
    std::memcpy(f.data() + 9, name.data(), name.size());
    f.resize(27 + size, 0x42);
    return f;
}

void lynxSeeds() {
    const std::vector<LynxFile> files = {{"GAME", 'P', 900}, {"NOTES", 'S', 40}, {"RECS", 'R', 300}, {"LAST", 'U', 10}};
    seed("lynx", "four-files", lynx(files, "4"));
    seed("lynx", "cut-short", lynx(files, "4", 100));
    seed("lynx", "count-lies", lynx(files, "9"));
    seed("lynx", "zero-padded-count", lynx(files, "0004"));
    seed("lynx", "pc64", pc64(1, "GAME", 300));
    seed("lynx", "pc64-other-name", pc64(2, "HELLO\xA0\xA0", 20));
    seed("lynx", "pc64-empty", pc64(1, "", 0));
}

// The CMD kinds: valid, whole, and the hostile layouts the tests name.
void cmdSeeds() {
    using K = fz::CmdKind;
    auto native = [](int t, int s, int offset) { return static_cast<std::size_t>(((t - 1) * 256 + s) * 256 + offset); };
    const std::size_t table = 3208 * 256 + 32, root81 = (39 * 40 + 3) * 256;
    const struct {
        const char* target;
        K kind;
        const char* name;
        std::vector<std::pair<std::size_t, fz::Bytes>> patches;
    } rows[] = {
        {"dnp", K::dnp, "valid", {}},
        {"dnp", K::dnp, "bam-255-tracks", {{native(1, 2, 8), {255}}}},
        {"dnp", K::dnp, "dir-loops-to-root", {{native(1, 72, 0), {1, 34}}}},
        {"dnp", K::dnp, "holds-itself", {{native(1, 67, 32 + 3), {1, 66}}}},
        {"dnp", K::dnp, "header-not-h", {{native(1, 66, 2), {0}}}},
        {"fdimage", K::fd, "valid", {}},
        {"fdimage", K::fd, "start-past-image", {{table + 0x15, {0xFF, 0xFF, 0xFF}}}},
        {"fdimage", K::fd, "size-past-data", {{table + 0x1D, {0xFF, 0xFF, 0xFF}}}},
        {"fdimage", K::fd, "native-bam-200", {{8 + 2 * 256, {200}}}},
        {"fdimage", K::fd, "emulated-over-native", {{table + 32 + 0x15, {0, 0, 0}}}},
        {"subdisk", K::subDisk, "valid", {}},
        {"subdisk", K::subDisk, "crosses-track-40", {{root81 + 32 + 3, {38, 0}}}},
        {"subdisk", K::subDisk, "huge", {{root81 + 32 + 30, {0x40, 0x06}}}},
        {"subdisk", K::subDisk, "within-itself", {{(49 * 40 + 3) * 256 + 2, {0x85, 51, 0}}, {(49 * 40 + 3) * 256 + 30, {120, 0}}}},
    };
    for (const auto& row : rows) {
        seed(row.target, row.name, fz::cmdInput(false, row.patches));
        if (std::string(row.name) == "valid") {
            fz::Bytes whole = fz::cmdBase(row.kind);
            whole.insert(whole.begin(), 1);
            seed(row.target, "whole", whole);
        }
    }
}

void settingsSeeds() {
    const std::string sample =
        "[common]\nlogLevel=0\nshowScratchedFiles=0\nshowONLYScratchedFiles=0\nappendPrgExtension=0\n"
        "ignoreErrorTable=0\neraseDeletedSectors=0\n";
    seed("settings", "sample", text(sample, 0));
    seed("settings", "scratched", text("[common]\nlogLevel=0\nshowScratchedFiles=1\n", 0));
    seed("settings", "only-scratched", text("[common]\nlogLevel=0\nshowScratchedFiles=1\nshowONLYScratchedFiles=1\n", 0));
    seed("settings", "prg-errors", text("[common]\nlogLevel=0\nappendPrgExtension=1\nignoreErrorTable=1\n", 0));
    seed("settings", "odd-spelling", text("; note\n[ Common ]\n ShowScratchedFiles = 1 \nlogLevel=-1\n", 0));
    seed("settings", "big-numbers", text("[common]\nlogLevel=99999999999\nappendPrgExtension=0x1\n", 0));
    seed("settings", "other-section", text("[other]\nshowScratchedFiles=1\n[common]\nlogLevel=0\n", 0));
    seed("settings", "no-file", text("", 1));
    seed("settings", "long-folder", text(sample, 2));
}

void textSeeds() {
    const char* const lines[] = {
        "title=MY DISK\nid=AB\n",
        "interleave=d64=3,1\ninterleave=d80=1,5\ninterleave=d81=1,2\n",
        "forty=speeddos\nerror-bytes=1\n",
        "forty=dolphindos\n",
        "forty=off\nerror-bytes=0\n",
        "use-dir-track=1\nfrom-track1=1\n",
        "dos=d64=2A\ndos=d80=2C\ndos=d81=3D\r\n",
        "title=A VERY LONG TITLE OF MANY CHARACTERS\nid=X\n",
        "interleave=d64=0,41\n",
        "bogus\n",
    };
    int n = 0;
    for (const char* l : lines) {
        for (int format = 0; format < 5; format += 2) seed("text", "lines-" + std::to_string(n) + "-" + std::to_string(format), text(l, format));
        ++n;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
        return 2;
    }
    outFolder = argv[1];
    fz::setUp("seeds");
    diskSeeds();
    tapeSeeds();
    g64Seeds();
    lynxSeeds();
    cmdSeeds();
    settingsSeeds();
    textSeeds();
    return 0;
}
