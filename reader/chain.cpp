// A file's block chain, followed the one way extraction, testing and the
// listing's sizes all follow it, so that what is listed is what comes out.
#include "core/log.h"
#include "image/image.h"
#include "reader/reader.h"

ChainWalk followFileChain(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint16_t blockCount,
                          ChainDataFn onData, void* context) {
    BlockSet visits;
    return followFileChain(info, track, sector, blockCount, onData, context, visits);
}

ChainWalk followFileChain(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint16_t blockCount,
                          ChainDataFn onData, void* context, BlockSet& visits) {
    ChainWalk walk;
    // An empty file as older versions stored it (0 blocks at track 0) owns
    // no block at all; today's take one block holding no byte.
    if (track == 0 && blockCount == 0) return walk;
    for (;;) {
        // Read where it lies: the walk only reads the block.
        std::uint8_t* block = nullptr;
        walk.track = track;
        walk.sector = sector;
        if (const int error = GetDiskSectorAddr(info, track, sector, &block); error != 0) {
            walk.outcome = ChainWalk::kUnreadable;
            walk.error = error;
            return walk;
        }
        if (!visits.insert(info, track, sector)) {
            walk.outcome = ChainWalk::kCircular;
            return walk;
        }
        // Byte 1 of the last block indexes its last used byte; below 2 it
        // holds no data.
        const std::size_t n = block[0] != 0 ? 254u : (block[1] >= 2 ? block[1] - 1u : 0u);
        ++walk.blocks;
        walk.bytes += static_cast<std::uint32_t>(n);
        if (onData && !onData(context, block + 2, n)) {
            walk.outcome = ChainWalk::kStopped;
            return walk;
        }
        if (block[0] == 0) return walk;
        track = block[0];
        sector = block[1];
    }
}
