// The settings file ombrix.ini, its sample, the log mask and the switches.
#include "core/settings.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/new_image_settings.h"

std::int32_t showScratchedFiles = 0;
std::int32_t showONLYScratchedFiles = 0;
std::int32_t appendPrgExtension = 0;
std::int32_t ignoreErrorTable = 0;
std::int32_t eraseDeletedSectors = 0;
std::int32_t geosAsConvert = 1;
std::int32_t extractAsPC64 = 0;

char settingsPath[platform::kMaxPath] = {};
char samplePath[platform::kMaxPath] = {};

namespace {
constexpr char kSection[] = "common";

// The switches by their ini keys, with their defaults.
struct Switch {
    const char* key;
    std::int32_t* value;
    int byDefault;
};
const Switch kSwitches[] = {
    {"showScratchedFiles", &showScratchedFiles, 0},   {"showONLYScratchedFiles", &showONLYScratchedFiles, 0},
    {"appendPrgExtension", &appendPrgExtension, 0},   {"ignoreErrorTable", &ignoreErrorTable, 0},
    {"eraseDeletedSectors", &eraseDeletedSectors, 0}, {"geosAsConvert", &geosAsConvert, 1},
    {"extractAsPC64", &extractAsPC64, 0},
};
constexpr int kSwitchCount = static_cast<int>(sizeof kSwitches / sizeof kSwitches[0]);
// Where the module lies is asked only when the sample is needed: a run that
// finds its settings file makes no call for it.
const void* moduleAnchor = nullptr;

// Appends separator + name; leaves the path as it was when it does not fit.
bool appendFileName(char* path, const char* name) {
    const std::size_t len = std::strlen(path);
    if (len == 0) return false;
    const std::size_t add = std::strlen(name);
    if (len + 1 + add >= platform::kMaxPath) return false;
    path[len] = platform::kPathSeparator;
    std::memcpy(path + len + 1, name, add + 1);
    return true;
}
}  // namespace

void recordModuleDirectory(const void* anchor) { moduleAnchor = anchor; }

namespace {
// Copies the sample to a new settings file: it lies beside the plug-in
// module, or, for a program with the plug-in linked in (<prefix>/bin), in
// <prefix>/lib/ombrix where the plug-in is installed.
bool copySample() {
    char moduleDir[platform::kMaxPath] = {};
    platform::moduleDirectory(moduleAnchor, moduleDir, sizeof moduleDir);
    logMessage(kLogTrace, "DllMain: dll dir is %s", moduleDir);
    for (const char* place : {"ombrix.sample", "../lib/ombrix/ombrix.sample"}) {
        std::memcpy(samplePath, moduleDir, sizeof samplePath);
        char name[64] = {};
        std::strncpy(name, place, sizeof name - 1);
        for (char& c : name)
            if (c == '/') c = platform::kPathSeparator;
        if (appendFileName(samplePath, name) && platform::copyFileNoOverwrite(samplePath, settingsPath)) return true;
    }
    return false;
}
}  // namespace

std::uint32_t logMaskForLevel(int level) {
    switch (level) {
    case 1: return 1;
    case 2: return 1 | 2;
    case 3: return 1 | 2 | 4;
    case 4: return 1 | 2 | 4 | 8;
    default: return 0;
    }
}

void loadSettings(const char* recommendedIniName) {
    logMessage(kLogTrace, "recommended ini file location: %s\n", recommendedIniName);

    std::memset(settingsPath, 0, sizeof settingsPath);
    std::strncpy(settingsPath, recommendedIniName, sizeof settingsPath - 1);
    // A host that recommends nothing would put the file at the root of the
    // file system: the user's own settings folder is the place then.
    if (settingsPath[0] == 0) {
        if (platform::userSettingsFolder(settingsPath, sizeof settingsPath))
            logMessage(kLogTrace, "new settings path is %s", settingsPath);
        else
            logMessage(kLogWarning, "invalid ini file location");
    } else if (char* sep = std::strrchr(settingsPath, platform::kPathSeparator)) {
        *sep = 0;
        logMessage(kLogTrace, "new settings path is %s", settingsPath);
    } else {
        logMessage(kLogWarning, "invalid ini file location");
    }
    appendFileName(settingsPath, "ombrix.ini");

    // Every key in one reading of the file: the log level, then the switches;
    // a missing file is made from the sample first (without any folder
    // nothing is created). Without a settings file every key takes its default.
    const char* keys[1 + kSwitchCount] = {"logLevel"};
    int values[1 + kSwitchCount] = {3};
    for (int k = 0; k < kSwitchCount; ++k) {
        keys[1 + k] = kSwitches[k].key;
        values[1 + k] = kSwitches[k].byDefault;
    }
    bool sampleCopyFailed = false;
    if (!platform::iniGetInts(settingsPath, kSection, keys, values, 1 + kSwitchCount) && settingsPath[0] != 0) {
        logMessage(kLogTrace, "%s not available -> creating from sample file", settingsPath);
        sampleCopyFailed = !copySample();
        if (!sampleCopyFailed) platform::iniGetInts(settingsPath, kSection, keys, values, 1 + kSwitchCount);
    }
    int level = values[0];
    // The command-line host's --log asks for every category this way.
    if (const char* forced = std::getenv("OMBRIX_LOGLEVEL"); forced && *forced) level = std::atoi(forced);
    logMask = logMaskForLevel(level);
    if (sampleCopyFailed) logMessage(kLogWarning, "can't create settings file %s", settingsPath);
    for (int k = 0; k < kSwitchCount; ++k) *kSwitches[k].value = values[1 + k];

    setNewImageDefaults();
}

bool setSwitch(const char* key, int value) {
    for (const Switch& s : kSwitches) {
        if (!key || std::strcmp(key, s.key) != 0) continue;
        *s.value = value;
        logMessage(kLogTrace, "switch %s = %d\n", key, value);
        return true;
    }
    return false;
}
