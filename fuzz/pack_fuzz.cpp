// PackFiles of one or two small host files, and with bit 1 of the file count
// a REL file from a .r00, into a disk image of any format: a call that
// succeeds leaves every other file in its place with its bytes (but an entry
// of 0 blocks whose chain reads the header or directory), the added files
// extract with theirs (the REL file with its records as a drive reads them),
// and a failed call leaves the image as it was. Input bytes 2-5: file count,
// the sizes, the writing switches and interleave.
#include <unistd.h>

#include <string>

#include "core/image_info.h"
#include "fuzz/fuzz_support.h"
#include "plugin/exports.h"
#include "reader/reader.h"

namespace {

// Host names no image of ours holds by chance; a file listed under one of
// them is replaced.
const char* const kAdded[] = {"zz fuzz add.prg", "zz fuzz note.seq"};
// The REL file, as packed and as listed.
const char* const kRelSource = "zz fuzz recs.r00";
const char* const kRelListed = "zz fuzz recs.rel";

fz::Bytes content(std::size_t size, std::uint8_t salt) {
    fz::Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + salt + (i >> 8));
    return b;
}

// A .r00 of these records, and what a drive reads of the REL file made of
// it: the last record filled up with 00, then empty records (FF, 00s) to
// the last that fits wholly into the last block.
fz::Bytes pc64Rel(const fz::Bytes& records, std::uint8_t length) {
    fz::Bytes f = {'C', '6', '4', 'F', 'i', 'l', 'e', 0, 'Z', 'Z', ' ', 'F', 'U', 'Z', 'Z', ' ', 'R', 'E', 'C', 'S'};
    f.resize(26, 0);
    f[25] = length;
    f.insert(f.end(), records.begin(), records.end());
    return f;
}
fz::Bytes relAsRead(fz::Bytes records, std::size_t length) {
    records.resize((records.size() + length - 1) / length * length, 0);
    const std::size_t blocks = records.empty() ? 1 : (records.size() + 253) / 254;
    while (records.size() + length <= blocks * 254) {
        records.push_back(0xFF);
        records.resize(records.size() + length - 1, 0);
    }
    return records;
}

const char* groupOf(std::int32_t type) {
    return type == kTypeD80 || type == kTypeD82 ? "d80" : type == kTypeD81 ? "d81" : "d64";
}

// The name, or the name with "-2", "-3"... (a new file beside an old one of
// its CBM name) and then "~2", "~3"... (one listed under the same host name
// without having the same 16-byte CBM name) before its extension.
bool listedAs(const std::string& listed, const std::string& name) {
    const std::size_t dot = name.rfind('.');
    const std::string stem = name.substr(0, dot), ext = name.substr(dot);
    if (listed.size() < stem.size() + ext.size() || listed.compare(0, stem.size(), stem) != 0 ||
        listed.compare(listed.size() - ext.size(), ext.size(), ext) != 0)
        return false;
    // A mark and a number, at most once each, in this order.
    std::string rest = listed.substr(stem.size(), listed.size() - stem.size() - ext.size());
    for (const char mark : {'-', '~'}) {
        if (rest.empty() || rest[0] != mark) continue;
        std::size_t digits = 1;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
        if (digits == 1) return false;
        rest.erase(0, digits);
    }
    return rest.empty();
}

