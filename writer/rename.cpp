// The name a rename gives a file: the entry keeps its blocks and gets a new
// CBM name, made from the new host name as packing makes names (the change
// itself is one of writer/entries.cpp's).
#include <cstdint>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "reader/reader.h"
#include "writer/image_file.h"
#include "writer/writer.h"

namespace {

struct TypeExtension {
    const char* text;
    std::uint8_t type;
};
constexpr TypeExtension kTypeExtensions[] = {
    {".prg", kTypePrg}, {".seq", kTypeSeq}, {".usr", kTypeUsr}, {".del", kTypeDel}, {".rel", kTypeRel},
};

bool endsWithNoCase(const std::string& text, const char* tail) {
    const std::size_t n = std::strlen(tail);
    if (text.size() <= n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[text.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != tail[i]) return false;
    }
    return true;
}

// The new name and type of the entry; false when the host name gives no
// CBM name or asks for a type the entry cannot take (a REL file's side
// sectors cannot come or go by a rename).
}  // namespace

bool renamedCbmName(const std::uint8_t* entry, const char* hostName, std::uint8_t* name, std::uint8_t& type) {
    std::string base(hostName);
    const std::uint8_t oldType = entry[kDirEntryType];
    type = oldType;
    if (isListedAsConvert(entry)) {
        // A GEOS file keeps its kind; its name is ASCII.
        if (endsWithNoCase(base, ".cvt")) base.resize(base.size() - 4);
    } else {
        for (const TypeExtension& e : kTypeExtensions) {
            if (!endsWithNoCase(base, e.text)) continue;
            base.resize(base.size() - std::strlen(e.text));
            type = static_cast<std::uint8_t>((oldType & ~kFileTypeMask) | (e.type & kFileTypeMask));
            break;
        }
        const bool wasRel = (oldType & kFileTypeMask) == (kTypeRel & kFileTypeMask);
        const bool isRel = (type & kFileTypeMask) == (kTypeRel & kFileTypeMask);
        if (wasRel != isRel) return false;
        base.resize(hostToPetscii(reinterpret_cast<std::uint8_t*>(base.data()), base.size()));
    }
    if (base.empty()) return false;
    std::memset(name, kDiskNamePad, kCbmNameLength);
    std::memcpy(name, base.data(), base.size() < kCbmNameLength ? base.size() : kCbmNameLength);
    return true;
}
