// DeleteFiles of the first one to three listed names of a disk image of any
// format: every other file that extracted before still extracts with its
// bytes, a deleted file is no longer listed, and a failed call leaves the
// image as it was. Input bytes 2-3: how many names, eraseDeletedSectors.
#include <unistd.h>

#include <algorithm>
#include <string>

#include "core/settings.h"
#include "fuzz/fuzz_support.h"
#include "reader/reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("delete");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fz::DiskInput in = fz::decodeDiskInput(data, size);
    if (in.skip) return 0;
    const std::string file = std::string("image.") + in.variant->ext;
    const std::string image = fz::path("img/") + file;
    fz::writeFile(image, in.image);
    const fz::Contents before = fz::readImage(image, fz::Pass::extract);
    const std::map<std::string, fz::Bytes> trusted = fz::trustedFiles(before, in.image, in.variant->type);

    std::vector<std::string> names;
    for (const fz::File& f : before.files)
        if (names.size() < 1u + in.param[0] % 3u) names.push_back(f.name);
    if (names.empty()) {
        ::unlink(image.c_str());
        return 0;
    }
    eraseDeletedSectors = in.param[1] & 1;
    const int rc = fz::deleteFiles(image, names);
    fz::restoreSettings();
    std::string what = std::string(in.variant->name) + ", DeleteFiles of";
    for (const std::string& n : names) what += " <" + n + ">";
    what += " gave " + std::to_string(rc);

    fz::check(fz::folderNames(fz::path("img")) == std::vector<std::string>{file}, "temp-left",
              "the image folder holds more than the image after DeleteFiles");
    if (rc != 0) {
        fz::check(fz::readFile(image) == in.image, "delete-failed-changed", what + " and changed the image");
        ::unlink(image.c_str());
        return 0;
    }
    const fz::Contents after = fz::readImage(image, fz::Pass::extract);
    std::map<std::string, const fz::File*> now;
    for (const fz::File& f : after.files) now.emplace(f.name, &f);
    auto deleted = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
    for (const auto& [name, bytes] : trusted) {
        if (deleted(name)) continue;
        const auto it = now.find(name);
        const bool same = it != now.end() && it->second->result == 0 && it->second->bytes == bytes;
        if (same) continue;
        const std::string check = "delete-" + fz::damageCause(in.image, in.variant->type, name, names);
        fz::check(false, check.c_str(),
                  what + "; <" + name + "> (" + std::to_string(bytes.size()) + " bytes) " +
                      (it == now.end() ? std::string("is gone")
                                       : "now extracts with " + std::to_string(it->second->result) + " and " +
                                             std::to_string(it->second->bytes.size()) + " bytes"));
    }
    // A deleted file's name is gone afterwards unless another file had the
    // same plain name (its "~2" then moves up).
    const std::vector<fz::Entry> entries = fz::directoryEntries(in.image, in.variant->type);
    for (const std::string& n : names) {
        const auto self = std::find_if(entries.begin(), entries.end(), [&](const fz::Entry& e) { return e.name == n; });
        if (self == entries.end()) continue;
        const auto count = std::count_if(entries.begin(), entries.end(), [&](const fz::Entry& e) {
            return e.type != kTypeScratched && e.plain == self->plain;
        });
        fz::check(count != 1 || now.find(n) == now.end(), "delete-kept", what + "; <" + n + "> is still listed");
    }
    ::unlink(image.c_str());
    return 0;
}
