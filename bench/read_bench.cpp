// Reading speed: open + list, and open + list + extract of every file, of a
// full D81 (296 files, every directory entry in use).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/floor.h"
#include "plugin/exports.h"

namespace {

std::string scratch;  // on tmpfs when available
std::string image;

void writeFile(const std::string& path, std::size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i * 31 + seed * 7) & 0xFF);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

void prepare() {
    if (!image.empty()) return;
    char pattern[] = "/dev/shm/ombrix-bench-XXXXXX";
    char fallback[] = "/tmp/ombrix-bench-XXXXXX";
    char* made = mkdtemp(pattern);
    if (!made) made = mkdtemp(fallback);
    scratch = made;
    std::atexit([] { std::system(("rm -rf '" + scratch + "'").c_str()); });
    mkdir((scratch + "/settings").c_str(), 0755);
    mkdir((scratch + "/src").c_str(), 0755);
    mkdir((scratch + "/out").c_str(), 0755);
    std::FILE* ini = std::fopen((scratch + "/settings/ombrix.ini").c_str(), "w");
    std::fputs("[common]\nlogLevel=0\n", ini);
    std::fclose(ini);
    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    std::snprintf(dps.DefaultIniName, sizeof dps.DefaultIniName, "%s/settings/wcx.ini", scratch.c_str());
    PackSetDefaultParams(&dps);

    std::vector<char> list;
    for (int i = 0; i < 296; ++i) {
        std::string name = "file" + std::to_string(i) + ".prg";
        writeFile(scratch + "/src/" + name, 254 * static_cast<std::size_t>(1 + i % 10) - 100, static_cast<unsigned>(i));
        list.insert(list.end(), name.begin(), name.end());
        list.push_back(0);
    }
    list.push_back(0);
    image = scratch + "/full.d81";
    std::string src = scratch + "/src/";
    if (PackFiles(image.data(), nullptr, src.data(), list.data(), 0) != 0) std::abort();
}

int listAll(bool extract) {
    tOpenArchiveData data {};
    data.ArcName = image.data();
    HANDLE h = OpenArchive(&data);
    int files = 0;
    tHeaderData header;
    std::string target;
    while (ReadHeader(h, &header) == 0) {
        ++files;
        if (extract) {
            target = scratch + "/out/" + header.FileName;
            ProcessFile(h, PK_EXTRACT, nullptr, target.data());
        } else {
            ProcessFile(h, PK_SKIP, nullptr, nullptr);
        }
    }
    CloseArchive(h);
    return files;
}

void BM_OpenAndListFullD81(benchmark::State& state) {
    prepare();
    for (auto _ : state) benchmark::DoNotOptimize(listAll(false));
}
BENCHMARK(BM_OpenAndListFullD81)->Unit(benchmark::kMicrosecond);

void BM_OpenListAndExtractFullD81(benchmark::State& state) {
    prepare();
    for (auto _ : state) benchmark::DoNotOptimize(listAll(true));
}
BENCHMARK(BM_OpenListAndExtractFullD81)->Unit(benchmark::kMillisecond);

// The same work at the floor (bench/floor.c): the image read whole, one
// line per entry written, every file written.
void BM_FloorListFullD81(benchmark::State& state) {
    prepare();
    const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (auto _ : state)
        if (floorList(image.c_str(), out) != 0) state.SkipWithError("floor list failed");
    close(out);
}
BENCHMARK(BM_FloorListFullD81)->Unit(benchmark::kMicrosecond);

void BM_FloorExtractFullD81(benchmark::State& state) {
    prepare();
    const std::string out = scratch + "/out";
    for (auto _ : state)
        if (floorExtract(image.c_str(), out.c_str()) != 0) state.SkipWithError("floor extract failed");
}
BENCHMARK(BM_FloorExtractFullD81)->Unit(benchmark::kMillisecond);

}  // namespace
