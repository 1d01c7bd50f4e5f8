// The host's side of the packer interface: the plug-in linked in, or loaded
// like a file manager loads it; either way one table of its entry points, and
// each call made in the form the plug-in offers. On Windows the Unicode
// exports take any path; the ANSI ones get the code page.
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#elif defined(OMBRIX_PLUGIN_LOADER)
#include <dlfcn.h>
#endif

#include "host/host.h"
#ifdef OMBRIX_LINKED_PLUGIN
#include "plugin/exports.h"
#endif

namespace host {

namespace {

using OpenArchiveFn = void*(WCX_API*)(tOpenArchiveData*);
using ReadHeaderFn = int(WCX_API*)(void*, tHeaderData*);
using ProcessFileFn = int(WCX_API*)(void*, int, char*, char*);
using CloseArchiveFn = int(WCX_API*)(void*);
using PackFilesFn = int(WCX_API*)(char*, char*, char*, char*, int);
using DeleteFilesFn = int(WCX_API*)(char*, char*);
using SetChangeVolProcFn = void(WCX_API*)(void*, tChangeVolProc);
using SetProcessDataProcFn = void(WCX_API*)(void*, tProcessDataProc);
using PackSetDefaultParamsFn = void(WCX_API*)(PackDefaultParamStruct*);
// Optional export for hosts without a window system: the new-image settings
// as "key=value" lines, run through the settings dialog's logic.
using ConfigurePackerTextFn = int(WCX_API*)(const char*);
// Optional exports for the disk as a whole (UTF-8 paths on every platform).
using ImageInfoTextFn = int(WCX_API*)(const char*, char*, int*);
using ValidateImageTextFn = int(WCX_API*)(const char*, int, char*, int*);
// Optional export for file-system hosts: a file renamed in place (UTF-8).
using RenameFileFn = int(WCX_API*)(const char*, const char*, const char*);
using SetPackerSwitchFn = int(WCX_API*)(const char*, int);
// Optional exports for hosts that hold files across calls: files by their keys.
using ListEntriesTextFn = int(WCX_API*)(const char*, char*, int*);
using WriteEntriesTextFn = int(WCX_API*)(const char*, const char*, const char*, int, char*, int*);
// Optional export: why the last call failed, as the plug-in logged it.
using LastErrorTextFn = int(WCX_API*)(char*, int*);
#ifdef _WIN32
using OpenArchiveWFn = void*(WCX_API*)(tOpenArchiveDataW*);
using ReadHeaderExWFn = int(WCX_API*)(void*, tHeaderDataExW*);
using ProcessFileWFn = int(WCX_API*)(void*, int, wchar_t*, wchar_t*);
using PackFilesWFn = int(WCX_API*)(wchar_t*, wchar_t*, wchar_t*, wchar_t*, int);
using DeleteFilesWFn = int(WCX_API*)(wchar_t*, wchar_t*);
using SetChangeVolProcWFn = void(WCX_API*)(void*, tChangeVolProcW);
using SetProcessDataProcWFn = void(WCX_API*)(void*, tProcessDataProcW);
#endif

}  // namespace

struct PluginCalls {
    OpenArchiveFn openArchive = nullptr;
    ReadHeaderFn readHeader = nullptr;
    ProcessFileFn processFile = nullptr;
    CloseArchiveFn closeArchive = nullptr;
    PackFilesFn packFiles = nullptr;
    DeleteFilesFn deleteFiles = nullptr;
    SetChangeVolProcFn setChangeVolProc = nullptr;
    SetProcessDataProcFn setProcessDataProc = nullptr;
    PackSetDefaultParamsFn packSetDefaultParams = nullptr;
    ConfigurePackerTextFn configurePackerText = nullptr;
    ImageInfoTextFn imageInfoText = nullptr;
    ValidateImageTextFn validateImageText = nullptr;
    RenameFileFn renameFile = nullptr;
    SetPackerSwitchFn setPackerSwitch = nullptr;
    ListEntriesTextFn listEntriesText = nullptr;
    WriteEntriesTextFn writeEntriesText = nullptr;
    LastErrorTextFn lastErrorText = nullptr;
#ifdef _WIN32
    OpenArchiveWFn openArchiveW = nullptr;
    ReadHeaderExWFn readHeaderExW = nullptr;
    ProcessFileWFn processFileW = nullptr;
    PackFilesWFn packFilesW = nullptr;
    DeleteFilesWFn deleteFilesW = nullptr;
    SetChangeVolProcWFn setChangeVolProcW = nullptr;
    SetProcessDataProcWFn setProcessDataProcW = nullptr;
#endif
};

namespace {

PluginCalls theCalls;

#ifdef _WIN32
std::wstring toWide(const std::string& text, UINT codePage = CP_UTF8) {
    const int n = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 1u, L'\0');
    if (n > 0) MultiByteToWideChar(codePage, 0, text.c_str(), -1, out.data(), n);
    out.resize(std::wcslen(out.c_str()));
    return out;
}

std::string fromWide(const wchar_t* text, UINT codePage = CP_UTF8) {
    const int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 1u, '\0');
    if (n > 0) WideCharToMultiByte(codePage, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// What the ANSI exports take and give: the system's code page.
std::string toAnsi(const std::string& text) { return fromWide(toWide(text).c_str(), CP_ACP); }
std::string fromAnsi(const char* text) { return fromWide(toWide(text, CP_ACP).c_str()); }

// Names in a list, each ending in a zero, the list in another.
std::wstring wideList(const std::vector<std::string>& names) {
    std::wstring list;
    for (const std::string& n : names) list += toWide(n) + L'\0';
    return list + L'\0';
}
#else
std::string toAnsi(const std::string& text) { return text; }
std::string fromAnsi(const char* text) { return text; }
#endif

std::vector<char> ansiList(const std::vector<std::string>& names) {
    std::vector<char> list;
    for (const std::string& n : names) {
        const std::string a = toAnsi(n);
        list.insert(list.end(), a.begin(), a.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

std::vector<char> writable(const std::string& text) {
    std::vector<char> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

}  // namespace

namespace {

// The table from a symbol lookup (a loaded module's, or the linked-in
// exports'); false when the packer interface's calls are not all there.
template <class Lookup>
bool fillCalls(Lookup sym, Plugin& plugin, std::string& why) {
    PluginCalls& c = theCalls;
    c.openArchive = reinterpret_cast<OpenArchiveFn>(sym("OpenArchive"));
    c.readHeader = reinterpret_cast<ReadHeaderFn>(sym("ReadHeader"));
    c.processFile = reinterpret_cast<ProcessFileFn>(sym("ProcessFile"));
    c.closeArchive = reinterpret_cast<CloseArchiveFn>(sym("CloseArchive"));
    c.packFiles = reinterpret_cast<PackFilesFn>(sym("PackFiles"));
    c.deleteFiles = reinterpret_cast<DeleteFilesFn>(sym("DeleteFiles"));
    c.setChangeVolProc = reinterpret_cast<SetChangeVolProcFn>(sym("SetChangeVolProc"));
    c.setProcessDataProc = reinterpret_cast<SetProcessDataProcFn>(sym("SetProcessDataProc"));
    c.packSetDefaultParams = reinterpret_cast<PackSetDefaultParamsFn>(sym("PackSetDefaultParams"));
    c.configurePackerText = reinterpret_cast<ConfigurePackerTextFn>(sym("ConfigurePackerText"));
    c.imageInfoText = reinterpret_cast<ImageInfoTextFn>(sym("ImageInfoText"));
    c.validateImageText = reinterpret_cast<ValidateImageTextFn>(sym("ValidateImageText"));
    c.renameFile = reinterpret_cast<RenameFileFn>(sym("RenameFile"));
    c.setPackerSwitch = reinterpret_cast<SetPackerSwitchFn>(sym("SetPackerSwitch"));
    c.listEntriesText = reinterpret_cast<ListEntriesTextFn>(sym("ListEntriesText"));
    c.writeEntriesText = reinterpret_cast<WriteEntriesTextFn>(sym("WriteEntriesText"));
    c.lastErrorText = reinterpret_cast<LastErrorTextFn>(sym("LastErrorText"));
#ifdef _WIN32
    c.openArchiveW = reinterpret_cast<OpenArchiveWFn>(sym("OpenArchiveW"));
    c.readHeaderExW = reinterpret_cast<ReadHeaderExWFn>(sym("ReadHeaderExW"));
    c.processFileW = reinterpret_cast<ProcessFileWFn>(sym("ProcessFileW"));
    c.packFilesW = reinterpret_cast<PackFilesWFn>(sym("PackFilesW"));
    c.deleteFilesW = reinterpret_cast<DeleteFilesWFn>(sym("DeleteFilesW"));
    c.setChangeVolProcW = reinterpret_cast<SetChangeVolProcWFn>(sym("SetChangeVolProcW"));
    c.setProcessDataProcW = reinterpret_cast<SetProcessDataProcWFn>(sym("SetProcessDataProcW"));
    // A file manager uses the Unicode forms whenever they are all there.
    plugin.wide = environment("OMBRIX_ANSI_EXPORTS").empty() && c.openArchiveW && c.readHeaderExW &&
                  c.processFileW && c.packFilesW && c.deleteFilesW;
#endif
    plugin.calls = &c;
    plugin.canPack = plugin.wide || c.packFiles;
    plugin.canDelete = plugin.wide || c.deleteFiles;
    plugin.canConfigure = c.configurePackerText != nullptr;
    plugin.canDescribe = c.imageInfoText && c.validateImageText;
    plugin.canRename = c.renameFile != nullptr;
    plugin.canEntries = c.listEntriesText && c.writeEntriesText;
    if (!(c.openArchive && c.readHeader && c.processFile && c.closeArchive)) {
        why = "it lacks the packer interface's exports";
        return false;
    }
    return true;
}

#ifdef OMBRIX_LINKED_PLUGIN
// The exports of the linked-in plug-in by their exported names: the same
// table, the same calls, no module to load.
struct LinkedExport {
    const char* name;
    void* address;
};
#define OMBRIX_EXPORT(name) {#name, reinterpret_cast<void*>(&::name)}
const LinkedExport kLinkedExports[] = {
    OMBRIX_EXPORT(OpenArchive),      OMBRIX_EXPORT(ReadHeader),          OMBRIX_EXPORT(ProcessFile),
    OMBRIX_EXPORT(CloseArchive),     OMBRIX_EXPORT(PackFiles),           OMBRIX_EXPORT(DeleteFiles),
    OMBRIX_EXPORT(SetChangeVolProc), OMBRIX_EXPORT(SetProcessDataProc),  OMBRIX_EXPORT(PackSetDefaultParams),
    OMBRIX_EXPORT(ConfigurePackerText), OMBRIX_EXPORT(ImageInfoText),    OMBRIX_EXPORT(ValidateImageText),
    OMBRIX_EXPORT(RenameFile),       OMBRIX_EXPORT(SetPackerSwitch),     OMBRIX_EXPORT(ListEntriesText),
    OMBRIX_EXPORT(WriteEntriesText), OMBRIX_EXPORT(LastErrorText),
#ifdef _WIN32
    OMBRIX_EXPORT(OpenArchiveW),     OMBRIX_EXPORT(ReadHeaderExW),       OMBRIX_EXPORT(ProcessFileW),
    OMBRIX_EXPORT(PackFilesW),       OMBRIX_EXPORT(DeleteFilesW),        OMBRIX_EXPORT(SetChangeVolProcW),
    OMBRIX_EXPORT(SetProcessDataProcW),
#endif
};
#undef OMBRIX_EXPORT
#endif

}  // namespace

#ifdef OMBRIX_LINKED_PLUGIN
bool linkedPlugin(Plugin& plugin, std::string& why) {
    auto sym = [](const char* name) -> void* {
        for (const LinkedExport& e : kLinkedExports)
            if (std::strcmp(e.name, name) == 0) return e.address;
        return nullptr;
    };
    return fillCalls(sym, plugin, why);
}
#endif

#if defined(_WIN32) || defined(OMBRIX_PLUGIN_LOADER)
bool loadPlugin(const std::string& path, Plugin& plugin, std::string& why) {
#ifdef _WIN32
    HMODULE module = LoadLibraryW(toWide(path).c_str());
    if (!module) {
        why = "Windows error " + std::to_string(GetLastError());
        return false;
    }
    auto sym = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
#else
    // Lazy binding: a short run resolves only the few calls it makes.
    void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
        const char* error = dlerror();
        why = error ? error : "unknown reason";
        return false;
    }
    auto sym = [&](const char* name) { return dlsym(module, name); };
#endif
    return fillCalls(sym, plugin, why);
}
#endif

void setDefaultParams(const Plugin& plugin, const std::string& iniName) {
    if (!plugin.calls->packSetDefaultParams) return;
    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    std::strncpy(dps.DefaultIniName, toAnsi(iniName).c_str(), sizeof dps.DefaultIniName - 1);
    plugin.calls->packSetDefaultParams(&dps);
}

void* openArchive(const Plugin& plugin, const std::string& image, int mode, int& result) {
    const PluginCalls& c = *plugin.calls;
    void* handle = nullptr;
#ifdef _WIN32
    if (plugin.wide) {
        std::wstring name = toWide(image);
        tOpenArchiveDataW data {};
        data.ArcName = name.data();
        data.OpenMode = mode;
        handle = c.openArchiveW(&data);
        result = handle ? 0 : (data.OpenResult ? data.OpenResult : E_EOPEN);
        if (handle && c.setChangeVolProcW) c.setChangeVolProcW(handle, nullptr);
        if (handle && c.setProcessDataProcW) c.setProcessDataProcW(handle, nullptr);
        return handle;
    }
#endif
    std::vector<char> name = writable(toAnsi(image));
    tOpenArchiveData data {};
    data.ArcName = name.data();
    data.OpenMode = mode;
    handle = c.openArchive(&data);
    result = handle ? 0 : (data.OpenResult ? data.OpenResult : E_EOPEN);
    if (handle && c.setChangeVolProc) c.setChangeVolProc(handle, nullptr);
    if (handle && c.setProcessDataProc) c.setProcessDataProc(handle, nullptr);
    return handle;
}

namespace {
bool isHidden(std::int32_t attr) {
#ifdef _WIN32
    return (attr & 2) != 0;
#else
    return (attr & 0170000) != 0 && (attr & 0200) == 0;
#endif
}
}  // namespace

int readHeader(const Plugin& plugin, void* handle, Entry& entry) {
#ifdef _WIN32
    if (plugin.wide) {
        tHeaderDataExW header {};
        const int rc = plugin.calls->readHeaderExW(handle, &header);
        if (rc == 0) {
            header.FileName[1023] = 0;
            entry = {fromWide(header.FileName),
                     static_cast<std::int64_t>(header.PackSize) | static_cast<std::int64_t>(header.PackSizeHigh) << 32,
                     static_cast<std::int64_t>(header.UnpSize) | static_cast<std::int64_t>(header.UnpSizeHigh) << 32,
                     isHidden(header.FileAttr)};
        }
        return rc;
    }
#endif
    tHeaderData header {};
    const int rc = plugin.calls->readHeader(handle, &header);
    if (rc == 0) {
        header.FileName[sizeof header.FileName - 1] = 0;
        entry = {fromAnsi(header.FileName), header.PackSize, header.UnpSize, isHidden(header.FileAttr)};
    }
    return rc;
}

int processFile(const Plugin& plugin, void* handle, int operation, const std::string* dest) {
#ifdef _WIN32
    if (plugin.wide) {
        std::wstring target = dest ? toWide(*dest) : std::wstring();
        return plugin.calls->processFileW(handle, operation, nullptr, dest ? target.data() : nullptr);
    }
#endif
    std::vector<char> target = writable(dest ? toAnsi(*dest) : std::string());
    return plugin.calls->processFile(handle, operation, nullptr, dest ? target.data() : nullptr);
}

void closeArchive(const Plugin& plugin, void* handle) { plugin.calls->closeArchive(handle); }

int packFiles(const Plugin& plugin, const std::string& image, const std::string& srcDir,
              const std::vector<std::string>& names, int flags) {
#ifdef _WIN32
    if (plugin.wide) {
        std::wstring img = toWide(image), src = toWide(srcDir), list = wideList(names);
        return plugin.calls->packFilesW(img.data(), nullptr, src.data(), list.data(), flags);
    }
#endif
    std::vector<char> img = writable(toAnsi(image)), src = writable(toAnsi(srcDir)), list = ansiList(names);
    return plugin.calls->packFiles(img.data(), nullptr, src.data(), list.data(), flags);
}

int deleteFiles(const Plugin& plugin, const std::string& image, const std::vector<std::string>& names) {
#ifdef _WIN32
    if (plugin.wide) {
        std::wstring img = toWide(image), list = wideList(names);
        return plugin.calls->deleteFilesW(img.data(), list.data());
    }
#endif
    std::vector<char> img = writable(toAnsi(image)), list = ansiList(names);
    return plugin.calls->deleteFiles(img.data(), list.data());
}

int setSwitch(const Plugin& plugin, const std::string& key, int value) {
    if (!plugin.calls->setPackerSwitch) return E_NOT_SUPPORTED;
    return plugin.calls->setPackerSwitch(key.c_str(), value);
}

int configureText(const Plugin& plugin, const std::string& lines) {
    return plugin.calls->configurePackerText(lines.c_str());
}

namespace {
// The texts are small (a few KiB for a full D82); a cut one is asked again
// in full, except for a repair, which must not run twice.
template <class Call>
int textCall(Call call, std::string& text, bool once) {
    std::vector<char> buffer(64 * 1024);
    int size = static_cast<int>(buffer.size());
    int rc = call(buffer.data(), &size);
    if (size > static_cast<int>(buffer.size()) && !once) {
        buffer.assign(static_cast<std::size_t>(size), 0);
        rc = call(buffer.data(), &size);
    }
    buffer.back() = 0;
    text = buffer.data();
    return rc;
}
}  // namespace

int imageInfoText(const Plugin& plugin, const std::string& image, std::string& text) {
    return textCall([&](char* b, int* n) { return plugin.calls->imageInfoText(image.c_str(), b, n); }, text, false);
}

int renameFile(const Plugin& plugin, const std::string& image, const std::string& oldName, const std::string& newName) {
    return plugin.calls->renameFile(image.c_str(), oldName.c_str(), newName.c_str());
}

std::vector<std::string> tabFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
        if (tab == std::string::npos) return fields;
        from = tab + 1;
    }
}

namespace {
int hexValue(const std::string& text) { return static_cast<int>(std::strtol(text.c_str(), nullptr, 16)); }
}  // namespace

int listEntries(const Plugin& plugin, const std::string& image, std::vector<EntryFacts>& files, bool& writable) {
    files.clear();
    writable = false;
    std::string text;
    const int rc =
        textCall([&](char* b, int* n) { return plugin.calls->listEntriesText(image.c_str(), b, n); }, text, false);
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        const std::vector<std::string> f = tabFields(text.substr(from, end - from));
        from = end + 1;
        if (f.size() == 3 && f[0] == "image" && f[1] == "writable") writable = f[2] == "1";
        if (f.size() < 9 || f[0] != "entry") continue;
        EntryFacts e;
        e.key = f[1];
        e.name = f[2];
        e.fileType = hexValue(f[3]);
        for (std::size_t i = 0; i + 1 < f[4].size(); i += 2)
            e.cbmName += static_cast<char>(hexValue(f[4].substr(i, 2)));
        e.blocks = std::strtoll(f[5].c_str(), nullptr, 10);
        e.bytes = std::strtoll(f[6].c_str(), nullptr, 10);
        e.hidden = f[7].find('h') != std::string::npos;
        e.locked = f[7].find('l') != std::string::npos;
        e.folder = f[7].find('d') != std::string::npos;
        e.closed = f[7].find('o') == std::string::npos;
        e.geos = f[7].find('g') != std::string::npos;
        e.asConvert = f[7].find('c') != std::string::npos;
        e.recordLength = std::atoi(f[8].c_str());
        if (f.size() >= 11) {
            e.shownName = f[9];
            e.shownTail = f[10];
        }
        files.push_back(std::move(e));
    }
    return rc;
}

int writeEntries(const Plugin& plugin, const std::string& image, const std::string& srcDir,
                 const std::vector<std::string>& lines, int flags, std::vector<std::string>& keys) {
    keys.clear();
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    std::string text;
    const int rc = textCall(
        [&](char* b, int* n) {
            return plugin.calls->writeEntriesText(image.c_str(), srcDir.c_str(), all.c_str(), flags, b, n);
        },
        text, true);
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        keys.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return rc;
}

std::string lastErrorText(const Plugin& plugin) {
    if (!plugin.calls->lastErrorText) return std::string();
    std::string text;
    textCall([&](char* b, int* n) { return plugin.calls->lastErrorText(b, n); }, text, true);
    return text;
}

int validateImageText(const Plugin& plugin, const std::string& image, int mode, std::string& text) {
    return textCall([&](char* b, int* n) { return plugin.calls->validateImageText(image.c_str(), mode, b, n); },
                    text, (mode & VALIDATE_REPAIR) != 0);
}

}  // namespace host
