// Helpers for the writer's test programs: new images built in-process, and
// direct access to their blocks.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "core/settings.h"
#include "image/image.h"
#include "tests/test_support.h"
#include "writer/writer.h"

namespace wt {

// Default settings, every log category on, error bytes honoured.
inline void resetSettings() {
    setNewImageDefaults();
    NewImageSettings.fortyTrackType = 0;
    dirTrackFallback = 0;
    ignoreErrorTable = 0;
    logMask = 15;
}

// A new image as PackFiles makes it, with the current NewImageSettings.
inline std::unique_ptr<ImageInfo> newImage(int type) {
    auto info = newImageInfo();
    info->imageType = type;
    allocDiskImage(*info);
    setDiskInitValues(*info);
    checkImageSize(*info);
    initDiskImage(*info);
    if (type == kTypeD64 && info->trackCount == 40) checkD64Valid40Track(*info);
    return info;
}

inline std::uint8_t* blockOf(const ImageInfo& info, int track, int sector) {
    std::uint8_t* b = nullptr;
    if (GetDiskSectorAddr(info, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(sector), &b) != 0)
        return nullptr;
    return b;
}

inline ts::Bytes bytesOf(const ImageInfo& info) {
    return ts::Bytes(info.imageData.get(), info.imageData.get() + info.imageSize);
}

using Block = std::pair<int, int>;

// Allocates like PackFiles: each block chosen, then marked used.
inline std::vector<Block> allocate(ImageInfo& info, int count, bool fromTrack1 = false, Block previous = {0, 0}) {
    std::vector<Block> blocks;
    const auto interleave = getInterleave(info, kPurposeFiles);
    const auto limit = static_cast<std::uint8_t>(info.trackCount + 1);
    for (int i = 0; i < count; ++i) {
        std::uint8_t t = 0, s = 0;
        const auto choose = fromTrack1 ? GetCopyBlockT1 : GetCopyBlock;
        if (!choose(info, 1, limit, limit, info.dirTrack, info.bamTrack2, interleave,
                    static_cast<std::uint8_t>(previous.first), static_cast<std::uint8_t>(previous.second), &t, &s))
            break;
        markSectorUsed(info, t, s);
        previous = {t, s};
        blocks.push_back(previous);
    }
    return blocks;
}

inline std::string describe(const std::vector<Block>& blocks) {
    std::string text;
    for (const Block& b : blocks) text += std::to_string(b.first) + "/" + std::to_string(b.second) + " ";
    return text;
}

// Marks every sector of the track used.
inline void fillTrack(ImageInfo& info, int track) {
    const auto t = static_cast<std::uint8_t>(track);
    for (std::uint8_t s = 0; s < getTrackSectorCount(info, t); ++s)
        if (IsSectorFree(info, t, s)) markSectorUsed(info, t, s);
}

}  // namespace wt
