#include "tests/test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "image/image.h"

namespace ts {

TempDir::TempDir(bool inMemory) {
    // Tests that write many images go to memory, where flushing costs nothing.
    std::string pattern = std::string(inMemory && exists("/dev/shm") ? "/dev/shm" : "/tmp") + "/ombrix-test-XXXXXX";
    char* made = mkdtemp(pattern.data());
    path = made ? made : "/tmp";
}

TempDir::~TempDir() {
    if (path.find("/ombrix-test-") != std::string::npos) run("rm -rf " + shellQuote(path));
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void writeText(const std::string& path, const std::string& text) { writeFile(path, Bytes(text.begin(), text.end())); }

std::string sharedFile(const std::string& relative) {
    const char* env = std::getenv("OMBRIX_SHARED");
    for (const std::string& folder : {std::string(OMBRIX_SOURCE_DIR) + "/../shared", std::string(env ? env : ""),
                                      std::string("/work/shared")})
        if (!folder.empty() && exists(folder + "/" + relative)) return folder + "/" + relative;
    return "";
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string mkdirIn(const TempDir& dir, const std::string& name) {
    std::string path = dir / name;
    mkdir(path.c_str(), 0755);
    return path;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

Bytes randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

std::string host(const TempDir& dir) {
    return std::string(OMBRIX_HOST) + " --ini " + shellQuote(dir / "ini/wcx.ini") + " ";
}

int run(const std::string& command, std::string* output) {
    std::string cmd = command + " 2>&1";
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    std::string text;
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) text.append(buf, n);
    int status = pclose(p);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveTool(const std::string& name) { return run("command -v " + shellQuote(name) + " >/dev/null") == 0; }

void loadSettings(const TempDir& dir, const std::string& ini) {
    std::string folder = dir / "settings";
    mkdir(folder.c_str(), 0755);
    if (!ini.empty()) writeText(folder + "/ombrix.ini", ini);
    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    std::string name = folder + "/wcx.ini";
    std::strncpy(dps.DefaultIniName, name.c_str(), sizeof dps.DefaultIniName - 1);
    PackSetDefaultParams(&dps);
}

void loadDefaultSettings(const TempDir& dir) { loadSettings(dir, "[common]\nlogLevel=3\n"); }

Listing list(const std::string& image) {
    Listing result;
    std::vector<char> name(image.begin(), image.end());
    name.push_back(0);
    tOpenArchiveData data {};
    data.ArcName = name.data();
    data.OpenMode = PK_OM_LIST;
    HANDLE h = OpenArchive(&data);
    result.openResult = data.OpenResult;
    if (!h) return result;
    for (;;) {
        tHeaderData header {};
        int r = ReadHeader(h, &header);
        if (r != 0) {
            result.endResult = r;
            break;
        }
        result.files.push_back({header.FileName, header.PackSize, header.UnpSize, header.FileAttr});
        ProcessFile(h, PK_SKIP, nullptr, nullptr);
    }
    CloseArchive(h);
    return result;
}

std::vector<std::pair<std::string, int>> extractAll(const std::string& image, const std::string& dir, bool inDestPath) {
    std::vector<std::pair<std::string, int>> results;
    std::vector<char> name(image.begin(), image.end());
    name.push_back(0);
    tOpenArchiveData data {};
    data.ArcName = name.data();
    data.OpenMode = PK_OM_EXTRACT;
    HANDLE h = OpenArchive(&data);
    if (!h) return results;
    for (;;) {
        tHeaderData header {};
        if (ReadHeader(h, &header) != 0) break;
        std::string target = inDestPath ? header.FileName : dir + "/" + header.FileName, folder = dir;
        std::vector<char> dest(target.begin(), target.end());
        dest.push_back(0);
        results.emplace_back(header.FileName,
                             ProcessFile(h, PK_EXTRACT, inDestPath ? folder.data() : nullptr, dest.data()));
    }
    CloseArchive(h);
    return results;
}

LogCapture::LogCapture() {
    char pattern[] = "/tmp/ombrix-log-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    file = pattern;
    setenv("OMBRIX_LOG", file.c_str(), 1);
}

LogCapture::~LogCapture() {
    unsetenv("OMBRIX_LOG");
    std::remove(file.c_str());
}

std::string LogCapture::text() const {
    Bytes b = readFile(file);
    return std::string(b.begin(), b.end());
}

RawImage makeRawImage(int type, int tracks, bool errorBytes) {
    RawImage image;
    image.type = type;
    const FormatLayout* layout = diskLayout(type, tracks);
    image.tracks = layout->trackCount;
    image.errorBytes = errorBytes;
    image.data.assign(layout->size + (errorBytes ? layout->blockCount : 0), 0);
    return image;
}

int sectorsOf(const RawImage& image, int track) {
    return static_cast<int>(diskLayout(image.type, image.tracks)->geometry[track - 1].sectors);
}

int blockIndex(const RawImage& image, int track, int sector) {
    return static_cast<int>(diskLayout(image.type, image.tracks)->geometry[track - 1].offset / 256) + sector;
}

std::uint8_t* block(RawImage& image, int track, int sector) {
    return image.data.data() + 256 * static_cast<std::size_t>(blockIndex(image, track, sector));
}

void putEntry(RawImage& image, int track, int sector, int entry, std::uint8_t type, const std::string& petsciiName,
              int startTrack, int startSector, int blocks) {
    std::uint8_t* e = block(image, track, sector) + 32 * entry;
    e[2] = type;
    e[3] = static_cast<std::uint8_t>(startTrack);
    e[4] = static_cast<std::uint8_t>(startSector);
    std::memset(e + 5, 0xA0, 16);
    std::memcpy(e + 5, petsciiName.data(), petsciiName.size() < 16 ? petsciiName.size() : 16);
    e[30] = static_cast<std::uint8_t>(blocks & 0xFF);
    e[31] = static_cast<std::uint8_t>(blocks >> 8);
}

void putChain(RawImage& image, const std::vector<std::pair<int, int>>& blocks, const Bytes& data) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::uint8_t* b = block(image, blocks[i].first, blocks[i].second);
        std::size_t n = data.size() - pos < 254 ? data.size() - pos : 254;
        std::memcpy(b + 2, data.data() + pos, n);
        pos += n;
        if (i + 1 < blocks.size()) {
            b[0] = static_cast<std::uint8_t>(blocks[i + 1].first);
            b[1] = static_cast<std::uint8_t>(blocks[i + 1].second);
        } else {
            b[0] = 0;
            b[1] = static_cast<std::uint8_t>(n + 1);
        }
    }
}

void save(const RawImage& image, const std::string& path) { writeFile(path, image.data); }

Bytes convertFile(const std::string& petsciiName, std::uint8_t type, bool vlir, const std::vector<Bytes>& parts,
                  std::uint32_t seed) {
    Bytes header(254, 0), info = randomBytes(254, seed), table(254, 0), data;
    int blocks = 1;
    if (!vlir) {
        data = parts.at(0);
        blocks += static_cast<int>((data.size() + 253) / 254);
    } else {
        ++blocks;
        std::size_t last = 0;
        for (std::size_t r = 0; r < parts.size(); ++r)
            if (!parts[r].empty()) last = r;
        for (std::size_t r = 0; r < parts.size(); ++r) {
            const Bytes& record = parts[r];
            const std::size_t n = (record.size() + 253) / 254;
            table[2 * r] = static_cast<std::uint8_t>(n);
            table[2 * r + 1] = record.empty() ? 0xFF : static_cast<std::uint8_t>((record.size() - 1) % 254 + 2);
            blocks += static_cast<int>(n);
            data.insert(data.end(), record.begin(), record.end());
            if (r != last) data.resize(data.size() + n * 254 - record.size(), 0);
        }
    }
    header[0] = type;
    std::memset(header.data() + 3, 0xA0, 16);
    std::memcpy(header.data() + 3, petsciiName.data(), petsciiName.size() < 16 ? petsciiName.size() : 16);
    header[21] = vlir ? 1 : 0;
    header[22] = vlir ? 7 : 6;  // application data, application
    const std::uint8_t date[] = {88, 7, 14, 21, 35};
    std::memcpy(header.data() + 23, date, sizeof date);
    header[28] = static_cast<std::uint8_t>(blocks & 0xFF);
    header[29] = static_cast<std::uint8_t>(blocks >> 8);
    const char signature[] = "PRG formatted GEOS file V1.0";
    std::memcpy(header.data() + 30, signature, sizeof signature - 1);
    info[0] = 3;
    info[1] = 21;
    info[2] = 0xBF;
    info[0x42] = type;
    info[0x43] = header[22];
    info[0x44] = header[21];
    Bytes out = header;
    out.insert(out.end(), info.begin(), info.end());
    if (vlir) out.insert(out.end(), table.begin(), table.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes makeTape(std::uint16_t maxFiles, const std::vector<TapeSlot>& slots, std::size_t dataSize) {
    Bytes t(64 + 32 * maxFiles + dataSize, 0);
    std::memcpy(t.data(), "C64S tape image file", 20);
    t[32] = 0;
    t[33] = 1;
    t[34] = static_cast<std::uint8_t>(maxFiles);
    t[35] = static_cast<std::uint8_t>(maxFiles >> 8);
    t[36] = static_cast<std::uint8_t>(slots.size());
    std::memcpy(t.data() + 40, "TEST TAPE               ", 24);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::uint8_t* s = t.data() + 64 + 32 * i;
        const TapeSlot& slot = slots[i];
        s[0] = slot.entryType;
        s[1] = 0x82;
        s[2] = static_cast<std::uint8_t>(slot.start);
        s[3] = static_cast<std::uint8_t>(slot.start >> 8);
        s[4] = static_cast<std::uint8_t>(slot.end);
        s[5] = static_cast<std::uint8_t>(slot.end >> 8);
        for (int b = 0; b < 4; ++b) s[8 + b] = static_cast<std::uint8_t>(slot.pos >> (8 * b));
        std::memset(s + 16, slot.pad, 16);
        std::memcpy(s + 16, slot.name.data(), std::min<std::size_t>(16, slot.name.size()));
    }
    for (std::size_t i = 64 + 32 * maxFiles; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i * 7);
    return t;
}

namespace {

void putName(std::uint8_t* at, const std::string& name) {
    std::memset(at, 0xA0, 16);
    for (std::size_t i = 0; i < name.size() && i < 16; ++i) {
        const char c = name[i];
        at[i] = static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
    }
}

// Writes data as a chain over blocks handed out by next(); returns the first.
template <class Next, class Address>
std::pair<int, int> layChain(const Bytes& data, Next next, Address address) {
    const std::size_t blocks = data.empty() ? 1 : (data.size() + 253) / 254;
    std::vector<std::pair<int, int>> chain;
    for (std::size_t i = 0; i < blocks; ++i) chain.push_back(next());
    for (std::size_t i = 0; i < blocks; ++i) {
        std::uint8_t* b = address(chain[i].first, chain[i].second);
        const std::size_t from = 254 * i, n = std::min<std::size_t>(254, data.size() - from);
        if (n) std::memcpy(b + 2, data.data() + from, n);
        b[0] = static_cast<std::uint8_t>(i + 1 < blocks ? chain[i + 1].first : 0);
        b[1] = static_cast<std::uint8_t>(i + 1 < blocks ? chain[i + 1].second : n + 1);
    }
    return chain[0];
}

// The first free slot of a directory chain, growing it by next() when full;
// grown: called with each new block (the DOS counts them in the entry).
template <class Next, class Address>
std::uint8_t* freeSlot(std::pair<int, int> first, Next next, Address address, std::uint8_t* counter) {
    for (std::pair<int, int> at = first;;) {
        std::uint8_t* b = address(at.first, at.second);
        for (int e = 0; e < 8; ++e)
            if (b[32 * e + 2] == 0) return b + 32 * e;
        if (b[0] == 0) {
            const std::pair<int, int> grown = next();
            b[0] = static_cast<std::uint8_t>(grown.first);
            b[1] = static_cast<std::uint8_t>(grown.second);
            std::uint8_t* g = address(grown.first, grown.second);
            g[1] = 0xFF;
            if (counter) ++counter[0];
        }
        at = {b[0], b[1]};
    }
}

void putEntryBytes(std::uint8_t* e, std::uint8_t type, const std::string& name, std::pair<int, int> start, int blocks) {
    e[2] = type;
    e[3] = static_cast<std::uint8_t>(start.first);
    e[4] = static_cast<std::uint8_t>(start.second);
    putName(e + 5, name);
    e[30] = static_cast<std::uint8_t>(blocks);
    e[31] = static_cast<std::uint8_t>(blocks >> 8);
}

}  // namespace

Bytes makeNative(int tracks, const std::vector<CmdFile>& files, const std::string& title) {
    Bytes img(static_cast<std::size_t>(tracks) * 65536, 0);
    auto address = [&](int t, int s) { return img.data() + ((t - 1) * 256 + s) * 256; };
    std::vector<bool> used(static_cast<std::size_t>(tracks) * 256, false);
    for (int s = 0; s <= 34; ++s) used[s] = true;
    int cursor = 64;
    auto next = [&]() {
        while (used[cursor]) ++cursor;
        used[cursor] = true;
        return std::make_pair(cursor / 256 + 1, cursor % 256);
    };
    std::uint8_t* h = address(1, 1);
    h[0] = 1;
    h[1] = 34;
    h[2] = 'H';
    std::memset(h + 4, 0xA0, 25);
    putName(h + 4, title);
    h[22] = 'C';
    h[23] = 'M';
    h[25] = '1';
    h[26] = 'H';
    h[32] = 1;
    h[33] = 1;
    address(1, 34)[1] = 0xFF;
    // Folders by path: the header and first block of each, and its entry's block count.
    struct Folder {
        std::pair<int, int> header, first;
        std::uint8_t* count;
    };
    std::map<std::string, Folder> folders {{"", {{1, 1}, {1, 34}, nullptr}}};
    auto folderOf = [&](const std::string& path) {
        std::string at;
        for (std::size_t from = 0, slash; (slash = path.find('/', from)) != std::string::npos; from = slash + 1) {
            const std::string name = path.substr(from, slash - from), sub = at.empty() ? name : at + "/" + name;
            if (!folders.count(sub)) {
                Folder& parent = folders[at];
                const auto header = next(), first = next();
                std::uint8_t* e = freeSlot(parent.first, next, address, parent.count);
                putEntryBytes(e, 0x86, name, header, 2);
                std::uint8_t* sh = address(header.first, header.second);
                std::memcpy(sh, h, 32);
                sh[0] = static_cast<std::uint8_t>(first.first);
                sh[1] = static_cast<std::uint8_t>(first.second);
                putName(sh + 4, name);
                sh[32] = static_cast<std::uint8_t>(header.first);
                sh[33] = static_cast<std::uint8_t>(header.second);
                sh[34] = static_cast<std::uint8_t>(parent.header.first);
                sh[35] = static_cast<std::uint8_t>(parent.header.second);
                const std::size_t where = static_cast<std::size_t>(e - img.data());
                sh[36] = static_cast<std::uint8_t>(where / 65536 + 1);
                sh[37] = static_cast<std::uint8_t>(where / 256 % 256);
                sh[38] = static_cast<std::uint8_t>(where % 256 + 2);
                address(first.first, first.second)[1] = 0xFF;
                folders[sub] = {header, first, e + 30};
            }
            at = sub;
        }
        return at;
    };
    for (const CmdFile& f : files) {
        const std::string folder = folderOf(f.path);
        const std::string name = f.path.substr(folder.empty() ? 0 : folder.size() + 1);
        const auto start = layChain(f.data, next, address);
        Folder& dir = folders[folder];
        putEntryBytes(freeSlot(dir.first, next, address, dir.count), f.type, name, start,
                      static_cast<int>(f.data.empty() ? 1 : (f.data.size() + 253) / 254));
    }
    std::uint8_t* bam = address(1, 2);
    bam[2] = 'H';
    bam[3] = 0xB7;
    bam[4] = 'C';
    bam[5] = 'M';
    bam[6] = 0xC0;
    bam[8] = static_cast<std::uint8_t>(tracks);
    // Track t at byte 32t of the 32 BAM blocks; bit 7 is the lowest sector.
    for (int t = 1; t <= tracks; ++t)
        for (int s = 0; s < 256; ++s)
            if (!used[(t - 1) * 256 + s]) bam[32 * t + s / 8] |= static_cast<std::uint8_t>(0x80 >> (s % 8));
    return img;
}

Bytes makeFdImage(int imageType, const std::vector<FdPartition>& partitions, bool errorBytes) {
    const std::uint32_t blocks = imageType == 8 ? 3240 : imageType == 9 ? 6480 : 12960,
                        system = blocks / 81 * 80;  // the last of 81 cylinders
    Bytes img(blocks * 256 + (errorBytes ? blocks : 0), 0);
    if (errorBytes) std::fill(img.begin() + blocks * 256, img.end(), 1);
    std::uint8_t* device = img.data() + (system + 5) * 256;
    std::memset(device, 0xFF, 256);
    const std::uint32_t end = system / 2;
    device[0] = device[0x38] = device[0x70] = device[0xA8] = 0;
    device[0x39] = static_cast<std::uint8_t>(end >> 16);
    device[0x71] = static_cast<std::uint8_t>(end >> 8);
    device[0xA9] = static_cast<std::uint8_t>(end);
    std::memset(device + 0xE0, 0, 16);
    device[0xE2] = device[0xE3] = 1;
    std::memcpy(device + 0xF0, "CMD FD SERIES   ", 16);
    std::uint8_t* table = img.data() + (system + 8) * 256;
    const std::uint8_t links[4][2] = {{1, 1}, {1, 2}, {1, 3}, {0, 0xFF}};
    for (int b = 0; b < 4; ++b) std::memcpy(table + 256 * b, links[b], 2);
    table[2] = 0xFF;
    putName(table + 5, "SYSTEM");
    std::uint32_t unit = 0;
    for (std::size_t k = 0; k < partitions.size(); ++k) {
        const FdPartition& p = partitions[k];
        const std::uint32_t units = static_cast<std::uint32_t>(p.bytes.size() / 512);
        std::uint8_t* e = table + 32 * (k + 1);
        e[2] = p.type;
        putName(e + 5, p.name);
        e[0x15] = static_cast<std::uint8_t>(unit >> 16);
        e[0x16] = static_cast<std::uint8_t>(unit >> 8);
        e[0x17] = static_cast<std::uint8_t>(unit);
        e[0x1E] = static_cast<std::uint8_t>(units >> 8);
        e[0x1F] = static_cast<std::uint8_t>(units);
        std::memcpy(img.data() + unit * 512, p.bytes.data(), p.bytes.size());
        unit += units;
    }
    return img;
}

namespace {

// A 1581 disk's header, BAM and first directory block on track `at`; only
// tracks first..last get free bits, track `at` has sectors 0-3 used.
void formatD81(Bytes& d81, int at, int first, int last, const std::string& name) {
    auto block = [&](int t, int s) { return d81.data() + ((t - 1) * 40 + s) * 256; };
    std::uint8_t* h = block(at, 0);
    std::memset(h, 0, 256);
    h[0] = static_cast<std::uint8_t>(at);
    h[1] = 3;
    h[2] = 'D';
    std::memset(h + 4, 0xA0, 25);
    putName(h + 4, name);
    h[22] = 'S';
    h[23] = 'D';
    h[25] = '3';
    h[26] = 'D';
    for (int k = 1; k <= 2; ++k) {
        std::uint8_t* b = block(at, k);
        std::memset(b, 0, 256);
        b[0] = static_cast<std::uint8_t>(k == 1 ? at : 0);
        b[1] = static_cast<std::uint8_t>(k == 1 ? 2 : 0xFF);
        b[2] = 'D';
        b[3] = 0xBB;
        b[4] = 'S';
        b[5] = 'D';
        b[6] = 0xC0;
    }
    for (int t = first; t <= last; ++t) {
        std::uint8_t* e = block(at, t <= 40 ? 1 : 2) + 16 + 6 * ((t - 1) % 40);
        e[0] = static_cast<std::uint8_t>(t == at ? 36 : 40);
        std::memset(e + 1, 0xFF, 5);
        if (t == at) e[1] = 0xF0;
    }
    std::memset(block(at, 3), 0, 256);
    block(at, 3)[1] = 0xFF;
}

void d81Use(Bytes& d81, int at, int t, int s) {
    std::uint8_t* e = d81.data() + ((at - 1) * 40 + (t <= 40 ? 1 : 2)) * 256 + 16 + 6 * ((t - 1) % 40);
    if (e[1 + s / 8] & (1 << (s % 8))) {
        e[1 + s / 8] = static_cast<std::uint8_t>(e[1 + s / 8] & ~(1 << (s % 8)));
        --e[0];
    }
}

// Files of the 1581 directory on track `at`, on tracks from..to.
void putD81Files(Bytes& d81, int at, int from, int to, const std::vector<CmdFile>& files) {
    auto address = [&](int t, int s) { return d81.data() + ((t - 1) * 40 + s) * 256; };
    int cursor = (from - 1) * 40;
    auto next = [&]() {
        while (cursor / 40 + 1 == at) ++cursor;
        const int t = cursor / 40 + 1, s = cursor % 40;
        if (t > to) std::abort();
        ++cursor;
        d81Use(d81, at, t, s);
        return std::make_pair(t, s);
    };
    for (const CmdFile& f : files)
        putEntryBytes(freeSlot({at, 3}, next, address, nullptr), f.type, f.path, layChain(f.data, next, address),
                      static_cast<int>(f.data.empty() ? 1 : (f.data.size() + 253) / 254));
}

}  // namespace

Bytes makeD81(const std::vector<CmdFile>& files) {
    Bytes d81(819200, 0);
    formatD81(d81, 40, 1, 80, "SUB DISKS");
    putD81Files(d81, 40, 1, 39, files);
    return d81;
}

void putSubDisk(Bytes& d81, int first, int tracks, const std::string& name, const std::vector<CmdFile>& files,
                bool format) {
    auto address = [&](int t, int s) { return d81.data() + ((t - 1) * 40 + s) * 256; };
    auto none = []() -> std::pair<int, int> { std::abort(); };  // the tests' root directories never fill
    putEntryBytes(freeSlot({40, 3}, none, address, nullptr), 0x85, name, {first, 0}, 40 * tracks);
    for (int t = first; t < first + tracks; ++t)
        for (int s = 0; s < 40; ++s) d81Use(d81, 40, t, s);
    if (!format) return;
    formatD81(d81, first, first, first + tracks - 1, name);
    putD81Files(d81, first, first + 1, first + tracks - 1, files);
}

std::string sha256(const Bytes& data) {
    TempDir dir;
    writeFile(dir / "data", data);
    std::string out;
    run("sha256sum " + shellQuote(dir / "data"), &out);
    return out.substr(0, 64);
}

Bytes makeLynx(const std::vector<LynxFile>& files, int dirBlocks, int count, const char* lastLine) {
    Bytes a = {0x01, 0x08, 0x0B, 0x08, 0x0A, 0x00, 0x9E, '2', '0', '6', '1', 0x00, 0x00, 0x00};
    std::string dir = "\r " + std::to_string(dirBlocks) + "  *LYNX TEST*\r " +
                      std::to_string(count < 0 ? files.size() : static_cast<std::size_t>(count)) + " \r";
    for (std::size_t i = 0; i < files.size(); ++i) {
        const LynxFile& f = files[i];
        const std::size_t data = (f.data.size() + 253) / 254, blocks = data + (f.type == 'R' ? (data + 119) / 120 : 0);
        dir += f.name + std::string(16 - f.name.size(), '\xA0') + "\r " + std::to_string(blocks) + "\r" + f.type + "\r";
        if (f.type == 'R') dir += " " + std::to_string(f.recordLength) + " \r";
        const std::size_t last = f.data.empty() ? 1 : (f.data.size() - 1) % 254 + 2;
        dir += lastLine && i + 1 == files.size() ? lastLine : " " + std::to_string(last) + " \r";
    }
    a.insert(a.end(), dir.begin(), dir.end());
    a.resize(254 * static_cast<std::size_t>(dirBlocks) > a.size() ? 254 * static_cast<std::size_t>(dirBlocks) : a.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].type == 'R') a.resize(a.size() + 254 * ((files[i].data.size() + 254 * 120 - 1) / (254 * 120)));
        a.insert(a.end(), files[i].data.begin(), files[i].data.end());
        if (i + 1 < files.size()) a.resize((a.size() + 253) / 254 * 254);
    }
    return a;
}

Bytes pc64(const std::string& name, const Bytes& data, std::uint8_t recordLength) {
    Bytes f = {'C', '6', '4', 'F', 'i', 'l', 'e', 0};
    f.resize(26, 0);
    std::memcpy(f.data() + 8, name.data(), name.size());
    f[25] = recordLength;
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

}  // namespace ts
