// Lynx archives: a BASIC loader, a directory of text lines (numbers as
// text, lines ending in 0x0D), then each file's data from a 254-byte
// boundary of the archive. The directory is read once at opening; whatever
// it claims, extraction reads nothing outside the file.
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "reader/reader.h"

namespace {

constexpr std::uint8_t kLineEnd = 0x0D;
constexpr std::uint64_t kLynxBlock = 254;
constexpr int kMaxDigits = 9;              // far above any count an archive can hold
constexpr std::uint32_t kSideSectorSpan = 121;  // a side sector and the 120 data blocks it lists

// The directory text as lines, never past the end of the file.
struct Lines {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;

    // The next line without its 0x0D; false when the file ends before one.
    bool next(const std::uint8_t*& line, std::size_t& length) {
        const std::uint8_t* end =
            at < size ? static_cast<const std::uint8_t*>(std::memchr(data + at, kLineEnd, size - at)) : nullptr;
        if (!end) return false;
        line = data + at;
        length = static_cast<std::size_t>(end - line);
        at += length + 1;
        return true;
    }
};

// A number with blanks around it (leading zeros allowed); `rest` is where
// the text after it starts. False when the line does not start with one.
bool parseNumber(const std::uint8_t* line, std::size_t length, std::uint64_t& value, std::size_t& rest) {
    std::size_t i = 0;
    while (i < length && line[i] == ' ') ++i;
    const std::size_t first = i;
    value = 0;
    while (i < length && line[i] >= '0' && line[i] <= '9' && i - first < kMaxDigits)
        value = value * 10 + (line[i++] - '0');
    if (i == first) return false;
    while (i < length && line[i] == ' ') ++i;
    rest = i;
    return true;
}

// A line that holds a number and nothing else.
bool numberLine(Lines& lines, std::uint64_t& value) {
    const std::uint8_t* line = nullptr;
    std::size_t length = 0, rest = 0;
    return lines.next(line, length) && parseNumber(line, length, value, rest) && rest == length;
}

std::uint8_t typeOfLetter(const std::uint8_t* line, std::size_t length) {
    std::size_t i = 0;
    while (i < length && line[i] == ' ') ++i;
    if (i == length) return 0;
    switch (line[i]) {
    case 'P': return kTypePrg;
    case 'S': return kTypeSeq;
    case 'U': return kTypeUsr;
    case 'R': return kTypeRel;
    case 'D': return kTypeDel;
    default: return 0;
    }
}

bool containsLynx(const std::uint8_t* text, std::size_t length) {
    for (std::size_t i = 0; i + 4 <= length; ++i)
        if (std::memcmp(text + i, "LYNX", 4) == 0) return true;
    return false;
}

}  // namespace

int readLynxDirectory(ImageInfo& info) {
    constexpr std::uint64_t kNoData = ~std::uint64_t(0);
    info.archived.clear();
    info.archivedNext = 0;
    info.archivedEnd = E_END_ARCHIVE;
    const auto size = static_cast<std::size_t>(info.imageSize);
    const std::size_t start = lynxDirectoryStart(info.imageData.get(), size);
    if (start == 0) {
        logMessage(kLogError, "Lynx: no BASIC loader\n");
        return E_UNKNOWN_FORMAT;
    }
    Lines lines {info.imageData.get(), size, start};
    if (lines.at < size && lines.data[lines.at] == kLineEnd) ++lines.at;
    const std::uint8_t* line = nullptr;
    std::size_t length = 0, rest = 0;
    std::uint64_t directoryBlocks = 0, count = 0;
    if (!lines.next(line, length) || !parseNumber(line, length, directoryBlocks, rest) ||
        !containsLynx(line + rest, length - rest) || !numberLine(lines, count)) {
        logMessage(kLogError, "Lynx: no directory\n");
        return E_UNKNOWN_FORMAT;
    }
    // The directory lies within the blocks it claims: the text after them
    // is file data.
    if (directoryBlocks * kLynxBlock < lines.size) lines.size = static_cast<std::size_t>(directoryBlocks * kLynxBlock);
    logMessage(kLogTrace, "Lynx: %d directory blocks, %d files\n", static_cast<int>(directoryBlocks),
               static_cast<int>(count));
    std::uint64_t offset = directoryBlocks * kLynxBlock;
    for (std::uint64_t n = 0; n < count; ++n) {
        ArchivedFile file {};
        std::uint64_t blocks = 0, lastByte = 0, recordLength = 0;
        if (!lines.next(line, length)) break;
        std::memset(file.name, kDiskNamePad, sizeof file.name);
        std::memcpy(file.name, line, length < sizeof file.name ? length : sizeof file.name);
        if (!numberLine(lines, blocks) || !lines.next(line, length)) break;
        file.fileType = typeOfLetter(line, length);
        if (file.fileType == 0 || (file.fileType == kTypeRel && !numberLine(lines, recordLength))) break;
        const bool last = n + 1 == count;
        const std::size_t before = lines.at;
        if (!numberLine(lines, lastByte)) {
            // Some archivers leave out the last file's count: its data run
            // to the end of the archive.
            if (!last) break;
            lines.at = before;
            lastByte = 0;
        }
        file.blocks = static_cast<std::uint32_t>(blocks);
        file.recordLength = static_cast<std::uint8_t>(recordLength);
        file.offset = offset;
        offset += blocks * kLynxBlock;
        // A REL file's side sectors come first; only its data are the file.
        std::uint64_t dataBlocks = blocks;
        if (file.fileType == kTypeRel && blocks > 0) {
            const std::uint64_t sideSectors = (blocks + kSideSectorSpan - 1) / kSideSectorSpan;
            dataBlocks -= sideSectors;
            file.offset += sideSectors * kLynxBlock;
        }
        if (dataBlocks == 0) {
            file.length = 0;
        } else if (lastByte == 0) {
            const std::uint64_t room = file.offset < size ? size - file.offset : 0;
            file.length = dataBlocks * kLynxBlock < room ? dataBlocks * kLynxBlock : room;
        } else if (lastByte < 2 || lastByte > kLynxBlock + 1) {
            // No last block holds that many bytes: the file cannot be told.
            file.offset = kNoData;
            file.length = 0;
        } else {
            file.length = (dataBlocks - 1) * kLynxBlock + lastByte - 1;
        }
        info.archived.push_back(file);
    }

    if (info.archived.size() < count) {
        logMessage(kLogError, "Lynx: directory ends after %d of %d files\n", static_cast<int>(info.archived.size()),
                   static_cast<int>(count));
        info.archivedEnd = E_EREAD;
    }
    return 0;
}
