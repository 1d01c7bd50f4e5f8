// The files the listing has reported, disks and tapes alike: each under the
// name it was given, the current one for ProcessFile, and the search by name.
#include <cstring>
#include <string>
#include <utility>

#include "core/log.h"
#include "core/settings.h"
#include "reader/reader.h"

// Makes the file the current one and fills what the host is told of it.
void reportListed(ImageInfo& info, ListedFile& file, std::uint32_t record, std::uint32_t entryOffset,
                  std::string name, bool asConvert) {
    std::memset(file.fileName, 0, sizeof file.fileName);
    std::memcpy(file.fileName, name.data(), name.size() < sizeof file.fileName ? name.size() : sizeof file.fileName - 1);
    // A Convert file keeps its own form; every other file goes out as a PC64
    // file when the listing named it so.
    info.listed.push_back({record, entryOffset, std::move(name), asConvert, extractAsPC64 != 0 && !asConvert});
    info.lastReported = static_cast<std::int32_t>(info.listed.size() - 1);
}

const ListedEntry* findListedEntry(const ImageInfo& info, const char* destPath, const char* destName) {
    if (info.lastReported >= 0 && static_cast<std::size_t>(info.lastReported) < info.listed.size())
        return &info.listed[static_cast<std::size_t>(info.lastReported)];
    // No file is current (a host that asks after the listing ended): the
    // listed names are unique, so the name finds exactly one.
    const std::string request = requestName(destPath, destName);
    for (const ListedEntry& listed : info.listed) {
        logMessage(kLogTrace, "COMPARE <%s> <%s>\n", request.c_str(), listed.hostName.c_str());
        if (listed.hostName == request) return &listed;
    }
    return nullptr;
}
