// ConfigurePackerText with fuzzed lines (input byte 0 picks a format, the
// rest is the text): text it refuses changes nothing; text it takes gives
// values within their ranges, and a new image made with them holds a file
// that reads back and deletes.
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/image_info.h"
#include "core/new_image_settings.h"
#include "fuzz/fuzz_support.h"
#include "image/image.h"
#include "plugin/exports.h"

namespace {

const char* const kFormats[] = {"d64", "d71", "d80", "d82", "d81"};
const std::int32_t kTypes[] = {kTypeD64, kTypeD71, kTypeD80, kTypeD82, kTypeD81};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("text");
    fz::writeFile(fz::path("src/zz fuzz add.prg"), fz::Bytes(700, 0x5A));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int format = size ? data[0] % 5 : 0;
    const std::string text(reinterpret_cast<const char*>(data) + (size ? 1 : 0), size ? size - 1 : 0);
    const NewImageSettingsRecord before = NewImageSettings;
    const std::uint8_t fallbackBefore = dirTrackFallback;

    const int rc = ConfigurePackerText(text.c_str());
    if (rc != 0) {
        fz::check(std::memcmp(&before, &NewImageSettings, sizeof before) == 0 && fallbackBefore == dirTrackFallback,
                  "refused-changed", "text refused at line " + std::to_string(rc) + " changed the values");
        fz::restoreSettings();
        return 0;
    }
    const NewImageSettingsRecord s = NewImageSettings;
    for (int g = 0; g < 3; ++g)
        for (int p = 1; p < 3; ++p)
            fz::check(s.interleave[g][p] >= 1 && s.interleave[g][p] <= 40, "interleave-range",
                      "interleave " + std::to_string(g) + "/" + std::to_string(p) + " is " +
                          std::to_string(s.interleave[g][p]));
    // A title ends at its first zero: no bytes of an older, longer one linger.
    const std::size_t titleEnd = strnlen(s.diskTitle, sizeof s.diskTitle);
    for (std::size_t i = titleEnd; i < sizeof s.diskTitle; ++i)
        fz::check(s.diskTitle[i] == 0, "title-length", "bytes after the title's end");

    const std::string image = fz::path("img/new.") + kFormats[format];
    ::unlink(image.c_str());
    const int packed = fz::packFiles(image, fz::path("src"), {"zz fuzz add.prg"});
    fz::check(packed == 0, "new-image", std::string("PackFiles into a new ") + kFormats[format] + " gave " +
                                             std::to_string(packed));
    const fz::Bytes bytes = fz::readFile(image);
    const FormatLayout* layout = formatLayout(kTypes[format], format == 0 && s.fortyTracks);
    fz::check(bytes.size() == layout->size + (s.includeErrorInfo ? layout->blockCount : 0u), "new-image-size",
              std::string("a new ") + kFormats[format] + " has " + std::to_string(bytes.size()) + " bytes");
    fz::restoreSettings();

    const fz::Contents c = fz::exerciseReader(image, bytes, kTypes[format]);
    fz::check(c.files.size() == 1 && c.files[0].name == "zz fuzz add.prg" && c.files[0].result == 0 &&
                  c.files[0].bytes == fz::Bytes(700, 0x5A),
              "new-image-roundtrip", std::string("the file packed into a new ") + kFormats[format] + " does not read back");
    const int deleted = fz::deleteFiles(image, {"zz fuzz add.prg"});
    fz::check(deleted == 0 && fz::readImage(image, fz::Pass::list).files.empty(), "new-image-delete",
              std::string("the file packed into a new ") + kFormats[format] + " does not delete (" +
                  std::to_string(deleted) + ")");
    ::unlink(image.c_str());
    return 0;
}
