// Writing speed, one export call per iteration, write-back included:
//  - PackFiles of 144 files of 1,000 bytes into a new D64 (every directory
//    entry; 1,024-byte files would need 720 blocks of the 664 a D64 has),
//  - PackFiles of 100 files of 10 KiB into a new D82 (4,100 of 4,133 blocks),
//  - DeleteFiles of those 100 files in one call.
//  - PackFiles of 10 files of 3,000 bytes into a D81 that holds 40 files,
//    against the floor (bench/floor.c) doing the same reads and write-back.
// Argument 0 works in /dev/shm (memory), 1 in /tmp (the disk, with fsync).
#include <benchmark/benchmark.h>

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

std::string scratch[2];

void writeFile(const std::string& path, const std::vector<unsigned char>& data) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::vector<unsigned char> data;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) std::abort();
    unsigned char buffer[65536];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, f)) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return data;
}

std::vector<unsigned char> pattern(std::size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i * 31 + seed * 7) & 0xFF);
    return data;
}

// Source files name0.prg ... in dir; returns the zero-separated list.
std::vector<char> makeSources(const std::string& dir, const char* prefix, int count, std::size_t size) {
    std::vector<char> list;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix + std::to_string(i) + ".prg";
        writeFile(dir + "/" + name, pattern(size, static_cast<unsigned>(i)));
        list.insert(list.end(), name.begin(), name.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

std::vector<char> small144, large100, ten;

void prepare() {
    if (!scratch[0].empty()) return;
    char shm[] = "/dev/shm/ombrix-bench-XXXXXX";
    char tmp[] = "/tmp/ombrix-bench-XXXXXX";
    char* made = mkdtemp(shm);
    scratch[1] = mkdtemp(tmp);
    scratch[0] = made ? made : scratch[1];
    std::atexit([] {
        for (const std::string& dir : scratch) std::system(("rm -rf '" + dir + "'").c_str());
    });
    for (const std::string& dir : scratch) {
        mkdir((dir + "/settings").c_str(), 0755);
        mkdir((dir + "/src").c_str(), 0755);
        small144 = makeSources(dir + "/src", "small", 144, 1000);
        large100 = makeSources(dir + "/src", "large", 100, 10240);
        ten = makeSources(dir + "/src", "ten", 10, 3000);
    }
    const std::string ini = "[common]\nlogLevel=0\n";
    writeFile(scratch[0] + "/settings/ombrix.ini", std::vector<unsigned char>(ini.begin(), ini.end()));
    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    std::snprintf(dps.DefaultIniName, sizeof dps.DefaultIniName, "%s/settings/wcx.ini", scratch[0].c_str());
    PackSetDefaultParams(&dps);
}

int pack(const std::string& dir, const std::string& imageName, std::vector<char>& list) {
    std::string image = dir + "/" + imageName;
    std::string src = dir + "/src/";
    return PackFiles(image.data(), nullptr, src.data(), list.data(), 0);
}

void BM_Pack144FilesNewD64(benchmark::State& state) {
    prepare();
    const std::string& dir = scratch[state.range(0)];
    const std::string image = dir + "/small.d64";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(image.c_str());
        state.ResumeTiming();
        if (pack(dir, "small.d64", small144) != 0) state.SkipWithError("PackFiles failed");
    }
}
BENCHMARK(BM_Pack144FilesNewD64)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Pack100FilesNewD82(benchmark::State& state) {
    prepare();
    const std::string& dir = scratch[state.range(0)];
    const std::string image = dir + "/large.d82";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(image.c_str());
        state.ResumeTiming();
        if (pack(dir, "large.d82", large100) != 0) state.SkipWithError("PackFiles failed");
    }
}
BENCHMARK(BM_Pack100FilesNewD82)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Delete100FilesD82(benchmark::State& state) {
    prepare();
    const std::string& dir = scratch[state.range(0)];
    std::string image = dir + "/full.d82";
    unlink(image.c_str());
    if (pack(dir, "full.d82", large100) != 0) std::abort();
    const std::vector<unsigned char> full = readFile(image);
    for (auto _ : state) {
        state.PauseTiming();
        writeFile(image, full);
        state.ResumeTiming();
        if (DeleteFiles(image.data(), large100.data()) != 0) state.SkipWithError("DeleteFiles failed");
    }
    // Every file must really be gone: the listing ends at once.
    tOpenArchiveData open {};
    open.ArcName = image.data();
    HANDLE handle = OpenArchive(&open);
    tHeaderData header {};
    if (!handle || ReadHeader(handle, &header) != E_END_ARCHIVE) state.SkipWithError("files left after DeleteFiles");
    if (handle) CloseArchive(handle);
}
BENCHMARK(BM_Delete100FilesD82)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A D81 of 40 files (of the 144 small ones), made once per folder.
const std::vector<unsigned char>& baseD81(const std::string& dir) {
    static std::vector<unsigned char> base[2];
    auto& b = base[dir == scratch[0] ? 0 : 1];
    if (b.empty()) {
        std::vector<char> forty;
        for (int i = 0; i < 40; ++i) {
            const std::string name = "small" + std::to_string(i) + ".prg";
            forty.insert(forty.end(), name.begin(), name.end());
            forty.push_back(0);
        }
        forty.push_back(0);
        unlink((dir + "/base.d81").c_str());
        if (pack(dir, "base.d81", forty) != 0) std::abort();
        b = readFile(dir + "/base.d81");
    }
    return b;
}

void BM_Pack10FilesIntoD81(benchmark::State& state) {
    prepare();
    const std::string& dir = scratch[state.range(0)];
    const std::vector<unsigned char>& base = baseD81(dir);
    for (auto _ : state) {
        state.PauseTiming();
        writeFile(dir + "/ten.d81", base);
        state.ResumeTiming();
        if (pack(dir, "ten.d81", ten) != 0) state.SkipWithError("PackFiles failed");
    }
}
BENCHMARK(BM_Pack10FilesIntoD81)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_FloorPack10FilesIntoD81(benchmark::State& state) {
    prepare();
    const std::string& dir = scratch[state.range(0)];
    const std::vector<unsigned char>& base = baseD81(dir);
    std::vector<std::string> paths;
    for (int i = 0; i < 10; ++i) paths.push_back(dir + "/src/ten" + std::to_string(i) + ".prg");
    std::vector<const char*> sources;
    for (const std::string& p : paths) sources.push_back(p.c_str());
    const std::string image = dir + "/floor.d81";
    for (auto _ : state) {
        state.PauseTiming();
        writeFile(image, base);
        state.ResumeTiming();
        if (floorAdd(image.c_str(), sources.data(), 10, 1) != 0) state.SkipWithError("floor add failed");
    }
}
BENCHMARK(BM_FloorPack10FilesIntoD81)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
