// Lynx archives and PC64 files, taken as they come (input byte 0: 0 Lynx,
// 1 PC64 as .p00, 2 either under a name that is not ours): opened, listed,
// every listed file extracted and tested; nothing is read outside the file,
// a PC64 file gives exactly its data, and writing is refused.
#include <unistd.h>

#include <cstring>

#include "core/results.h"
#include "fuzz/fuzz_support.h"
#include "plugin/exports.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("lynx");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int kind = data[0] % 3;
    const fz::Bytes archive(data + 1, data + size);
    const std::string image = fz::path(kind == 0 ? "img/a.lnx" : kind == 1 ? "img/a.p00" : "img/a.bin");
    fz::writeFile(image, archive);
    std::string name = image;
    CanYouHandleThisFile(name.data());
    const fz::Contents listed = fz::readImage(image, fz::Pass::list);
    const fz::Contents extracted = fz::readImage(image, fz::Pass::extract);
    const fz::Contents tested = fz::readImage(image, fz::Pass::test);
    fz::check(listed.files.size() == extracted.files.size() && listed.files.size() == tested.files.size(),
              "listing-repeats", "three listings differ in length");
    fz::check(listed.endResult == extracted.endResult, "listing-repeats", "two listings end differently");
    for (std::size_t k = 0; k < extracted.files.size(); ++k) {
        const fz::File& got = extracted.files[k];
        const std::string which = "file " + std::to_string(k) + " <" + got.name + ">";
        fz::check(got.result == 0 || got.result == E_EREAD || got.result == E_EWRITE, "archive-result",
                  which + ": ProcessFile(PK_EXTRACT) gave " + std::to_string(got.result));
        fz::check(tested.files[k].result == got.result || got.result == E_EWRITE, "test-agrees",
                  which + ": PK_TEST gave " + std::to_string(tested.files[k].result) + ", PK_EXTRACT " +
                      std::to_string(got.result));
        fz::check(got.result != 0 || got.unpSize == static_cast<std::int32_t>(got.bytes.size()), "listed-size",
                  which + ": listed with " + std::to_string(got.unpSize) + " bytes, extraction wrote " +
                      std::to_string(got.bytes.size()));
        // (A tape, which the content may make of the file, puts 2 bytes in front.)
        fz::check(got.bytes.size() <= archive.size() + 2, "archive-bounds", which + ": more bytes than the archive");
    }
    // A PC64 file holds one file: its data from byte 26.
    if (listed.openResult == 0 && archive.size() >= 26 && std::memcmp(archive.data(), "C64File", 8) == 0) {
        fz::check(extracted.files.size() == 1 && extracted.files[0].result == 0 &&
                      extracted.files[0].bytes == fz::Bytes(archive.begin() + 26, archive.end()),
                  "pc64-data", "the PC64 file's data did not come out whole");
    }

    fz::writeFile(fz::path("src/zz fuzz add.prg"), fz::Bytes(10, 7));
    // A G64 or G71 is told by its bytes under any name: a disk, which may be
    // written (the g64 target's business), not an archive of files.
    const bool gcrDisk = archive.size() >= 5 && std::memcmp(archive.data(), "GCR-1", 5) == 0;
    if (listed.openResult == 0 && !gcrDisk) {
        fz::check(fz::packFiles(image, fz::path("src"), {"zz fuzz add.prg"}) == E_NOT_SUPPORTED, "archive-write",
                  "PackFiles into an archive of files did not give 24");
        fz::check(fz::deleteFiles(image, {listed.files.empty() ? "x.prg" : listed.files[0].name}) == E_NOT_SUPPORTED,
                  "archive-write", "DeleteFiles on an archive of files did not give 24");
    }
    fz::check(gcrDisk || fz::readFile(image) == archive, "reader-wrote", "the archive changed");
    ::unlink(image.c_str());
    return 0;
}
