// Forty-track D64 layouts: SpeedDOS keeps the entries of tracks 36-40 at bytes
// 192-211 of 18/0, DolphinDOS at 172-191. The image does not say which DOS
// wrote it, so the layout is read from which area is in use.
//
// A 42-track image (VICE extends an image to 42 tracks when a drive writes
// that far) has entries for tracks 41 and 42 only where the SpeedDOS run goes
// on at bytes 212-219, as VICE's own drive keeps them (so the whole run,
// 192-219, tells SpeedDOS). DolphinDOS has no place for them (its run ends
// where SpeedDOS's begins), and neither has a 35-track BAM. Such an image is
// read whole, and written only when 212-219 hold two entries a drive could
// have written.
#include "core/log.h"
#include "image/image.h"

namespace {
constexpr int kDolphinArea = 172, kSpeedArea = 192;
constexpr int kSpeedTrack41 = kSpeedArea + 4 * 5;
constexpr int kLastForty = 40;

bool areaInUse(const std::uint8_t* block, int first, int length) {
    for (int i = first; i < first + length; ++i)
        if (block[i] != 0) return true;
    return false;
}

// A count and three bitmap bytes of a 17-sector track: no bit past sector
// 16, and the count the bits give (0 0 0 0 is a full track).
bool plausibleEntry(const std::uint8_t* entry) {
    if (entry[3] & 0xFE) return false;
    int free = 0;
    for (int i = 1; i <= 3; ++i)
        for (int b = 0; b < 8; ++b) free += (entry[i] >> b) & 1;
    return entry[0] == free;
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
    const bool dolphin = areaInUse(block, kDolphinArea, 4 * 5);
    if (dolphin) logMessage(kLogTrace, "checkD64Valid40Track: Dolphin = true");
    // SpeedDOS's run is as long as the image's tracks past 35.
    const bool speed = areaInUse(block, kSpeedArea, 4 * (info.trackCount - kStandardD64Tracks));
    if (speed) logMessage(kLogTrace, "checkD64Valid40Track: Speed = true");
    if (dolphin == speed) return 0;
    if (info.trackCount > kLastForty) {
        bool described = speed;
        for (int t = kLastForty + 1; t <= info.trackCount && described; ++t)
            described = plausibleEntry(block + kSpeedTrack41 + 4 * (t - kLastForty - 1));
        if (!described) {
            logMessage(kLogWarning, "checkD64Valid40Track: no BAM entries for tracks 41-%d\n", info.trackCount);
            return 0;
        }
    }
    info.fortyTrackType = dolphin ? 3 : 2;
    return 1;
}
