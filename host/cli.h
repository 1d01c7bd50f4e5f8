// The command line of `ombrix`: its options, its output and its commands,
// shared by the host's files (options.cpp, output.cpp, commands.cpp,
// images.cpp, describe.cpp). The plug-in is reached only through host.h.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

namespace cli {

// Exit statuses of our own, beside the plug-in's result codes.
constexpr int kExitNoMatch = 1;  // find found nothing (as grep)
constexpr int kExitUsage = 2;
constexpr int kExitNoPlugin = 3;

struct Options {
    // For every command.
    std::string plugin, ini;
    bool log = false, quiet = false, verbose = false;
    bool scratched = false, ignoreErrors = false;  // plug-in switches for this run
    std::string command;
    bool help = false, version = false;
    std::vector<std::string> operands;  // after the command, options taken out
    // The command's own.
    std::string dir;        // -C
    bool json = false, namesOnly = false;  // list --names
    bool repair = false, freeUnused = false, strict = false;
    bool move = false, lock = false, pc64 = false, toStdout = false;
    bool readOnly = false, foreground = false;
    std::string name, type;    // add: one-off files
    int recordLength = 0;      // add --type rel
    std::string settingsText;  // new-image values, "key=value" lines for the plug-in
    bool creationValues = false;  // values that only a new image takes
    std::string title, id;
    int tracks = 0;
    // From the operands.
    std::string image, pattern;
    std::vector<std::string> images, names;
};

// --- options.cpp ---
// 0 when the command line is understood (done: help or version printed),
// else the exit status after a usage error was said.
int parseArguments(const std::vector<std::string>& args, Options& o, bool& done);
// A usage mistake: one line naming it and where help is; returns 2.
int usageError(const std::string& why);

// --- output.cpp ---
// Text as plain output shows it: control characters and bytes that are not
// UTF-8 as \xHH. JSON strings: valid UTF-8, any other byte as Latin-1.
std::string shown(const std::string& text);
std::string jsonString(const std::string& text);
std::string hexText(const std::string& bytes);
// The plug-in's result code by its interface name, and its meaning.
std::string resultName(int code);
std::string resultMeaning(int code);
// "DEL" ... "REL" (CBM for a partition) of a type byte.
std::string typeName(int fileType);
// A file as a drive lists it: "NAME"TAIL TYPE (locked <, unclosed *).
std::string cbmFileText(const host::EntryFacts& e);
// What the plug-in said last about a failure; "" until the plug-in can tell.
std::string pluginReason(const host::Plugin& p);
// "ombrix: IMAGE: FILE: WORDS [E_NAME (N)]" on standard error; words "" for
// the code's own meaning. Returns code.
int fail(const host::Plugin& p, const std::string& image, const std::string& file, int code,
         const std::string& words = "");
// The code's meaning for a change of an image: a read-only kind says what to
// do instead.
std::string writeFailureWords(const host::Plugin& p, const std::string& image, int code);
// Several images: each one's block is headed by its name.
void headImage(const std::vector<std::string>& images, std::size_t index);
// "ombrix: WHAT" on standard error (a warning or a cause).
void say(const std::string& what);
// The kind of image as its name says (upper case, "" for none).
std::string extensionKind(const std::string& image);
bool isImageName(const std::string& name);
// The new-image kinds the plug-in makes, by extension.
bool isCreatableKind(const std::string& kind);
// Why an image of this name cannot be made or changed ("" when it can):
// read-only kinds, X64.
std::string notWritableWords(const std::string& kind, const std::string& image, bool creating);

// --- commands.cpp ---
// Every listed file of an image with its facts (ListEntriesText; a plug-in
// without it gives names and sizes through ReadHeader). The listing's result:
// 0, the open failure, or the code that ended it early.
int listFacts(const host::Plugin& p, const std::string& image, std::vector<host::EntryFacts>& files, bool& writable);
// The same, saying a failure (with the system's cause for 15).
int listFactsOrSay(const host::Plugin& p, const std::string& image, std::vector<host::EntryFacts>& files,
                   bool& writable);
// * and ? against a name, without regard to letter case.
bool matches(const char* pattern, const char* name);
// A file named by the user: its listed name or its CBM name as dir shows it.
bool matchesFile(const std::string& pattern, const host::EntryFacts& e);
int runList(const host::Plugin& p, const Options& o);
int runExtract(const host::Plugin& p, const Options& o);
int runTest(const host::Plugin& p, const Options& o);
int runAdd(const host::Plugin& p, const Options& o);
int runDelete(const host::Plugin& p, const Options& o);
int runRename(const host::Plugin& p, const Options& o);
int runFind(const host::Plugin& p, const Options& o);
// Hands the new-image values to the plug-in: 0, 2 for a value it refuses.
int applySettings(const host::Plugin& p, const Options& o);

// --- images.cpp ---
int runNew(const host::Plugin& p, const Options& o);
int runConvert(const host::Plugin& p, const Options& o);

// --- describe.cpp ---
int runDir(const host::Plugin& p, const Options& o);
int runInfo(const host::Plugin& p, const Options& o);
int runValidate(const host::Plugin& p, const Options& o);

// A private folder for files on their way, removed with what it holds.
// Made only when asked for (make): most runs need none.
struct ScratchFolder {
    std::string path, why;
    ScratchFolder() = default;
    ~ScratchFolder() {
        if (!path.empty()) host::removeScratchFolder(path);
    }
    bool make() {
        if (path.empty()) path = host::makeScratchFolder(why);
        return !path.empty();
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};

}  // namespace cli
