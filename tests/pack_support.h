// Helpers for the tests of adding and deleting files: the two exports with
// plain arguments, images opened for inspection through the image model,
// directory entries and block chains, and snapshots of a folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/image_info.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"
#include "tests/test_support.h"
#include "writer/writer.h"

namespace pt {

using ts::Bytes;

// New-image switches back to their defaults when a test ends.
struct SettingsGuard {
    ~SettingsGuard() {
        setNewImageDefaults();
        dirTrackFallback = 0;
        platform::simulateWriteFailure(-1);
    }
};

inline std::vector<char> zeroList(const std::vector<std::string>& names) {
    std::vector<char> list;
    for (const std::string& n : names) {
        list.insert(list.end(), n.begin(), n.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

inline std::vector<char> cstr(const std::string& s) {
    std::vector<char> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

// The lines of a text, without their ends.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t from = 0; from < text.size();) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return out;
}

// PackFiles as a file manager calls it: the source folder ends with '/'.
inline int pack(const std::string& image, const std::string& srcDir, const std::vector<std::string>& names,
                int flags = 0) {
    auto img = cstr(image);
    auto src = cstr(srcDir + "/");
    auto list = zeroList(names);
    return PackFiles(img.data(), nullptr, src.data(), list.data(), flags);
}

inline int remove(const std::string& image, const std::vector<std::string>& names) {
    auto img = cstr(image);
    auto list = zeroList(names);
    return DeleteFiles(img.data(), list.data());
}

// An image file loaded into an ImageInfo as the writer sees it.
inline std::unique_ptr<ImageInfo> load(const std::string& path) {
    Bytes bytes = ts::readFile(path);
    std::unique_ptr<ImageInfo> info = newImageInfo();
    info->imageType = imageTypeOfPath(path.c_str());
    info->imageData.reset(static_cast<std::uint8_t*>(std::calloc(bytes.size() + 1, 1)));
    if (!bytes.empty()) std::memcpy(info->imageData.get(), bytes.data(), bytes.size());
    info->imageSize = static_cast<std::int32_t>(bytes.size());
    setDiskInitValues(*info);
    checkImageSize(*info);
    readStatedBamTracks(*info);
    if (info->imageType == kTypeD64 && info->trackCount > kStandardD64Tracks) checkD64Valid40Track(*info);
    return info;
}

inline std::uint8_t* blockOf(const ImageInfo& info, int track, int sector) {
    std::uint8_t* address = nullptr;
    if (GetDiskSectorAddr(info, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(sector), &address) != 0)
        return nullptr;
    return address;
}

// Byte offset of a block inside the image file.
inline std::size_t offsetOf(const ImageInfo& info, int track, int sector) {
    return static_cast<std::size_t>(blockOf(info, track, sector) - info.imageData.get());
}

struct Entry {
    int track = 0, sector = 0, index = 0;
    std::uint8_t* bytes = nullptr;  // the 32 bytes inside the image
    std::string name;               // raw PETSCII, fill bytes removed
    std::uint8_t type() const { return bytes[kDirEntryType]; }
    int startTrack() const { return bytes[kDirStartTrack]; }
    int startSector() const { return bytes[kDirStartSector]; }
    int blocks() const { return bytes[kDirBlockCount] | (bytes[kDirBlockCount + 1] << 8); }
};

// Every entry with a non-zero type, in directory order (the walk stops after
// 100 blocks).
inline std::vector<Entry> entries(const ImageInfo& info) {
    std::vector<Entry> out;
    int t = info.dirTrack, s = info.dirSector;
    for (int n = 0; n < 100 && t != 0; ++n) {
        std::uint8_t* b = blockOf(info, t, s);
        if (!b) break;
        for (int i = 0; i < 8; ++i) {
            std::uint8_t* e = b + 32 * i;
            if (e[kDirEntryType] == 0) continue;
            Entry entry;
            entry.track = t;
            entry.sector = s;
            entry.index = i;
            entry.bytes = e;
            int len = 16;
            while (len > 0 && e[kDirFileName + len - 1] == 0xA0) --len;
            entry.name.assign(reinterpret_cast<const char*>(e + kDirFileName), static_cast<std::size_t>(len));
            out.push_back(entry);
        }
        t = b[0];
        s = b[1];
    }
    return out;
}

inline const Entry* findEntry(const std::vector<Entry>& list, const std::string& petsciiName) {
    for (const Entry& e : list)
        if (e.name == petsciiName) return &e;
    return nullptr;
}

struct Chain {
    std::vector<std::pair<int, int>> blocks;
    int lastByte1 = -1;
    Bytes data;
    bool ok = false;
};

// The file's block chain and its data (at most 5000 blocks).
inline Chain chainOf(const ImageInfo& info, const Entry& entry) {
    Chain chain;
    int t = entry.startTrack(), s = entry.startSector();
    if (t == 0) {
        chain.ok = true;
        return chain;
    }
    for (int n = 0; n < 5000; ++n) {
        std::uint8_t* b = blockOf(info, t, s);
        if (!b) return chain;
        chain.blocks.emplace_back(t, s);
        if (b[0] == 0) {
            chain.lastByte1 = b[1];
            if (b[1] >= 2) chain.data.insert(chain.data.end(), b + 2, b + b[1] + 1);
            chain.ok = true;
            return chain;
        }
        chain.data.insert(chain.data.end(), b + 2, b + 256);
        t = b[0];
        s = b[1];
    }
    return chain;
}

// Every file of a folder (not recursive) with its content.
inline std::map<std::string, Bytes> snapshot(const std::string& dir) {
    std::map<std::string, Bytes> files;
    for (const std::string& name : ts::listDir(dir)) {
        struct stat st {};
        const std::string path = dir + "/" + name;
        // Folders are recorded by name only.
        files[name] = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? Bytes() : ts::readFile(path);
    }
    return files;
}

// Source files in a folder: name -> content.
inline void writeSources(const std::string& dir, const std::map<std::string, Bytes>& files) {
    for (const auto& [name, data] : files) ts::writeFile(dir + "/" + name, data);
}

inline std::string petscii(const std::string& ascii) {
    std::string s = ascii;
    s.resize(hostToPetscii(reinterpret_cast<std::uint8_t*>(s.data()), s.size()));
    return s;
}

}  // namespace pt
