// Process-wide switches read from ombrix.ini, and the settings file itself.
#pragma once

#include <cstdint>

#include "platform/platform.h"

extern std::int32_t showScratchedFiles;
extern std::int32_t showONLYScratchedFiles;
extern std::int32_t appendPrgExtension;
extern std::int32_t ignoreErrorTable;
extern std::int32_t eraseDeletedSectors;
// GEOS files are listed, extracted and packed as Convert (.cvt) files.
extern std::int32_t geosAsConvert;
// Files are listed as and extracted to PC64 files (name.p00 ...) that keep
// their exact CBM name and type.
extern std::int32_t extractAsPC64;

extern char settingsPath[platform::kMaxPath];
extern char samplePath[platform::kMaxPath];

// Records the directory the module was loaded from (where ombrix.sample lies).
void recordModuleDirectory(const void* anchor);

// Sets one switch by its ini key, as the settings file would (for hosts that
// pass a switch for one run); false for a key that is no switch.
bool setSwitch(const char* key, int value);

// logLevel key value -> log mask.
std::uint32_t logMaskForLevel(int level);

// Finds or creates the settings file beside the recommended ini name and reads
// the switches; then resets the new-image settings.
void loadSettings(const char* recommendedIniName);
