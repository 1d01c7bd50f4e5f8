// X64 images: a disk of every format (decoded as the disk target does) behind
// a 64-byte X64 header whose fields come from the input. Listed and
// extracted exactly as the same disk without the header; a file added goes
// into the body as it goes into the plain disk, and the header stays.
#include <unistd.h>

#include <cstring>

#include "core/results.h"
#include "fuzz/fuzz_support.h"
#include "image/image.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("x64");
    return 0;
}

namespace {

bool sameFiles(const fz::Contents& a, const fz::Contents& b) {
    if (a.openResult != b.openResult || a.endResult != b.endResult || a.files.size() != b.files.size()) return false;
    for (std::size_t k = 0; k < a.files.size(); ++k)
        if (a.files[k].name != b.files[k].name || a.files[k].result != b.files[k].result ||
            a.files[k].bytes != b.files[k].bytes)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fz::DiskInput in = fz::decodeDiskInput(data, size);
    if (in.skip) return 0;
    fz::Bytes x64 = {0x43, 0x15, 0x41, 0x64};
    x64.resize(64, 0);
    // The header's fields (version, device, tracks, sides, error flag) as the
    // input's parameters say: none of them may matter.
    std::memcpy(x64.data() + 4, in.param, sizeof in.param);
    x64.insert(x64.end(), in.image.begin(), in.image.end());
    const std::string plain = fz::path("img/plain.") + in.variant->ext;
    const std::string image = fz::path("img/image.x64");
    fz::writeFile(plain, in.image);
    fz::writeFile(image, x64);
    // Only a body of a format's size is a disk; any other X64 is refused.
    bool errorBytes = false;
    if (diskTypeOfSize(in.image.size(), errorBytes) == kTypeNone) {
        fz::check(fz::readImage(image, fz::Pass::list).openResult == E_UNKNOWN_FORMAT, "x64-size",
                  "an X64 of " + std::to_string(in.image.size()) + " body bytes was opened");
        ::unlink(image.c_str());
        ::unlink(plain.c_str());
        return 0;
    }
    fz::check(sameFiles(fz::readImage(image, fz::Pass::extract), fz::readImage(plain, fz::Pass::extract)),
              "x64-as-disk", "the X64 image reads otherwise than its disk");

    fz::writeFile(fz::path("src/zz fuzz add.prg"), fz::Bytes(300, 7));
    const int plainResult = fz::packFiles(plain, fz::path("src"), {"zz fuzz add.prg"});
    const int x64Result = fz::packFiles(image, fz::path("src"), {"zz fuzz add.prg"});
    fz::check(plainResult == x64Result, "x64-pack", "PackFiles gave " + std::to_string(x64Result) + " on the X64, " +
                                                        std::to_string(plainResult) + " on its disk");
    const fz::Bytes after = fz::readFile(image);
    fz::check(after.size() == x64.size() && std::equal(x64.begin(), x64.begin() + 64, after.begin()) &&
                  fz::Bytes(after.begin() + 64, after.end()) == fz::readFile(plain),
              "x64-pack", "the X64 body differs from its disk after PackFiles, or its header changed");
    ::unlink(image.c_str());
    ::unlink(plain.c_str());
    return 0;
}
