// The command line as GNU tools take it: options before or after the
// operands, "--opt=value" and "--opt value", "-Cdir" and "-C dir", bundled
// short flags ("-qf"), "--" before operands that start with a dash. An
// option the command does not take is refused, never taken for a name.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/cli.h"

#ifndef OMBRIX_VERSION
#define OMBRIX_VERSION "unknown"
#endif

namespace cli {

namespace {

struct CommandInfo {
    const char* name;
    const char* synopsis;  // after "ombrix "
    const char* text;      // lines without indentation
    bool newImageOptions;
};

const CommandInfo kCommands[] = {
    {"list", "list IMAGE... [--json] [--names]",
     "every file the plug-in reports: blocks, bytes, name\n"
     "(hidden: a scratched file that --scratched shows);\n"
     "--names: the names alone, one a line; --json:\n"
     "[{\"image\": ..., \"files\": [...]}, ...] for one image as\n"
     "for many\n",
     false},
    {"extract", "extract IMAGE [-C DIR] [-O] [--pc64] [NAME...]",
     "all files, or those NAME matches, into DIR (default:\n"
     "the current folder; made when missing); -O\n"
     "(--to-stdout): their bytes to standard output and\n"
     "nothing else; --pc64: each as a PC64 file (name.p00\n"
     "...) with its exact CBM name and type\n",
     false},
    {"test", "test IMAGE... [NAME...]",
     "read every file (or those NAME matches) as extraction\n"
     "would\n", false},
    {"add", "add IMAGE [-C DIR] [--move] [--name N --type T --lock] FILE...",
     "store the files (IMAGE is made when missing) under\n"
     "their base names: game.prg becomes the PRG file\n"
     "\"game\"; x.seq, x.usr and x.del SEQ, USR and DEL files;\n"
     "other names SEQ files. Each is said: game.prg ->\n"
     "\"game\" PRG. A FILE that is not absolute is read under\n"
     "DIR. --name N (one FILE), --type prg|seq|usr|del,\n"
     "--lock: exactly that CBM name, type, lock; --type rel\n"
     "--record-length N: a REL file of the FILE's records\n"
     "of N bytes. --move\n"
     "removes the files once the image is written\n",
     true},
    {"delete", "delete IMAGE NAME...","delete the files NAME matches, saying each; nothing\n"
     "when a NAME matches none\n",
     false},
    {"rename", "rename IMAGE NAME NEWNAME",
     "give the file NAME matches the CBM name (with .prg,\n"
     ".seq, .usr or .del also the type) that packing makes\n"
     "of NEWNAME; a file of that name and type goes\n",
     false},
    {"new", "new IMAGE [--title T] [--id ID] [--tracks 40]",
     "an empty image of the type its extension names (d64\n"
     "d71 d80 d81 d82 g64 g71)\n", true},
    {"convert", "convert SOURCE TARGET",
     "copy every file of any image into a new or existing\n"
     "disk image of any writable type: exact CBM names,\n"
     "types, lock and closed flags, GEOS files whole,\n"
     "directory order. What TARGET cannot take (a REL file,\n"
     "a name it holds already) is said, and nothing is\n"
     "written\n",
     true},
    {"dir", "dir IMAGE...",
     "the directory as the drive lists it: 0 \"TITLE\" ID DOS,\n"
     "blocks, \"name\" and type (* unclosed, < locked), N\n"
     "BLOCKS FREE.\n",
     false},
    {"info", "info IMAGE... [--json]",
     "format, tracks, 40-track layout, error bytes, title,\n"
     "ID, DOS type, files and blocks free\n",
     false},
    {"validate", "validate IMAGE... [--strict] [--repair [--free-unused]]",
     "check every structure against the BAM. \"error\" lines\n"
     "put data at risk: blocks in use that the BAM calls\n"
     "free, blocks shared by two structures, chains that\n"
     "loop or leave the disk, BAM counts unlike their\n"
     "bitmaps, a partition off the disk or over the\n"
     "directory track. \"note\" lines are what sound disks\n"
     "hold too: blocks marked used that no file uses\n"
     "(trackloaders, copy protections, CP/M), block counts\n"
     "unlike the file's. Exit 13 when errors are left, else\n"
     "0 (--strict: notes count too). --repair mends the\n"
     "errors in the BAM and keeps the blocks of notes marked\n"
     "used; --free-unused frees those as well, listing them\n"
     "before the write\n",
     false},
    {"find", "find PATTERN PATH...",
     "files whose listed or CBM name matches PATTERN (* and\n"
     "?, any letter case) in the images PATH names and in\n"
     "every image under the folders PATH names; exit 1 when\n"
     "none does\n",
     false},
    {"mount", "mount IMAGE DIR [--read-only] [-f]",
     "the image as a folder for every program (FUSE); it\n"
     "detaches once mounted (-f: stays in the foreground)\n",
     false},
    {"unmount", "unmount DIR","unmount it (as fusermount3 -u DIR)\n", false},
    {"help", "help [COMMAND]","this help, or the command's\n", false},
};

constexpr char kIntro[] =
    "Usage: ombrix [OPTION]... COMMAND ARGS\n"
    "List, extract, test, add, delete and rename the files of Commodore disk and\n"
    "tape images (D64, D71, D80, D81, D82, G64, G71, X64, T64) and file archives\n"
    "(Lynx, PC64), make new images and convert between them, through the OMBRIX\n"
    "packer plug-in, driving it as a file manager does.\n";

constexpr char kNames[] =
    "NAME is a listed name (game.prg, game~2.prg) or the CBM name as dir shows it\n"
    "(game), with * and ? patterns, in any letter case; a NAME that matches no\n"
    "file fails the command with 22.\n";

constexpr char kOptions[] =
    "Options (for every command, before or after it):\n"
    "  --plugin FILE           load the plug-in from FILE, as a file manager does,\n"
    "                          instead of using the one built into ombrix\n"
    "  --ini FILE              the settings file (ombrix.ini) to read; the default\n"
    "                          is ~/.config/ombrix/ombrix.ini, made from the sample\n"
    "  --scratched             also list scratched files (as hidden ones)\n"
    "  --ignore-errors         read blocks whose error byte marks them bad\n"
    "  --log                   show the plug-in's diagnostics on standard error\n"
    "  -q, --quiet             say nothing but failures\n"
    "  -v, --verbose           say more of each file (sizes, blocks)\n"
    "  -h, --help              show this help (after a command: its help) and exit\n"
    "  --version               show the version and exit\n"
    "  --                      what follows are operands, even with a leading -\n";

constexpr char kNewImageOptions[] =
    "New-image options (add, new, convert; checked as the settings dialog checks\n"
    "them, and refused for an image that exists):\n"
    "  --title TEXT            disk title (16 characters are kept)\n"
    "  --id XY                 disk ID (2 characters)\n"
    "  --dos GROUP=XY          DOS version of a format group\n"
    "  --tracks 35|40          a D64 of 40 tracks (SpeedDOS layout unless --forty)\n"
    "  --forty speeddos|dolphindos\n"
    "                          40-track D64 of that layout\n"
    "  --error-bytes           new images carry error bytes\n"
    "Writing options (add, convert):\n"
    "  --interleave GROUP=DIR,FILES\n"
    "                          interleaves (1 to 40; other numbers take the default)\n"
    "  --use-dir-track         the directory track takes data when all else is full\n"
    "  --from-track1           allocate upwards from track 1\n"
    "  GROUP is d64 (also D71), d80 (also D82) or d81.\n";

constexpr char kExitStatus[] =
    "Exit status:\n"
    "  0 on success; 1 when find matched nothing; 2 for a usage error; 3 when the\n"
    "  plug-in cannot be loaded; otherwise the plug-in's result code: 11 no memory\n"
    "  or no room, 12 bad data, 13 errors that put data at risk (validate), 14\n"
    "  unknown format, 15 cannot open, 16 cannot create, 18 read error, 19 write\n"
    "  error, 21 aborted, 22 no such file, 23 directory full, 24 not supported.\n"
    "  extract and test go on after a failing file and return the first failure.\n";

// Lines of text, each indented.
void printIndented(std::FILE* out, const char* text, int indent) {
    for (const char* p = text; *p;) {
        const char* end = std::strchr(p, '\n');
        if (!end) end = p + std::strlen(p);
        std::fprintf(out, "%*s%.*s\n", indent, "", static_cast<int>(end - p), p);
        p = *end ? end + 1 : end;
    }
}

const CommandInfo* commandInfo(const std::string& name) {
    for (const CommandInfo& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

void printHelp(const std::string& command) {
    if (const CommandInfo* c = commandInfo(command)) {
        std::printf("Usage: ombrix %s\n", c->synopsis);
        printIndented(stdout, c->text, 0);
        if (command == "extract" || command == "test" || command == "delete" || command == "rename")
            std::printf("\n%s", kNames);
        if (c->newImageOptions) std::printf("\n%s", kNewImageOptions);
        std::printf("\nOptions for every command: ombrix --help.\n");
        return;
    }
    std::fputs(kIntro, stdout);
    std::fputs("\nCommands:\n", stdout);
    for (const CommandInfo& c : kCommands) {
        if (std::strlen(c.synopsis) <= 22) {
            // The first line of the text beside the synopsis, as help2man likes it.
            const char* firstEnd = std::strchr(c.text, '\n');
            std::printf("  %-22s  %.*s\n", c.synopsis, static_cast<int>(firstEnd - c.text), c.text);
            printIndented(stdout, firstEnd + 1, 26);
        } else {
            std::printf("  %s\n", c.synopsis);
            printIndented(stdout, c.text, 26);
        }
    }
    std::printf("  list, test, dir, info and validate take several images; each one's block is\n"
                "  headed by its name.\n\n%s\n%s\n%s\n%s", kNames, kOptions, kNewImageOptions, kExitStatus);
}

struct OptionSpec {
    const char* name;
    char shortName;
    bool takesValue;
    const char* commands;  // "*": every command; else the commands, blank-separated
};

const OptionSpec kOptionSpecs[] = {
    {"plugin", 0, true, "*"},          {"ini", 0, true, "*"},           {"log", 0, false, "*"},
    {"quiet", 'q', false, "*"},        {"verbose", 'v', false, "*"},    {"scratched", 0, false, "*"},
    {"ignore-errors", 0, false, "*"},  {"help", 'h', false, "*"},       {"version", 0, false, "*"},
    {"json", 0, false, "list info"},   {"names", 0, false, "list"},     {"directory", 'C', true, "extract add"},
    {"pc64", 0, false, "extract"},     {"to-stdout", 'O', false, "extract"},
    {"move", 0, false, "add"},         {"name", 0, true, "add"},        {"type", 0, true, "add"},
    {"lock", 0, false, "add"},          {"record-length", 0, true, "add"},         {"title", 0, true, "add new convert"},
    {"id", 0, true, "add new convert"}, {"dos", 0, true, "add new convert"},
    {"tracks", 0, true, "add new convert"}, {"forty", 0, true, "add new convert"},
    {"error-bytes", 0, false, "add new convert"}, {"interleave", 0, true, "add convert"},
    {"use-dir-track", 0, false, "add convert"}, {"from-track1", 0, false, "add convert"},
    {"strict", 0, false, "validate"},  {"repair", 0, false, "validate"}, {"free-unused", 0, false, "validate"},
    {"read-only", 0, false, "mount"},  {"foreground", 'f', false, "mount"},
};

bool takesCommand(const OptionSpec& spec, const std::string& command) {
    if (std::strcmp(spec.commands, "*") == 0) return true;
    const std::string list = std::string(" ") + spec.commands + " ";
    return list.find(" " + command + " ") != std::string::npos;
}

struct GivenOption {
    const OptionSpec* spec;
    std::string value;
    std::string asTyped;
};

std::size_t characters(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

// One option into the options record; false after a usage error was said.
bool applyOption(const GivenOption& g, Options& o, int& status) {
    const std::string name = g.spec->name;
    const std::string& v = g.value;
    if (g.spec->takesValue && v.find_first_of("\r\n") != std::string::npos) {
        // One value a line for the plug-in: a line break would start another.
        status = usageError("a line break in the value of " + g.asTyped);
        return false;
    }
    if (name == "plugin") o.plugin = v;
    else if (name == "ini") o.ini = v;
    else if (name == "log") o.log = true;
    else if (name == "quiet") o.quiet = true;
    else if (name == "verbose") o.verbose = true;
    else if (name == "scratched") o.scratched = true;
    else if (name == "ignore-errors") o.ignoreErrors = true;
    else if (name == "help") o.help = true;
    else if (name == "version") o.version = true;
    else if (name == "json") o.json = true;
    else if (name == "names") o.namesOnly = true;
    else if (name == "directory") o.dir = v;
    else if (name == "pc64") o.pc64 = true;
    else if (name == "to-stdout") o.toStdout = true;
    else if (name == "move") o.move = true;
    else if (name == "name") o.name = v;
    else if (name == "lock") o.lock = true;
    else if (name == "strict") o.strict = true;
    else if (name == "repair") o.repair = true;
    else if (name == "free-unused") o.freeUnused = true;
    else if (name == "read-only") o.readOnly = true;
    else if (name == "foreground") o.foreground = true;
    else if (name == "type") {
        o.type = v;
        for (char& c : o.type) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (o.type != "prg" && o.type != "seq" && o.type != "usr" && o.type != "del" && o.type != "rel") {
            status = usageError("--type takes prg, seq, usr, del or rel, not '" + v + "'");
            return false;
        }
    } else if (name == "record-length") {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || n < 1 || n > 254) {
            status = usageError("--record-length takes 1 to 254 (bytes per record), not '" + v + "'");
            return false;
        }
        o.recordLength = static_cast<int>(n);
    } else if (name == "tracks") {
        if (v != "35" && v != "40") {
            status = usageError("--tracks takes 35 or 40, not '" + v + "'");
            return false;
        }
        o.tracks = v == "40" ? 40 : 35;
        o.creationValues = true;
    } else if (name == "title" || name == "id" || name == "dos" || name == "forty" || name == "interleave") {
        if (name == "title") {
            o.title = v;
            if (characters(v) > 16) say("warning: the title is cut to 16 characters: \"" + shown(v.substr(0, 16)) + "\"");
        }
        if (name == "id") {
            o.id = v;
            if (characters(v) > 2) say("warning: the ID is cut to 2 characters: \"" + shown(v.substr(0, 2)) + "\"");
        }
        if (name != "interleave") o.creationValues = true;
        o.settingsText += name + "=" + v + "\n";
    } else {  // error-bytes, use-dir-track, from-track1
        if (name == "error-bytes") o.creationValues = true;
        o.settingsText += name + "=1\n";
    }
    return true;
}

// The operands as the command takes them; 0 or the usage error's status.
int takeOperands(Options& o) {
    const std::string& c = o.command;
    std::vector<std::string>& a = o.operands;
    for (const std::string& s : a)
        if (s.empty()) return usageError("an empty name");
    auto need = [&](std::size_t least, std::size_t most, const char* what) {
        return a.size() >= least && a.size() <= most ? 0 : usageError(std::string(c) + " needs " + what);
    };
    constexpr std::size_t kAny = static_cast<std::size_t>(-1);
    if (c == "list" || c == "dir" || c == "info" || c == "validate") {
        if (int rc = need(1, kAny, "an image")) return rc;
        o.images = a;
    } else if (c == "test") {
        if (int rc = need(1, kAny, "an image")) return rc;
        // Images first, then names: the first operand without an image's
        // extension starts the names.
        std::size_t i = 0;
        while (i < a.size() && (i == 0 || isImageName(a[i]))) o.images.push_back(a[i++]);
        o.names.assign(a.begin() + static_cast<std::ptrdiff_t>(i), a.end());
    } else if (c == "extract" || c == "add" || c == "delete") {
        if (int rc = need(c == "extract" ? 1 : 2, kAny, c == "extract" ? "an image" : "an image and file names"))
            return rc;
        o.names.assign(a.begin() + 1, a.end());
    } else if (c == "rename") {
        if (int rc = need(3, 3, "an image, a file's name and the new name")) return rc;
        o.names.assign(a.begin() + 1, a.end());
    } else if (c == "new") {
        if (int rc = need(1, 1, "one image")) return rc;
    } else if (c == "convert") {
        if (int rc = need(2, 2, "a source and a target image")) return rc;
        o.images = a;
    } else if (c == "find") {
        if (int rc = need(2, kAny, "a pattern and at least one folder or image")) return rc;
        o.pattern = a[0];
        o.images.assign(a.begin() + 1, a.end());
    } else if (c == "mount") {
        if (int rc = need(2, 2, "an image and a folder")) return rc;
        o.dir = a[1];
    } else if (c == "unmount") {
        if (int rc = need(1, 1, "a folder")) return rc;
        o.dir = a[0];
    }
    if (!a.empty()) o.image = a[0];
    if (o.freeUnused && !o.repair) return usageError("--free-unused goes with --repair");
    if (!o.name.empty() && o.names.size() != 1) return usageError("--name names one file: give one FILE");
    if ((o.type == "rel") != (o.recordLength != 0))
        return usageError(o.recordLength ? "--record-length goes with --type rel"
                                         : "--type rel needs --record-length N: the bytes per record (1 to 254)");
    if (c == "add" && !o.name.empty() && characters(o.name) > 16)
        say("warning: the name is cut to 16 characters: \"" + shown(o.name.substr(0, 16)) + "\"");
    if (o.toStdout && o.pc64) return usageError("-O writes the files' bytes: it does not go with --pc64");
    return 0;
}

}  // namespace

int usageError(const std::string& why) {
    std::fprintf(stderr, "ombrix: %s\nTry 'ombrix --help' for more information.\n", shown(why).c_str());
    return kExitUsage;
}

int parseArguments(const std::vector<std::string>& args, Options& o, bool& done) {
    done = false;
    std::vector<GivenOption> given;
    bool operandsOnly = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (operandsOnly || a.size() < 2 || a[0] != '-') {
            if (o.command.empty()) o.command = a;
            else o.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            operandsOnly = true;
            continue;
        }
        if (a[1] == '-') {
            const std::size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& s : kOptionSpecs)
                if (name == s.name) spec = &s;
            if (!spec) return usageError("unknown option '" + a.substr(0, eq) + "'");
            GivenOption g {spec, "", "--" + name};
            if (spec->takesValue) {
                if (eq != std::string::npos) g.value = a.substr(eq + 1);
                else if (i + 1 < args.size()) g.value = args[++i];
                else return usageError("option '--" + name + "' needs a value");
            } else if (eq != std::string::npos) {
                return usageError("option '--" + name + "' takes no value");
            }
            given.push_back(g);
            continue;
        }
        // Short options, bundled; one that takes a value takes the rest.
        for (std::size_t k = 1; k < a.size(); ++k) {
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& s : kOptionSpecs)
                if (s.shortName == a[k]) spec = &s;
            if (!spec) return usageError(std::string("unknown option '-") + a[k] + "'");
            GivenOption g {spec, "", std::string("-") + a[k]};
            if (spec->takesValue) {
                if (k + 1 < a.size()) g.value = a.substr(k + 1);
                else if (i + 1 < args.size()) g.value = args[++i];
                else return usageError(std::string("option '-") + a[k] + "' needs a value");
                k = a.size();
            }
            given.push_back(g);
        }
    }
    if (o.command == "help") {
        printHelp(o.operands.empty() ? std::string() : o.operands[0]);
        done = true;
        return o.operands.empty() || commandInfo(o.operands[0]) ? 0 : usageError("unknown command '" + o.operands[0] + "'");
    }
    if (!o.command.empty() && !commandInfo(o.command)) return usageError("unknown command '" + o.command + "'");
    int status = 0;
    for (const GivenOption& g : given) {
        if (!o.command.empty() && !takesCommand(*g.spec, o.command))
            return usageError("option '" + g.asTyped + "' does not go with " + o.command);
        if (!applyOption(g, o, status)) return status;
    }
    if (o.help) {
        printHelp(o.command);
        done = true;
        return 0;
    }
    if (o.version) {
        std::printf("ombrix %s\n", OMBRIX_VERSION);
        done = true;
        return 0;
    }
    if (o.command.empty()) return usageError("no command given");
    return takeOperands(o);
}

}  // namespace cli
