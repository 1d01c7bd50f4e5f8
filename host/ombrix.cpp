// ombrix: a command-line host for the OMBRIX packer plug-in. It drives the
// plug-in's exports the way a file manager does: those of the plug-in linked
// into it, or with --plugin those of a plug-in file it loads. This file finds
// the plug-in and its settings and hands the command to its room.
#include <cstdio>
#include <string>

#include "host/cli.h"
#include "host/host.h"
#include "host/mount.h"

namespace {

using cli::kExitNoPlugin;
using host::kSep;

#if !defined(OMBRIX_LINKED_PLUGIN)
// A host loads the plug-in of its own bitness; 64-bit Windows hosts take ombrix.wcx64.
#ifdef _WIN64
constexpr char kPluginName[] = "ombrix.wcx64";
#else
constexpr char kPluginName[] = "ombrix.wcx";
#endif

// A host without the plug-in inside finds the plug-in beside it (a build
// folder), else where the Debian package puts it: <prefix>/lib/ombrix/.
std::string defaultPlugin() {
    const std::string dir = host::executableDirectory();
    const std::string beside = dir + kSep + kPluginName;
    const std::string installed = dir + kSep + ".." + kSep + "lib" + kSep + "ombrix" + kSep + kPluginName;
    for (const std::string& path : {beside, installed})
        if (host::whyNotReadable(path).empty()) return path;
    return beside;
}
#endif

#if defined(OMBRIX_LINKED_PLUGIN) && !defined(_WIN32) && !defined(OMBRIX_PLUGIN_LOADER)
// A static program cannot load a shared object reliably: --plugin hands the
// whole command to the dynamic host built beside it (installed in
// <prefix>/lib/ombrix/), which loads the file as a file manager does.
constexpr char kPluginHostName[] = "ombrix-plugin-host";

int runPluginHost(char** argv, const std::string& plugin) {
    const std::string dir = host::executableDirectory();
    for (const std::string& path : {dir + kSep + kPluginHostName,
                                    dir + kSep + ".." + kSep + "lib" + kSep + "ombrix" + kSep + kPluginHostName})
        host::replaceProcess(path, argv);
    std::fprintf(stderr, "ombrix: cannot load the plug-in %s: no %s beside ombrix\n", plugin.c_str(), kPluginHostName);
    return kExitNoPlugin;
}
#endif

// The settings name a file manager hands over: the plug-in keeps its
// ombrix.ini in that folder.
std::string defaultIni() {
#ifdef _WIN32
    const std::string base = host::environment("APPDATA");
    return (base.empty() ? std::string(".") : base) + "\\ombrix\\wcx.ini";
#else
    const std::string xdg = host::environment("XDG_CONFIG_HOME");
    if (!xdg.empty()) return xdg + "/ombrix/wcx.ini";
    const std::string home = host::environment("HOME");
    return (home.empty() ? std::string(".") : home) + "/.config/ombrix/wcx.ini";
#endif
}

bool namedOmbrixIni(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    std::string base = path.substr(cut == std::string::npos ? 0 : cut + 1);
    for (char& c : base) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return base == "ombrix.ini";
}

// The name for PackSetDefaultParams that makes the plug-in read `--ini FILE`:
// FILE's folder when FILE is an ombrix.ini (made from the sample when
// missing), a folder's ombrix.ini, a copy in the scratch folder for a
// settings file of another name. A missing FILE of another name is, as
// before, the name a file manager would hand over (ombrix.ini beside it).
std::string iniForPlugin(const std::string& ini, cli::ScratchFolder& scratch, int& status) {
    status = 0;
    if (ini.empty()) return defaultIni();
    if (host::isFolder(ini)) return ini + kSep + "wcx.ini";
    if (namedOmbrixIni(ini)) {
        const std::size_t cut = ini.find_last_of("/\\");
        return (cut == std::string::npos ? std::string(".") : ini.substr(0, cut)) + kSep + "wcx.ini";
    }
    if (!host::pathExists(ini)) return ini;
    std::string why;
    if (!scratch.make() || !host::copyFile(ini, scratch.path + kSep + "ombrix.ini", why)) {
        status = cli::usageError("cannot read the settings file " + ini + ": " + (why.empty() ? scratch.why : why));
        return "";
    }
    return scratch.path + kSep + "wcx.ini";
}

int runCommand(const host::Plugin& p, const cli::Options& o) {
    const std::string& c = o.command;
    if (c == "list") return cli::runList(p, o);
    if (c == "extract") return cli::runExtract(p, o);
    if (c == "test") return cli::runTest(p, o);
    if (c == "add") return cli::runAdd(p, o);
    if (c == "delete") return cli::runDelete(p, o);
    if (c == "rename") return cli::runRename(p, o);
    if (c == "new") return cli::runNew(p, o);
    if (c == "convert") return cli::runConvert(p, o);
    if (c == "dir") return cli::runDir(p, o);
    if (c == "info") return cli::runInfo(p, o);
    if (c == "validate") return cli::runValidate(p, o);
    if (c == "mount") return host::runMount(p, {o.image, o.dir, o.readOnly, o.foreground, o.log});
    return cli::runFind(p, o);
}

}  // namespace

int main(int argc, char** argv) {
    host::prepareOutput();
    cli::Options o;
    bool done = false;
    if (int rc = cli::parseArguments(host::arguments(argc, argv), o, done); rc != 0 || done) return rc;

    if (o.command == "unmount") return host::runUnmount(o.dir);
    if (o.log) {
        host::setEnvironment("OMBRIX_LOG", "-");
        host::setEnvironment("OMBRIX_LOGLEVEL", "4");
    }
    host::Plugin p;
    std::string why;
#ifdef OMBRIX_LINKED_PLUGIN
    const bool linked = o.plugin.empty();
    if (linked && !host::linkedPlugin(p, why)) {
        std::fprintf(stderr, "ombrix: the built-in plug-in is incomplete: %s\n", why.c_str());
        return kExitNoPlugin;
    }
#else
    const bool linked = false;
    if (o.plugin.empty()) o.plugin = defaultPlugin();
#endif
#if defined(OMBRIX_LINKED_PLUGIN) && !defined(_WIN32) && !defined(OMBRIX_PLUGIN_LOADER)
    if (!linked) return runPluginHost(argv, o.plugin);
#else
    if (!linked && !host::loadPlugin(o.plugin, p, why)) {
        std::fprintf(stderr, "ombrix: cannot load the plug-in %s: %s\n", cli::shown(o.plugin).c_str(), why.c_str());
        return kExitNoPlugin;
    }
#endif
    // The settings file is read when the defaults are handed over; a copy of
    // it is not needed after that.
    int status = 0;
    std::string ini;
    {
        cli::ScratchFolder iniScratch;
        ini = iniForPlugin(o.ini, iniScratch, status);
        if (status) return status;
        const std::size_t cut = ini.find_last_of(kSep);
        std::string ignored;
        if (cut != std::string::npos && cut > 0 && !host::isFolder(ini.substr(0, cut)))
            host::makeFolders(ini.substr(0, cut), ignored);
        host::setDefaultParams(p, ini);
    }
    for (const auto& [on, key] : {std::pair {o.scratched, "showScratchedFiles"}, std::pair {o.ignoreErrors, "ignoreErrorTable"}})
        if (on && host::setSwitch(p, key, 1) != 0)
            return cli::fail(p, "", "", E_NOT_SUPPORTED, std::string("this plug-in has no switch ") + key + " for a run");
    return runCommand(p, o);
}
