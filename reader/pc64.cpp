// PC64 files: one CBM file behind a 26-byte header that keeps its exact
// name; the type is the letter of the extension (.p00, .s00, .u00, .r00,
// .d00, numbered up to 99). Opened as an archive of that one file, and
// written for every extracted file when extractAsPC64 is set.
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "reader/reader.h"

namespace {

constexpr char kPC64Signature[] = "C64File";  // and its zero: 8 bytes
constexpr std::uint32_t kPC64Name = 8;
constexpr std::uint32_t kPC64RecordLength = 25;

std::uint8_t fileTypeOfPath(const char* path) {
    const char* dot = path ? std::strrchr(path, '.') : nullptr;
    const std::uint8_t type = dot ? pc64FileType(dot + 1) : 0;
    return type ? type : kTypePrg;
}

}  // namespace

bool isPC64Header(const std::uint8_t* data, std::uint64_t size) {
    return size >= kPC64HeaderSize && std::memcmp(data, kPC64Signature, sizeof kPC64Signature) == 0;
}

void cbmNameOfPC64(const std::uint8_t* header, std::uint8_t* name) {
    std::memcpy(name, header + kPC64Name, kCbmNameLength);
    // Fill bytes are 0x00 in the format and 0xA0 on disks; both are cut.
    for (int i = kCbmNameLength - 1; i >= 0 && (name[i] == 0 || name[i] == kDiskNamePad); --i) name[i] = kDiskNamePad;
}

std::uint8_t pc64RecordLength(const std::uint8_t* header) { return header[kPC64RecordLength]; }

int readPC64File(ImageInfo& info) {
    info.archived.clear();
    info.archivedNext = 0;
    info.archivedEnd = E_END_ARCHIVE;
    const auto size = static_cast<std::uint64_t>(info.imageSize);
    if (!isPC64Header(info.imageData.get(), size)) {
        logMessage(kLogError, "PC64: no header\n");
        return E_UNKNOWN_FORMAT;
    }
    ArchivedFile file {};
    cbmNameOfPC64(info.imageData.get(), file.name);
    file.fileType = fileTypeOfPath(info.imageName.get());
    file.recordLength = file.fileType == kTypeRel ? pc64RecordLength(info.imageData.get()) : 0;
    file.offset = kPC64HeaderSize;
    file.length = size - kPC64HeaderSize;
    file.blocks = static_cast<std::uint32_t>((file.length + 253) / 254);
    info.archived.push_back(file);
    return 0;
}

char pc64Letter(std::uint8_t fileType) {
    static const char kLetters[] = "dspur";
    const unsigned kind = fileType & kFileTypeMask;
    // A scratched entry or a partition goes out as a program, as it is listed.
    return fileType != kTypeScratched && kind <= 4 ? kLetters[kind] : 'p';
}

void makePC64Header(const std::uint8_t* cbmName, std::uint8_t padByte, std::uint8_t fileType,
                    std::uint8_t recordLength, std::uint8_t* header) {
    std::memset(header, 0, kPC64HeaderSize);
    std::memcpy(header, kPC64Signature, sizeof kPC64Signature);
    // The name as the disk keeps it, filled with 0xA0 as cbmconvert writes it
    // (a tape's blanks and a zero fill are fill too).
    std::uint8_t* name = header + kPC64Name;
    std::memcpy(name, cbmName, kCbmNameLength);
    for (int i = kCbmNameLength - 1; i >= 0 && (name[i] == padByte || name[i] == 0 || name[i] == kDiskNamePad); --i)
        name[i] = kDiskNamePad;
    header[kPC64RecordLength] = (fileType & kFileTypeMask) == (kTypeRel & kFileTypeMask) ? recordLength : 0;
}
