// Listed files by their entries: what a host that holds a file across calls
// (the mount, a conversion) needs to know of each, and the key that names the
// entry itself rather than the host name it happens to be listed under.
#include <cstdio>
#include <cstring>
#include <string>

#include "reader/reader.h"

namespace {

constexpr std::uint32_t kTapeSlotName = 16;

void appendHex(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool readHexBytes(const char* text, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = high < 0 ? -1 : hexDigit(text[2 * i + 1]);
        if (low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return text[2 * count] == 0 || text[2 * count] == ':';
}

EntryFacts listedEntryFacts(const ImageInfo& info, const ListedEntry& listed) {
    EntryFacts facts;
    const std::uint8_t* data = info.imageData.get();
    if (info.imageType == kTypeLynx || info.imageType == kTypePC64) {
        if (listed.record < info.archived.size()) {
            const ArchivedFile& file = info.archived[listed.record];
            facts.fileType = file.fileType;
            std::memcpy(facts.name, file.name, kCbmNameLength);
            facts.recordLength = file.recordLength;
        }
        facts.archiveRecord = true;
    } else if (info.imageType == kTypeT64) {
        // A tape's files load as programs; its names are padded with blanks.
        facts.fileType = kTypePrg;
        std::memcpy(facts.name, data + listed.entryOffset + kTapeSlotName, kCbmNameLength);
        for (int i = kCbmNameLength - 1; i >= 0 && (facts.name[i] == kTapeNamePad || facts.name[i] == 0); --i)
            facts.name[i] = kDiskNamePad;
    } else {
        const std::uint8_t* entry = data + listed.entryOffset;
        facts.fileType = entry[kDirEntryType];
        std::memcpy(facts.name, entry + kDirFileName, kCbmNameLength);
        facts.geos = isGeosEntry(entry);
        if ((facts.fileType & kFileTypeMask) == (kTypeRel & kFileTypeMask)) facts.recordLength = entry[kDirRecordLength];
    }
    facts.offset = facts.archiveRecord ? listed.record : listed.entryOffset;
    return facts;
}

std::string entryKey(const EntryFacts& facts) {
    std::string key = (facts.archiveRecord ? "a" : "") + std::to_string(facts.offset) + ":";
    appendHex(key, &facts.fileType, 1);
    key += ':';
    appendHex(key, facts.name, kCbmNameLength);
    return key;
}

bool parseEntryKey(const char* key, std::uint32_t& offset, std::uint8_t& fileType, std::uint8_t* name) {
    if (!key || *key < '0' || *key > '9') return false;
    std::uint64_t value = 0;
    const char* p = key;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value > kMaxImageFileSize) return false;
    }
    if (*p != ':' || !readHexBytes(p + 1, 1, &fileType) || p[3] != ':') return false;
    if (!readHexBytes(p + 4, kCbmNameLength, name) || p[4 + 2 * kCbmNameLength] != 0) return false;
    offset = static_cast<std::uint32_t>(value);
    return true;
}

std::string entryLine(const EntryFacts& facts, const ListedEntry& listed, const ListedFile& file) {
    std::string flags;
    if (file.hidden) flags += 'h';
    if (facts.fileType & kTypeLocked) flags += 'l';
    if (!(facts.fileType & 0x80)) flags += 'o';
    if (facts.geos) flags += 'g';
    if (listed.asConvert) flags += 'c';
    if (listed.folder) flags += 'd';
    if (flags.empty()) flags = "-";
    std::string line = "entry\t" + entryKey(facts) + "\t" + listed.hostName + "\t";
    appendHex(line, &facts.fileType, 1);
    line += '\t';
    appendHex(line, facts.name, kCbmNameLength);
    const ShownCbmName shown = shownCbmName(facts.name, facts.geos);
    line += "\t" + std::to_string(file.packSize) + "\t" + std::to_string(file.unpSize) + "\t" + flags + "\t" +
            std::to_string(facts.recordLength) + "\t" + shown.name + "\t" + shown.tail + "\n";
    return line;
}
