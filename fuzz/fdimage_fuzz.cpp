// CMD FD images (D1M): a native partition, a 1541 disk and a print buffer
// in the partition table, patched or whole.
// Every call ends, the image keeps its size, packed files read back whole
// (fuzz_support.h, runCmdInput).
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("fdimage");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fz::runCmdInput(fz::CmdKind::fd, data, size);
    return 0;
}
