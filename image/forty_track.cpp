// Forty-track D64 layouts: SpeedDOS keeps the entries of tracks 36-40 at bytes
// 192-211 of 18/0, DolphinDOS at 172-191. The image does not say which DOS
// wrote it, so the layout is read from which area is in use.
#include "core/log.h"
#include "image/image.h"

namespace {
bool areaInUse(const std::uint8_t* block, int first) {
    for (int i = first; i < first + 20; ++i)
        if (block[i] != 0) return true;
    return false;
}
}  // namespace

int checkD64Valid40Track(ImageInfo& info) {
    info.fortyTrackType = 1;
    logMessage(kLogTrace, "checkD64Valid40Track: assuming D64 40 track r/o format");
    std::uint8_t* block = nullptr;
    if (GetDiskSectorAddr(info, info.headerTrack, info.headerSector, &block) != 0) {
        logMessage(kLogError, "checkD64Valid40Track: bad GetDiskSectorAddr call (%d:%d)\n", info.headerTrack,
                   info.headerSector);
        return 0;
    }
    const bool dolphin = areaInUse(block, 172);
    if (dolphin) logMessage(kLogTrace, "checkD64Valid40Track: Dolphin = true");
    const bool speed = areaInUse(block, 192);
    if (speed) logMessage(kLogTrace, "checkD64Valid40Track: Speed = true");
    if (dolphin == speed) return 0;
    info.fortyTrackType = dolphin ? 3 : 2;
    return 1;
}
