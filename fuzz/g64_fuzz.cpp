// G64 and G71 images, taken as they come: opened, listed, every listed file
// extracted and tested against the D64 or D71 model the tracks decode into;
// then the first listed file deleted, which either leaves the file as it was
// or writes a file of the same size in which no block that read well reads
// badly.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/results.h"
#include "fuzz/fuzz_support.h"
#include "image/g64.h"
#include "image/image.h"

namespace {

struct Model {
    int result = 0;
    fz::Bytes bytes;
    std::vector<std::uint8_t> errors;  // per block, kErrorOk when it reads well
};

Model decode(const fz::Bytes& file, std::int32_t type) {
    Model model;
    ImageInfo info;
    info.imageType = type;
    info.imageData.reset(static_cast<std::uint8_t*>(std::malloc(file.size() + 1)));
    if (!file.empty()) std::memcpy(info.imageData.get(), file.data(), file.size());
    info.imageSize = static_cast<std::int32_t>(file.size());
    model.result = decodeG64Image(info);
    if (model.result != 0) return model;
    model.bytes.assign(info.imageData.get(), info.imageData.get() + info.imageSize);
    checkImageSize(info);
    const int blocks = diskLayout(type, info.trackCount)->blockCount;
    for (int b = 0; b < blocks; ++b) model.errors.push_back(info.hasErrorInfo ? info.errorInfo[b] : kErrorOk);
    return model;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("g64");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A file whose content is another kind (a tape, PC64 or X64 signature, a
    // Lynx loader, a disk's size) opens as that kind whatever its name says;
    // the targets of those kinds cover it.
    const DetectedType kind = detectContent(data, size < kDetectHeadSize ? size : kDetectHeadSize, size);
    if (kind.type != kTypeNone && kind.container != kContainerG64) return 0;
    // A G71 by its signature; anything else the name makes a G64.
    const std::int32_t type = kind.type == kTypeD71 ? kTypeD71 : kTypeD64;
    const fz::Bytes file(data, data + size);
    const std::string image = fz::path("img/image.g64");
    fz::writeFile(image, file);
    const Model before = decode(file, type);
    fz::Contents listed;
    if (before.result == 0) {
        listed = fz::exerciseReader(image, before.bytes, type, &file);
    } else {
        listed = fz::readImage(image, fz::Pass::list);
        // An empty file is refused before its content is looked at.
        fz::check(listed.openResult == (size == 0 ? E_BAD_DATA : before.result), "g64-open",
                  "the file decodes with " + std::to_string(before.result) + ", OpenArchive gave " +
                      std::to_string(listed.openResult));
    }
    if (listed.files.empty()) {
        ::unlink(image.c_str());
        return 0;
    }
    const int rc = fz::deleteFiles(image, {listed.files[0].name});
    const fz::Bytes written = fz::readFile(image);
    const std::string what = "DeleteFiles of <" + listed.files[0].name + "> gave " + std::to_string(rc);
    if (rc != 0 || written == file) {
        fz::check(written == file, "g64-failed-changed", what + " and changed the file");
        ::unlink(image.c_str());
        return 0;
    }
    fz::check(written.size() == file.size(), "g64-size", what + " and changed the file's size");
    const Model after = decode(written, type);
    fz::check(after.result == 0 && after.errors.size() == before.errors.size(), "g64-unreadable",
              what + " and wrote a G64 that decodes with " + std::to_string(after.result));
    for (std::size_t b = 0; b < before.errors.size() && b < after.errors.size(); ++b)
        fz::check(before.errors[b] != kErrorOk || after.errors[b] == kErrorOk, "g64-block-lost",
                  what + "; block " + std::to_string(b) + " read well before, now gives " +
                      std::to_string(after.errors[b]));
    ::unlink(image.c_str());
    return 0;
}
