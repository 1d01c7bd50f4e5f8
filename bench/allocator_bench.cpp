// Filling empty images block by block, as PackFiles does for one large file:
// every block chosen by GetCopyBlock (or GetCopyBlockT1) and marked used
// before the next is chosen. Each test addresses the BAM afresh, so this is
// the allocator's worst case: a D82 holds 4,133 data blocks.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "writer/writer.h"

namespace {

std::unique_ptr<ImageInfo> emptyImage(int type) {
    auto info = newImageInfo();
    info->imageType = type;
    allocDiskImage(*info);
    setDiskInitValues(*info);
    checkImageSize(*info);
    initDiskImage(*info);
    return info;
}

int fill(ImageInfo& info, bool fromTrack1) {
    const auto interleave = getInterleave(info, kPurposeFiles);
    const auto limit = static_cast<std::uint8_t>(info.trackCount + 1);
    std::uint8_t t = 0, s = 0;
    int blocks = 0;
    for (;;) {
        std::uint8_t nt = 0, ns = 0;
        const auto choose = fromTrack1 ? GetCopyBlockT1 : GetCopyBlock;
        if (!choose(info, 1, limit, limit, info.dirTrack, info.bamTrack2, interleave, t, s, &nt, &ns)) break;
        markSectorUsed(info, nt, ns);
        t = nt;
        s = ns;
        ++blocks;
    }
    return blocks;
}

void fillImage(benchmark::State& state, int type, bool fromTrack1) {
    setNewImageDefaults();
    logMask = 3;
    auto fresh = emptyImage(type);
    auto info = emptyImage(type);
    int blocks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(info->imageData.get(), fresh->imageData.get(), static_cast<std::size_t>(fresh->imageSize));
        state.ResumeTiming();
        blocks = fill(*info, fromTrack1);
        benchmark::DoNotOptimize(blocks);
    }
    state.counters["blocks"] = blocks;
}

void BM_FillD64(benchmark::State& state) { fillImage(state, kTypeD64, false); }
void BM_FillD64FromTrack1(benchmark::State& state) { fillImage(state, kTypeD64, true); }
void BM_FillD81(benchmark::State& state) { fillImage(state, kTypeD81, false); }
void BM_FillD82(benchmark::State& state) { fillImage(state, kTypeD82, false); }
void BM_FillD82FromTrack1(benchmark::State& state) { fillImage(state, kTypeD82, true); }

void BM_NewD82(benchmark::State& state) {
    setNewImageDefaults();
    for (auto _ : state) {
        auto info = emptyImage(kTypeD82);
        benchmark::DoNotOptimize(info->imageData.get());
    }
}

}  // namespace

BENCHMARK(BM_FillD64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillD64FromTrack1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillD81)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillD82)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillD82FromTrack1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewD82)->Unit(benchmark::kMillisecond);
