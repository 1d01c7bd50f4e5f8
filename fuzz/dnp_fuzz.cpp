// DNP files: a native partition with subdirectories two deep, patched or whole.
// Every call ends, the image keeps its size, packed files read back whole
// (fuzz_support.h, runCmdInput).
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("dnp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fz::runCmdInput(fz::CmdKind::dnp, data, size);
    return 0;
}
