// The disk as a whole: dir as the drive lists it, info, and validate, from
// the plug-in's ImageInfoText and ValidateImageText ("key<TAB>value" lines).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/cli.h"

namespace cli {

namespace {

struct Fact {
    std::string key, value;
};

std::vector<Fact> facts(const std::string& text) {
    std::vector<Fact> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) out.push_back({line.substr(0, tab), line.substr(tab + 1)});
        start = end + 1;
    }
    return out;
}


std::string factValue(const std::vector<Fact>& all, const char* key) {
    for (const Fact& f : all)
        if (f.key == key) return f.value;
    return "";
}

bool has(const std::vector<Fact>& all, const char* key) {
    for (const Fact& f : all)
        if (f.key == key) return true;
    return false;
}

int needDescribe(const host::Plugin& p) {
    if (p.canDescribe) return 0;
    return fail(p, "", "", E_NOT_SUPPORTED, "the plug-in has no ImageInfoText and ValidateImageText exports");
}

int describe(const host::Plugin& p, const std::string& image, std::vector<Fact>& all) {
    std::string text;
    const int rc = host::imageInfoText(p, image, text);
    all = facts(text);
    if (rc == 0) return 0;
    const std::string why = rc == E_EOPEN ? host::whyNotReadable(image) : std::string();
    return fail(p, image, "", rc, why.empty() ? "" : "cannot open the image: " + why);
}

}  // namespace

int runDir(const host::Plugin& p, const Options& o) {
    if (int rc = needDescribe(p)) return rc;
    int firstFailure = 0;
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        std::vector<Fact> all;
        const int rc = describe(p, o.images[i], all);
        if (rc && !firstFailure) firstFailure = rc;
        if (rc && all.empty()) continue;
        headImage(o.images, i);
        // The header as the drive shows it: the title padded to 16 in quotes.
        // Archives of files have none.
        if (has(all, "title")) {
            const std::string titleText = shown(factValue(all, "title"));
            std::string line = "0 \"" + titleText + "\"";
            if (titleText.size() < 16) line.insert(line.size() - 1, 16 - titleText.size(), ' ');
            for (const char* key : {"id", "dos"})
                if (!factValue(all, key).empty()) line += " " + shown(factValue(all, key));
            std::printf("%s\n", line.c_str());
        }
        for (const Fact& f : all) {
            if (f.key != "file") continue;
            // BLOCKS, TYPE, NAME, then (newer plug-ins) the name as the drive
            // splits it: before the first 0xA0 in quotes, the rest after them.
            const std::vector<std::string> v = host::tabFields(f.value);
            if (v.size() < 3) continue;
            const std::string quoted =
                "\"" + shown(v.size() >= 5 ? v[3] : v[2]) + "\"" + (v.size() >= 5 ? shown(v[4]) : std::string());
            std::printf("%-5s%-19s%s\n", shown(v[0]).c_str(), quoted.c_str(), shown(v[1]).c_str());
        }
        if (!factValue(all, "blocksfree").empty())
            std::printf("%s BLOCKS FREE.\n", shown(factValue(all, "blocksfree")).c_str());
    }
    return firstFailure;
}

