// D81 images with a 1581 sub-disk (a folder) beside a file, patched or whole.
// Every call ends, the image keeps its size, packed files read back whole
// (fuzz_support.h, runCmdInput).
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("subdisk");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fz::runCmdInput(fz::CmdKind::subDisk, data, size);
    return 0;
}
