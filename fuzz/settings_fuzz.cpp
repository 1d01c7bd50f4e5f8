// The settings file: PackSetDefaultParams with a fuzzed ombrix.ini (input
// byte 0: 0 the file as given, 1 no file, so the sample beside the module is
// copied, 2 no file in a folder as long as the host record's ini name
// allows), then a listing and extraction of a disk with a named scratched
// entry and a bad block, checked against the switches the file set.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "core/image_info.h"
#include "core/new_image_settings.h"
#include "core/settings.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "plugin/exports.h"
#include "reader/reader.h"

namespace {

std::string shortFolder, longFolder, image, sample;
fz::Bytes imageBytes;

// The variant with error bytes: the image has a bad block and a scratched
// entry, whose reading the switches change.
constexpr int kVariant = 1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("settings");
    std::error_code ec;
    shortFolder = fz::path("ini");
    // 249 characters: "/wcx.ini" still fits the 260 bytes of DefaultIniName.
    longFolder = fz::path(std::string(249 - fz::path("").size(), 'l'));
    std::filesystem::create_directories(shortFolder, ec);
    std::filesystem::create_directories(longFolder, ec);
    // The module is this program: the sample lies beside it.
    sample = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "ombrix.sample";

    imageBytes = fz::baseImage(kVariant);
    for (int d = 0; d < fz::kDamageCount; ++d)
        if (std::strcmp(fz::kDamages[d].name, "error-block") == 0) fz::kDamages[d].apply(kVariant, imageBytes);
    // Entry 4 (a deleted file's) scratched as a drive does it: the name stays.
    std::uint8_t* entries = imageBytes.data() + fz::blockOffset(fz::kVariants[kVariant], 18, 1);
    std::uint8_t* gone = entries + 4 * kDirEntrySize;
    std::memcpy(gone + kDirStartTrack, entries + kDirEntrySize + kDirStartTrack, 2);
    std::memcpy(gone + kDirFileName, "GONE\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0", kCbmNameLength);
    gone[kDirBlockCount] = 1;
    image = fz::path("img/settings.d64");
    fz::writeFile(image, imageBytes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int mode = size ? data[0] % 3 : 0;
    const std::string folder = mode == 2 ? longFolder : shortFolder;
    const std::string ini = folder + "/ombrix.ini";
    ::unlink(ini.c_str());
    if (mode == 0) fz::writeFile(ini, fz::Bytes(data + (size ? 1 : 0), data + size));

    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    const std::string iniName = folder + "/wcx.ini";
    std::strncpy(dps.DefaultIniName, iniName.c_str(), sizeof dps.DefaultIniName - 1);
    const NewImageSettingsRecord chosen = NewImageSettings;
    PackSetDefaultParams(&dps);

    // Without a file the sample is copied, where the path fits the plug-in.
    const bool fits = ini.size() < platform::kMaxPath;
    if (mode != 0 && fits && ::access(sample.c_str(), R_OK) == 0)
        fz::check(fz::readFile(ini) == fz::readFile(sample), "sample-copy", "ombrix.ini is not a copy of the sample");
    if (mode != 0 && !fits) fz::check(::access(ini.c_str(), F_OK) != 0, "long-folder", "a cut settings path was written");
    fz::check(std::memcmp(&NewImageSettings, &chosen, sizeof chosen) == 0, "new-image-defaults",
              "reading the settings left the new-image values changed");

    const fz::Contents c = fz::exerciseReader(image, imageBytes, kTypeD64);
    for (const fz::File& f : c.files) {
        if (appendPrgExtension)
            fz::check(f.name.size() > 4 && f.name.compare(f.name.size() - 4, 4, ".prg") == 0, "append-prg",
                      "<" + f.name + "> listed without .prg");
        if (showONLYScratchedFiles) fz::check(f.hidden, "only-scratched", "<" + f.name + "> listed and not scratched");
    }
    fz::restoreSettings();
    return 0;
}
