// Block allocation: the choice of each block of a file (and of a new
// directory block), knowing only the block chosen before it. The allocator
// only reads the BAM; the caller marks each block used before asking for the
// next one.
#include "core/log.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "writer/writer.h"

namespace {

struct FormatGroup {
    std::int32_t imageType;
    int group;
};
constexpr FormatGroup kFormatGroups[] = {
    {kTypeD64, kGroupD64}, {kTypeD71, kGroupD64}, {kTypeD80, kGroupD80}, {kTypeD82, kGroupD80}, {kTypeD81, kGroupD81},
    {kTypeDNP, kGroupD81},
};

// Tracks travel as unsigned bytes; the search computes in int so that moving
// below track 0 or above 255 ends a side instead of wrapping around.
bool trackFree(const ImageInfo& info, int track) {
    return track >= 1 && track <= 255 && IsTrackFree(info, static_cast<std::uint8_t>(track)) != 0;
}

// The sector step: s plus the interleave, wrapped (each wrap past sector 0
// loses one more sector), then the first free sector from there on, once
// round the track.
bool sectorStep(const ImageInfo& info, int track, int fromSector, int interleave, int* found) {
    const int n = getTrackSectorCount(info, static_cast<std::uint8_t>(track));
    if (n == 0) return false;
    int s = fromSector + interleave;
    while (s >= n) {
        s -= n;
        if (s != 0) --s;
    }
    const int reserved = reservedSectors(info, static_cast<std::uint8_t>(track));
    for (int i = 0; i < n; ++i) {
        const int candidate = (s + i) % n;
        if (candidate < reserved) continue;
        if (IsSectorFree(info, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(candidate))) {
            *found = candidate;
            return true;
        }
    }
    return false;
}

// A track whose count says free while its bitmap has no free sector counts
// as full, so the search moves on.
bool tryTrack(const ImageInfo& info, const BlockCursorRecord& c, int track, int fromSector, int* found) {
    return trackFree(info, track) && sectorStep(info, track, fromSector, c.interleave, found);
}

bool firstFreeSector(const ImageInfo& info, int track, int* found) {
    const int n = getTrackSectorCount(info, static_cast<std::uint8_t>(track));
    for (int s = reservedSectors(info, static_cast<std::uint8_t>(track)); s < n; ++s)
        if (IsSectorFree(info, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(s))) {
            *found = s;
            return true;
        }
    return false;
}

void leavePosition(BlockCursorRecord& c, int track, int sector) {
    c.track = static_cast<std::uint8_t>(track);
    c.sector = static_cast<std::uint8_t>(sector);
}

// First block of a file: the free track nearest the directory track, the
// lower one first at equal distance, then its first free sector.
bool firstBlockSearch(const ImageInfo& info, BlockCursorRecord& c) {
    const int dir = c.dirTrack;
    for (int d = 1; d <= 255; ++d) {
        const int candidates[2] = {dir - d, dir + d};
        for (int k = 0; k < 2; ++k) {
            const int t = candidates[k];
            if (t >= c.trackLimit || t < 1 || t > 255) continue;
            if (k == 0 && t < c.lowestTrack) continue;
            int s = 0;
            if (trackFree(info, t) && firstFreeSector(info, t, &s)) {
                leavePosition(c, t, s);
                return true;
            }
        }
    }
    int s = 0;
    if (directoryTrackFallback() && trackFree(info, dir) && firstFreeSector(info, dir, &s)) {
        leavePosition(c, dir, s);
        return true;
    }
    return false;
}

// Next block: stay on the track, then move away from the directory track,
// jump to its other side at the end of the disk, and so on; three passes
// cover every track at least once.
bool nextBlockStep(const ImageInfo& info, BlockCursorRecord& c) {
    int t = c.track;
    int s = c.sector;
    if (t == 0 || t >= c.prevLimit) return false;
    const int dir = c.dirTrack;
    int passes = 3;
    // Each side is left after at most 256 tracks and every jump uses up a
    // pass; the explicit bound only backs that up.
    for (int steps = 0; passes > 0 && steps < 4 * 256 + 8; ++steps) {
        int found = 0;
        if (tryTrack(info, c, t, s, &found)) {
            leavePosition(c, t, found);
            return true;
        }
        if (t == dir) {
            passes = 0;
        } else if (t < dir) {
            --t;
            if (t < c.lowestTrack) {
                t = dir + 1;
                s = 0;
                passes = t < c.trackLimit ? passes - 1 : 0;
            }
        } else {
            ++t;
            if (t == c.skipTrack) ++t;
            if (t >= c.trackLimit) {
                t = dir - 1;
                s = 0;
                passes = t >= c.lowestTrack ? passes - 1 : 0;
            }
        }
        if (passes == 0 && t != dir && directoryTrackFallback()) {
            t = dir;
            passes = 1;
        }
    }
    leavePosition(c, t, s);
    return false;
}

// GetCopyBlockT1's step: strictly upward from the previous block, passing
// over the directory track and the skip track; the directory track only as
// the fallback after the highest track.
bool upwardStep(const ImageInfo& info, BlockCursorRecord& c) {
    int t = c.track;
    const int s = c.sector;
    if (t == 0 || t >= c.prevLimit) return false;
    const int dir = c.dirTrack;
    int passes = 3;
    for (int steps = 0; passes > 0 && steps < 2 * 256 + 8; ++steps) {
        int found = 0;
        if (tryTrack(info, c, t, s, &found)) {
            leavePosition(c, t, found);
            return true;
        }
        if (t == dir) {
            passes = 0;
        } else {
            ++t;
            while (t == dir || t == c.skipTrack) ++t;
            if (t >= c.trackLimit) passes = 0;
        }
        if (passes == 0 && t != dir && directoryTrackFallback()) {
            t = dir;
            passes = 1;
        }
    }
    leavePosition(c, t, s);
    return false;
}

}  // namespace