int runInfo(const host::Plugin& p, const Options& o) {
    if (int rc = needDescribe(p)) return rc;
    int firstFailure = 0;
    // JSON: one array, one object an image, whether one image is named or many.
    if (o.json) std::fputs("[", stdout);
    for (std::size_t i = 0; i < o.images.size(); ++i) {
        const std::string& image = o.images[i];
        std::vector<Fact> all;
        const int rc = describe(p, image, all);
        if (rc && !firstFailure) firstFailure = rc;
        auto value = [&](const char* key) { return factValue(all, key); };
        if (o.json) {
            std::printf("%s\n  {\"image\": %s", i ? "," : "", jsonString(image).c_str());
            if (rc) {
                std::printf(", \"error\": {\"code\": %d, \"name\": %s, \"message\": %s}}", rc,
                            jsonString(resultName(rc)).c_str(), jsonString(resultMeaning(rc)).c_str());
                continue;
            }
            auto num = [&](const char* key) { return value(key).empty() ? std::string("null") : value(key); };
            std::printf(", \"format\": %s, \"tracks\": %s, \"layout\": %s, \"errorBytes\": %s, \"title\": %s, "
                        "\"id\": %s, \"dos\": %s, \"files\": %s, \"blocksFree\": %s}",
                        jsonString(value("format")).c_str(), num("tracks").c_str(), jsonString(value("layout")).c_str(),
                        value("errorbytes") == "1" ? "true" : "false", jsonString(value("title")).c_str(),
                        jsonString(value("id")).c_str(), jsonString(value("dos")).c_str(), num("files").c_str(),
                        num("blocksfree").c_str());
            continue;
        }
        if (rc) continue;
        headImage(o.images, i);
        const char* const keys[][2] = {{"format", "format"},         {"tracks", "tracks"},
                                       {"layout", "40-track layout"}, {"errorbytes", "error bytes"},
                                       {"title", "title"},           {"id", "ID"},
                                       {"dos", "DOS type"},          {"files", "files"},
                                       {"blocksfree", "blocks free"}};
        for (const auto& k : keys) {
            std::string v = value(k[0]);
            if (v.empty() && std::strcmp(k[0], "title") != 0) continue;
            if (std::strcmp(k[0], "errorbytes") == 0) v = v == "1" ? "yes" : "no";
            std::printf("%-17s%s\n", (std::string(k[1]) + ":").c_str(), shown(v).c_str());
        }
    }
    if (o.json) std::fputs(o.images.empty() ? "]\n" : "\n]\n", stdout);
    return firstFailure;
}

int runValidate(const host::Plugin& p, const Options& o) {
    if (int rc = needDescribe(p)) return rc;
    const int mode = (o.repair ? VALIDATE_REPAIR : 0) | (o.freeUnused ? VALIDATE_FREE_UNUSED : 0) |
                     (o.strict ? VALIDATE_STRICT : 0);
    int firstFailure = 0;
    for (const std::string& image : o.images) {
        std::string text;
        const int rc = host::validateImageText(p, image, mode, text);
        int lines = 0, errorsLeft = -1, notesLeft = 0;
        bool repaired = false;
        for (const Fact& f : facts(text)) {
            const std::size_t tab = f.value.find('\t');
            if (f.key == "error" || f.key == "note") {
                ++lines;
                const std::string kind = f.value.substr(0, tab);
                // The BAM's own errors are what a repair mends; say so where it was not asked.
                const bool mendable = f.key == "error" && (kind == "bam-free" || kind == "bam-count");
                std::printf("%s: %s: %s%s\n", shown(image).c_str(), f.key.c_str(), shown(f.value.substr(tab + 1)).c_str(),
                            mendable && !o.repair ? " (ombrix validate --repair mends this)" : "");
            } else if (f.key == "freeing" || f.key == "repaired") {
                repaired = repaired || f.key == "repaired";
                std::printf("%s: %s: %s\n", shown(image).c_str(), f.key.c_str(), shown(f.value).c_str());
            } else if (f.key == "left" && tab != std::string::npos) {
                errorsLeft = std::atoi(f.value.substr(0, tab).c_str());
                notesLeft = std::atoi(f.value.substr(tab + 1).c_str());
            }
        }
        // A plug-in that does not count what is left: its result says.
        if (errorsLeft < 0) errorsLeft = rc == E_BAD_ARCHIVE ? 1 : 0;
        auto plural = [](int n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); };
        if (rc == 0 || rc == E_BAD_ARCHIVE) {
            std::string summary;
            if (errorsLeft == 0 && notesLeft == 0) summary = lines ? "consistent now" : "consistent";
            else if (errorsLeft == 0) summary = "no data at risk, " + plural(notesLeft, "note");
            else summary = plural(errorsLeft, "error") + " (data at risk), " + plural(notesLeft, "note");
            if (repaired && (errorsLeft || notesLeft)) summary += " left";
            std::printf("%s: %s\n", shown(image).c_str(), summary.c_str());
        } else {
            const std::string why = rc == E_EOPEN ? host::whyNotReadable(image) : std::string();
            fail(p, image, "", rc,
                 !why.empty()              ? "cannot open the image: " + why
                 : rc == E_NOT_SUPPORTED ? (o.repair ? "this kind of image is not repaired" : "tapes are not validated")
                                         : "");
        }
        if (rc && !firstFailure) firstFailure = rc;
    }
    return firstFailure;
}

}  // namespace cli
