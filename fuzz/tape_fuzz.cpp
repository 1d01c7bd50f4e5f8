// T64 tape images, taken as they come: opened, listed, every listed file
// extracted and tested, each compared with what its slot holds; writing to a
// tape is refused and leaves it as it was.
#include <unistd.h>

#include <cstring>

#include "core/image_info.h"
#include "core/results.h"
#include "image/image.h"
#include "fuzz/fuzz_support.h"
#include "reader/reader.h"

namespace {

std::uint32_t read16(const std::uint8_t* p) { return p[0] | (p[1] << 8u); }
std::uint32_t read32(const std::uint8_t* p) { return read16(p) | (read16(p + 2) << 16u); }

struct Slot {
    std::string name;
    fz::Bytes bytes;  // the load address, then the data that lie inside the image
    std::uint32_t index;
};

std::string hostName(const std::uint8_t* slot, bool listed) {
    std::uint8_t name[kCbmNameLength];
    std::memcpy(name, slot + 16, sizeof name);
    if (listed) {
        trimNamePad(name, kCbmNameLength, kTypeT64);
        convert(name, kCbmNameLength);
    }
    char host[260] = {};
    buildHostName(name, kTypePrg, host, sizeof host);
    return host;
}

// True when a slot before `index` carries `name` as the reader sees it
// while extracting: converted when it was listed, raw when it was not.
bool earlierSameName(const fz::Bytes& tape, std::uint32_t index, const std::string& name) {
    for (std::uint32_t j = 0; j < index; ++j) {
        const std::uint8_t* slot = tape.data() + 64 + 32 * j;
        if (hostName(slot, slot[0] == 1) == name) return true;
    }
    return false;
}

// The used slots (type 1) of the directory, as far as it lies inside the image.
std::vector<Slot> usedSlots(const fz::Bytes& tape) {
    std::vector<Slot> slots;
    ImageInfo names;  // the names listed so far, as the listing makes them unique
    if (tape.size() < 64) return slots;
    const std::uint32_t count = read16(tape.data() + 34);
    for (std::uint32_t i = 0; i < count && 64 + 32 * (i + 1) <= tape.size(); ++i) {
        const std::uint8_t* slot = tape.data() + 64 + 32 * i;
        if (slot[0] != 1) continue;
        std::uint8_t name[kCbmNameLength];
        std::memcpy(name, slot + 16, sizeof name);
        trimNamePad(name, kCbmNameLength, kTypeT64);
        convert(name, kCbmNameLength);
        Slot s {uniqueListedName(names, name, kTypePrg), fz::Bytes(slot + 2, slot + 4), i};
        const std::uint32_t start = read16(slot + 2), end = read16(slot + 4), pos = read32(slot + 8);
        if (end >= start && pos < tape.size()) {
            const std::size_t n = std::min<std::size_t>(end - start, tape.size() - pos);
            s.bytes.insert(s.bytes.end(), tape.begin() + pos, tape.begin() + pos + n);
        }
        slots.push_back(std::move(s));
    }
    return slots;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("tape");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A file whose content is another kind (a PC64 or X64 signature, a Lynx
    // loader, a disk's size) opens as that kind whatever its name says; the
    // targets of those kinds cover it.
    const std::int32_t kind = detectContent(data, size < kDetectHeadSize ? size : kDetectHeadSize, size).type;
    if (kind != kTypeNone && kind != kTypeT64) return 0;
    const fz::Bytes tape(data, data + size);
    const std::string image = fz::path("img/tape.t64");
    fz::writeFile(image, tape);
    const fz::Contents listed = fz::readImage(image, fz::Pass::list);
    const fz::Contents extracted = fz::readImage(image, fz::Pass::extract);
    const fz::Contents tested = fz::readImage(image, fz::Pass::test);
    fz::check(listed.files.size() == extracted.files.size() && listed.files.size() == tested.files.size(),
              "listing-repeats", "three listings differ in length");

    const std::vector<Slot> slots = usedSlots(tape);
    fz::check(extracted.files.size() == slots.size() || size < 64, "listing-order",
              "listed " + std::to_string(extracted.files.size()) + " files, the tape has " +
                  std::to_string(slots.size()) + " used slots");
    for (std::size_t k = 0; k < extracted.files.size() && k < slots.size(); ++k) {
        const fz::File& got = extracted.files[k];
        const std::string which = "file " + std::to_string(k) + " <" + got.name + ">";
        fz::check(got.name == slots[k].name, "listing-order", which + " is slot <" + slots[k].name + ">");
        fz::check(got.result != E_NO_FILES, "listed-not-found", which + ": ProcessFile(PK_EXTRACT) gave 22");
        if (got.result == E_EWRITE) continue;
        fz::check(got.result != 0 || got.unpSize == static_cast<std::int32_t>(got.bytes.size()), "listed-size",
                  which + ": listed with " + std::to_string(got.unpSize) + " bytes, extraction wrote " +
                      std::to_string(got.bytes.size()));
        fz::check(tested.files[k].result == got.result, "test-agrees",
                  which + ": PK_TEST gave " + std::to_string(tested.files[k].result) + ", PK_EXTRACT " +
                      std::to_string(got.result));
        if (got.bytes == slots[k].bytes) continue;
        // The listing converts names and end addresses where they lie: data
        // that overlap the directory come out changed.
        const std::uint8_t* slot = tape.data() + 64 + 32 * slots[k].index;
        const bool inDirectory = read32(slot + 8) < 64 + 32 * read16(tape.data() + 34);
        const char* check = inDirectory                                             ? "tape-data-in-directory"
                            : earlierSameName(tape, slots[k].index, slots[k].name) ? "tape-name-collision"
                                                                                    : "tape-bytes";
        fz::check(false, check,
                  which + ": extraction gave " + std::to_string(got.bytes.size()) + " bytes, its slot holds " +
                      std::to_string(slots[k].bytes.size()));
    }

    fz::writeFile(fz::path("src/zz fuzz add.prg"), fz::Bytes(10, 7));
    fz::check(fz::packFiles(image, fz::path("src"), {"zz fuzz add.prg"}) == E_NOT_SUPPORTED, "tape-write",
              "PackFiles into a tape did not give 24");
    fz::check(fz::deleteFiles(image, {listed.files.empty() ? "x.prg" : listed.files[0].name}) == E_NOT_SUPPORTED,
              "tape-write", "DeleteFiles on a tape did not give 24");
    fz::check(fz::readFile(image) == tape, "reader-wrote", "the tape file changed");
    ::unlink(image.c_str());
    return 0;
}
