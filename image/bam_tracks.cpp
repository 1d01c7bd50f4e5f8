// The tracks each BAM block of a D80 or D82 states it covers.
#include <cstring>

#include "core/log.h"
#include "image/image.h"

// A drive writes the BAM blocks of a D80/D82 as one run: the first covers
// track 1, each next one goes on where the one before ended, none covers more
// than its entries hold, and the run ends where the disk's tracks end (an
// 8050 disk in an 8250 drive ends at track 77). A block after the run that
// does not go on from it is a leftover of an earlier format of the disk and
// not part of its BAM. Any other ranges were not written by a drive (a
// damaged or forged block): the fixed positions every drive uses are then the
// better guess, and the writer's block claims still keep files from being
// handed out.
void readStatedBamTracks(ImageInfo& info) {
    std::memset(info.bamFirstTrack, 0, sizeof info.bamFirstTrack);
    std::memset(info.bamEndTrack, 0, sizeof info.bamEndTrack);
    const FormatLayout* layout = formatLayout(info.imageType);
    if (!layout || layout->bamBlockTracks == 0) return;
    std::uint8_t first[4] = {}, end[4] = {};
    int blocks = 0;
    int next = 1;
    bool plausible = true;
    for (int k = 0; k < layout->bamBlockCount && k < 4 && next <= info.trackCount; ++k) {
        const std::uint8_t* block = blockBytes(info, layout->bamTrack, layout->bamSector[k]);
        if (!block) {
            plausible = false;
            break;
        }
        const int f = block[kBamFirstTrack], e = block[kBamEndTrack];
        if (k > 0 && f != next) break;
        if (f != next || e <= f || e - f > layout->bamBlockTracks || e > info.trackCount + 1) {
            plausible = false;
            break;
        }
        first[k] = static_cast<std::uint8_t>(f);
        end[k] = static_cast<std::uint8_t>(e);
        ++blocks;
        next = e;
    }
    if (!plausible || (next != info.trackCount + 1 && (layout->narrowTracks == 0 || next != layout->narrowTracks + 1))) {
        logMessage(kLogWarning, "BAM blocks state tracks no drive writes -> fixed layout\n");
        return;
    }
    std::memcpy(info.bamFirstTrack, first, sizeof first);
    std::memcpy(info.bamEndTrack, end, sizeof end);
    info.bamBlockCount = static_cast<std::uint8_t>(blocks);
}