std::uint8_t getInterleave(const ImageInfo& info, int purpose) {
    // The table has three purposes; anything else must not read past it.
    if (purpose < kPurposeBam || purpose > kPurposeFiles) {
        logMessage(kLogWarning, "getInterleave: warning - returning 1 for unknown purpose <%d>", purpose);
        return 1;
    }
    for (const FormatGroup& row : kFormatGroups)
        if (row.imageType == info.imageType) return newImageSettings().interleave[row.group][purpose];
    logMessage(kLogWarning, "getInterleave: warning - returning 1 for unknown type <%d>", info.imageType);
    return 1;
}

std::uint8_t GetCopyBlock(const ImageInfo& info, std::uint8_t lowestTrack, int trackLimit, int prevLimit, std::uint8_t dirTrack, std::uint8_t skipTrack,
                          std::uint8_t interleave, std::uint8_t prevTrack, std::uint8_t prevSector,
                          std::uint8_t* outTrack, std::uint8_t* outSector) {
    // The cursor lives in the call: calls on other threads have their own.
    BlockCursorRecord c {lowestTrack, trackLimit, prevLimit, dirTrack, skipTrack, interleave, prevTrack, prevSector};
    const bool found = prevTrack == 0 ? firstBlockSearch(info, c) : nextBlockStep(info, c);
    if (found) {
        *outTrack = c.track;
        *outSector = c.sector;
    }
    const std::uint8_t result = found ? 1 : 0;
    logMessage(kLogTrace, "GetCopyBlock: returning ret=%d, track=%d, sector=%d\n", result, c.track, c.sector);
    return result;
}

std::uint8_t GetCopyBlockT1(const ImageInfo& info, std::uint8_t lowestTrack, int trackLimit, int prevLimit, std::uint8_t dirTrack, std::uint8_t skipTrack,
                            std::uint8_t interleave, std::uint8_t prevTrack, std::uint8_t prevSector,
                            std::uint8_t* outTrack, std::uint8_t* outSector) {
    BlockCursorRecord c {lowestTrack, trackLimit, prevLimit, dirTrack, skipTrack, interleave, prevTrack, prevSector};
    if (prevTrack == 0) {
        // Every file starts its search at 1/0, whatever lowestTrack says.
        c.track = 1;
        c.sector = 0;
    }
    const bool found = upwardStep(info, c);
    if (found) {
        *outTrack = c.track;
        *outSector = c.sector;
    }
    const std::uint8_t result = found ? 1 : 0;
    logMessage(kLogTrace, "GetCopyBlockT1: returning ret=%d, track=%d, sector=%d\n", result, c.track, c.sector);
    return result;
}
