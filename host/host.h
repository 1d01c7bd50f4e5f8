// The command-line host's two helpers: the plug-in, called the way a file
// manager calls it (the Unicode exports when it has them, on Windows), and
// the few system services the host needs. All text here is UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "plugin/wcx.h"

namespace host {

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

// --- the plug-in ---

// One file as the plug-in lists it.
struct Entry {
    std::string name;
    std::int64_t blocks = 0;
    std::int64_t bytes = 0;
    bool hidden = false;
};

struct PluginCalls;  // the exports found, in plugin.cpp
struct Plugin {
    PluginCalls* calls = nullptr;
    bool wide = false;  // the Unicode exports are used
    bool canPack = false, canDelete = false, canConfigure = false, canDescribe = false, canRename = false;
    bool canEntries = false;  // ListEntriesText and WriteEntriesText
};

// The plug-in's exports, from the plug-in linked into this program
// (OMBRIX_LINKED_PLUGIN) or from a plug-in file loaded as a file manager
// loads it (OMBRIX_PLUGIN_LOADER; always on Windows); false with the reason.
// Unicode exports are preferred unless OMBRIX_ANSI_EXPORTS is set (to drive
// an older host's way).
bool linkedPlugin(Plugin& plugin, std::string& why);
bool loadPlugin(const std::string& path, Plugin& plugin, std::string& why);
void setDefaultParams(const Plugin& plugin, const std::string& iniName);
// A handle, or null with the plug-in's open result.
void* openArchive(const Plugin& plugin, const std::string& image, int mode, int& result);
int readHeader(const Plugin& plugin, void* handle, Entry& entry);
// dest null: PK_SKIP.
int processFile(const Plugin& plugin, void* handle, int operation, const std::string* dest);
void closeArchive(const Plugin& plugin, void* handle);
int packFiles(const Plugin& plugin, const std::string& image, const std::string& srcDir,
              const std::vector<std::string>& names, int flags);
int deleteFiles(const Plugin& plugin, const std::string& image, const std::vector<std::string>& names);
// The fields of a line of the plug-in's text answers, split at tabs.
std::vector<std::string> tabFields(const std::string& line);
// A switch of the plug-in's settings file for this run (SetPackerSwitch):
// 0, or 24 when the plug-in has no such export or switch.
int setSwitch(const Plugin& plugin, const std::string& key, int value);
// 0, or the number of the first line the plug-in did not take.
int configureText(const Plugin& plugin, const std::string& lines);
// The disk as a whole, through the plug-in's extra exports (canDescribe):
// "key<TAB>value" lines; the result code as the plug-in gives it.
int imageInfoText(const Plugin& plugin, const std::string& image, std::string& text);
// mode: VALIDATE_* bits.
int validateImageText(const Plugin& plugin, const std::string& image, int mode, std::string& text);
// A listed file renamed in place through the plug-in's extra export (canRename).
// Why the plug-in's last call on this thread failed: its last error line,
// "" when it gave none (or has no LastErrorText export).
std::string lastErrorText(const Plugin& plugin);
int renameFile(const Plugin& plugin, const std::string& image, const std::string& oldName, const std::string& newName);

// One listed file by its entry (ListEntriesText): the key that names the
// entry across calls, the listed name, and what the entry holds.
struct EntryFacts {
    std::string key, name;
    int fileType = 0;        // the type byte: closed 0x80, locked 0x40
    std::string cbmName;     // the 16 name bytes as stored (0xA0-filled)
    std::int64_t blocks = 0, bytes = 0;
    bool hidden = false, locked = false, closed = true, geos = false, asConvert = false;
    bool folder = false;     // a folder: its files are listed under its name and '/'
    int recordLength = 0;
    // The name as the drive lists it: before its first 0xA0 (in the quotes)
    // and after it.
    std::string shownName, shownTail;
};
// writable: the plug-in writes this kind of image. The listing's result code.
int listEntries(const Plugin& plugin, const std::string& image, std::vector<EntryFacts>& files, bool& writable);
// Changes by key, one image write (see WriteEntriesText: "store KEY SOURCE",
// "add NAME", "exact TT NAMEHEX SOURCE [cvt]", "rename KEY HOSTNAME [KEY2]",
// "delete KEY", "folder PATH"; fields separated by tabs); keys: one per line, after the
// change. flags 1: create the image when it is missing.
constexpr int kWriteEntriesCreate = 1;
int writeEntries(const Plugin& plugin, const std::string& image, const std::string& srcDir,
                 const std::vector<std::string>& lines, int flags, std::vector<std::string>& keys);

// --- the system ---

// The command line as UTF-8 (Windows: the wide command line).
std::vector<std::string> arguments(int argc, char** argv);
// Output in UTF-8 also on a Windows console.
void prepareOutput();
std::string executableDirectory();
#ifndef _WIN32
// Runs another program in place of this one with the same arguments (argv[0]
// aside); returns only when it cannot be started.
void replaceProcess(const std::string& program, char** argv);
#endif
std::string environment(const char* name);
void setEnvironment(const char* name, const char* value);
std::FILE* openFile(const std::string& path, const char* mode);
bool isFolder(const std::string& path);
// Creates the folder and those above it; false with the system's reason.
bool makeFolders(const std::string& path, std::string& why);
// False with the reason when no file can be created in the folder.
bool folderWritable(const std::string& path, std::string& why);
// The files and folders directly in a folder (names only; "." and ".." left out).
bool listFolder(const std::string& path, std::vector<std::string>& files, std::vector<std::string>& folders);
// Why the file cannot be opened for reading ("" when it can).
std::string whyNotReadable(const std::string& path);
// Anything under this name (a dangling link too).
bool pathExists(const std::string& path);
bool isAbsolutePath(const std::string& path);
// Removes a file; false with the system's reason.
bool removePath(const std::string& path, std::string& why);
bool copyFile(const std::string& from, const std::string& to, std::string& why);
// A new private folder for temporary files ("" with the reason), and its
// removal with the files in it.
std::string makeScratchFolder(std::string& why);
void removeScratchFolder(const std::string& path);
// Standard output takes bytes as they are (Windows: no CRLF translation).
void binaryOutput();

}  // namespace host