std::string describe(const fz::DiskInput& in, int rc) {
    return std::string(in.variant->name) + ", PackFiles gave " + std::to_string(rc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUp("pack");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fz::DiskInput in = fz::decodeDiskInput(data, size);
    if (in.skip) return 0;
    const std::string file = std::string("image.") + in.variant->ext;
    const std::string image = fz::path("img/") + file;
    fz::writeFile(image, in.image);

    std::vector<std::string> names = {kAdded[0]};
    std::vector<fz::Bytes> added = {content(in.param[1] * 37u, 1)};
    if (in.param[0] & 1) {
        names.push_back(kAdded[1]);
        added.push_back(content(in.param[2] * 53u, 2));
    }
    for (std::size_t i = 0; i < names.size(); ++i) fz::writeFile(fz::path("src/") + names[i], added[i]);
    std::vector<std::string> listed = names;
    if (in.param[0] & 2) {
        const auto length = static_cast<std::uint8_t>(in.param[2] % 254 + 1);
        const fz::Bytes records = content(in.param[1] * 29u, 3);
        fz::writeFile(fz::path("src/") + kRelSource, pc64Rel(records, length));
        names.push_back(kRelSource);
        listed.push_back(kRelListed);
        added.push_back(relAsRead(records, length));
    }

    // The switches that also govern adding to an existing image.
    std::string options = std::string("use-dir-track=") + (in.param[3] & 1 ? "1" : "0") +
                          "\nfrom-track1=" + (in.param[3] & 2 ? "1" : "0") + "\n";
    if (const int interleave = in.param[3] >> 2)
        options += std::string("interleave=") + groupOf(in.variant->type) + "=" + std::to_string(interleave) + "," +
                   std::to_string(interleave) + "\n";
    fz::check(ConfigurePackerText(options.c_str()) == 0, "harness", "options refused: " + options);
    const int rc = fz::packFiles(image, fz::path("src"), names);
    fz::restoreSettings();

    fz::check(fz::folderNames(fz::path("img")) == std::vector<std::string>{file}, "temp-left",
              "the image folder holds more than the image after PackFiles");
    if (rc != 0) {
        fz::check(fz::readFile(image) == in.image, "pack-failed-changed", describe(in, rc) + " and changed the image");
        ::unlink(image.c_str());
        return 0;
    }
    const fz::Contents after = fz::readImage(image, fz::Pass::extract);
    // An added file on a header, BAM or directory block spoils what is
    // written after it: that is then the cause of any damage.
    const fz::Bytes result = fz::readFile(image);
    bool tookSystemBlock = false;
    for (const std::string& n : listed) tookSystemBlock |= fz::tookSystemBlock(in.image, result, in.variant->type, n);
    // So is a directory chain that runs through the header or a BAM block:
    // a new entry there and the BAM overwrite each other.
    const bool directoryInBam = fz::directoryInHeaderOrBam(in.image, in.variant->type);
    const std::string knownCause = tookSystemBlock ? "system-block" : directoryInBam ? "directory-in-bam" : "";
    std::map<std::string, const fz::File*> now;
    for (const fz::File& f : after.files) now.emplace(f.name, &f);
    // Every file but the ones listed under the added names keeps its place
    // and its bytes.
    const std::vector<fz::Entry> oldEntries = fz::directoryEntries(in.image, in.variant->type);
    const std::vector<fz::Entry> newEntries = fz::directoryEntries(result, in.variant->type);
    std::map<std::pair<std::pair<int, int>, int>, const fz::Entry*> newSlots;
    for (const fz::Entry& e : newEntries) newSlots[{e.where, e.slot}] = &e;
    for (const auto& [slot, old] : fz::filesBySlot(oldEntries, in.image, in.variant->type)) {
        if (old->name == kAdded[0] || old->name == kAdded[1]) continue;  // replaced
        const auto it = newSlots.find(slot);
        const fz::Entry* kept = it != newSlots.end() ? it->second : nullptr;
        if (kept && kept->type == old->type && kept->result == old->result && kept->bytes == old->bytes) continue;
        std::vector<std::string> released = {kAdded[0], kAdded[1], kRelListed};
        const std::string check =
            "pack-" + (!knownCause.empty() ? knownCause : fz::damageCause(in.image, in.variant->type, old->name, released));
        fz::check(false, check.c_str(),
                  describe(in, rc) + "; <" + old->name + "> (" + std::to_string(old->bytes.size()) + " bytes, " +
                      std::to_string(old->result) + ") " +
                      (!kept ? std::string("is gone")
                             : "now reads with " + std::to_string(kept->result) + " and " +
                                   std::to_string(kept->bytes.size()) + " bytes"));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        bool found = false;
        for (const fz::File& f : after.files)
            found |= listedAs(f.name, listed[i]) && f.result == 0 && f.bytes == added[i];
        if (found) continue;
        const auto it = now.find(listed[i]);
        const std::string check = "pack-" + (!knownCause.empty() ? knownCause : std::string("added"));
        fz::check(false, check.c_str(),
                  describe(in, rc) + "; the added <" + names[i] + "> (" + std::to_string(added[i].size()) +
                      " bytes) " +
                      (it == now.end() ? std::string("is not listed")
                                       : "extracts with " + std::to_string(it->second->result) + " and " +
                                             std::to_string(it->second->bytes.size()) + " bytes"));
    }
    ::unlink(image.c_str());
    return 0;
}
