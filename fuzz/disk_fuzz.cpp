// Disk images of every format (the first input byte picks it): opened,
// listed, every listed file extracted and tested as a file manager does,
// each compared with what its own chain holds.
#include <unistd.h>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("disk");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fz::DiskInput in = fz::decodeDiskInput(data, size);
    if (in.skip) return 0;
    const std::string image = fz::path("img/image.") + in.variant->ext;
    fz::writeFile(image, in.image);
    fz::exerciseReader(image, in.image, in.variant->type);
    ::unlink(image.c_str());
    return 0;
}
