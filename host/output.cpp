// What ombrix says: plain text that no name can turn into terminal controls,
// JSON strings, files as a drive lists them, and failures in words with the
// plug-in's code behind them.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/cli.h"

namespace cli {

namespace {

struct ResultText {
    int code;
    const char* name;
    const char* meaning;
};
constexpr ResultText kResultTexts[] = {
    {E_END_ARCHIVE, "E_END_ARCHIVE", "no more files"},
    {E_NO_MEMORY, "E_NO_MEMORY", "not enough memory or room in the image"},
    {E_BAD_DATA, "E_BAD_DATA", "bad data: a structure of the image is damaged (ombrix validate shows it)"},
    {E_BAD_ARCHIVE, "E_BAD_ARCHIVE", "damaged image (ombrix validate shows where)"},
    {E_UNKNOWN_FORMAT, "E_UNKNOWN_FORMAT", "not an image the plug-in knows (its size or content tells no format)"},
    {E_EOPEN, "E_EOPEN", "cannot open the file"},
    {E_ECREATE, "E_ECREATE", "cannot create the file"},
    {E_ECLOSE, "E_ECLOSE", "cannot close the file"},
    {E_EREAD, "E_EREAD", "read error"},
    {E_EWRITE, "E_EWRITE", "write error"},
    {E_SMALL_BUF, "E_SMALL_BUF", "buffer too small"},
    {E_EABORTED, "E_EABORTED", "aborted"},
    {E_NO_FILES, "E_NO_FILES", "no such file"},
    {E_TOO_MANY_FILES, "E_TOO_MANY_FILES", "the directory is full: no more files fit in this image"},
    {E_NOT_SUPPORTED, "E_NOT_SUPPORTED", "not supported"},
};

const ResultText* resultText(int code) {
    for (const ResultText& r : kResultTexts)
        if (r.code == code) return &r;
    return nullptr;
}

// Length of the UTF-8 sequence at p (ASCII: 1), 0 when it is none: overlong
// forms, surrogates and code points beyond U+10FFFF are not UTF-8 either.
int utf8Length(const unsigned char* p) {
    const unsigned c = p[0];
    if (c < 0x80) return 1;
    int len = 0;
    unsigned code = 0, least = 0;
    if (c >= 0xC2 && c <= 0xDF) len = 2, code = c & 0x1F, least = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, code = c & 0x0F, least = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, code = c & 0x07, least = 0x10000;
    else return 0;
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return len;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

// The format an existing image holds (ImageInfoText), else its extension's.
std::string formatOf(const host::Plugin& p, const std::string& image) {
    std::string text;
    if (p.canDescribe && host::pathExists(image) && host::imageInfoText(p, image, text) == 0) {
        const std::size_t at = text.find("format\t");
        if (at != std::string::npos) {
            std::string format = text.substr(at + 7, text.find('\n', at) - at - 7);
            if (format == "LNX") return "LNX";
            if (format.rfind("X64", 0) == 0) return "X64";
            return format;
        }
    }
    return extensionKind(image);
}

}  // namespace

std::string shown(const std::string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (*p) {
        const int len = utf8Length(p);
        const bool control = *p < 0x20 || *p == 0x7F || (len == 2 && p[0] == 0xC2 && p[1] < 0xA0);
        if (len > 0 && !control) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
            p += len;
            continue;
        }
        for (int i = 0; i < (len > 0 ? len : 1); ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", p[i]);
            out += hex;
        }
        p += len > 0 ? len : 1;
    }
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (*p) {
        const unsigned char c = *p;
        const int len = utf8Length(p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (len > 0) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
            p += len;
            continue;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        ++p;
    }
    return out + "\"";
}

std::string hexText(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

std::string resultName(int code) {
    const ResultText* r = resultText(code);
    return r ? r->name : "E_UNKNOWN";
}

std::string resultMeaning(int code) {
    const ResultText* r = resultText(code);
    return r ? r->meaning : "unknown error";
}

std::string typeName(int fileType) {
    static const char* const kNames[] = {"DEL", "SEQ", "PRG", "USR", "REL", "CBM", "???", "???"};
    return kNames[fileType & 7];
}

std::string cbmFileText(const host::EntryFacts& e) {
    const std::string name = e.shownName.empty() && e.shownTail.empty() ? e.name : e.shownName;
    return "\"" + shown(name) + "\"" + shown(e.shownTail) + " " + (e.closed ? "" : "*") + typeName(e.fileType) +
           (e.locked ? "<" : "");
}

std::string pluginReason(const host::Plugin& p) {
    // The plug-in's own last error line on this thread (its LastErrorText
    // export): the block and the drive's error of a read error, say.
    // Its bare lines on a failed system call ("error CreateFile 2") say less
    // than the system's own cause, which the host gives already.
    const std::string reason = host::lastErrorText(p);
    return reason.rfind("error ", 0) == 0 ? std::string() : reason;
}

void headImage(const std::vector<std::string>& images, std::size_t index) {
    if (images.size() > 1) std::printf("%s%s:\n", index ? "\n" : "", shown(images[index]).c_str());
}

void say(const std::string& what) { std::fprintf(stderr, "ombrix: %s\n", what.c_str()); }

int fail(const host::Plugin& p, const std::string& image, const std::string& file, int code, const std::string& words) {
    const ResultText* r = resultText(code);
    std::string line = "ombrix: ";
    if (!image.empty()) line += shown(image) + ": ";
    if (!file.empty()) line += shown(file) + ": ";
    line += words.empty() ? (r ? r->meaning : "unknown error") : words;
    const std::string reason = pluginReason(p);
    if (!reason.empty()) line += " (" + shown(reason) + ")";
    line += std::string(" [") + (r ? r->name : "E_UNKNOWN") + " (" + std::to_string(code) + ")]";
    std::fprintf(stderr, "%s\n", line.c_str());
    return code;
}

std::string extensionKind(const std::string& image) {
    const std::size_t slash = image.find_last_of("/\\");
    const std::size_t dot = image.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    const std::string ext = upper(image.substr(dot + 1));
    // The disk formats before PC64's numbered .d00-.d99.
    for (const char* disk : {"D64", "D71", "D80", "D81", "D82"})
        if (ext == disk) return ext;
    if (ext.size() == 3 && std::strchr("PSURD", ext[0]) && ext[1] >= '0' && ext[1] <= '9' && ext[2] >= '0' &&
        ext[2] <= '9')
        return "PC64";
    return ext;
}

bool isImageName(const std::string& name) {
    const std::string kind = extensionKind(name);
    for (const char* known : {"D64", "D71", "D80", "D81", "D82", "T64", "G64", "G71", "X64", "LNX", "PC64"})
        if (kind == known) return true;
    for (const char* cmd : {"DNP", "D1M", "D2M", "D4M"})
        if (kind == cmd) return true;
    return false;
}

bool isCreatableKind(const std::string& kind) {
    for (const char* known : {"D64", "D71", "D80", "D81", "D82", "G64", "G71"})
        if (kind == known) return true;
    for (const char* cmd : {"DNP", "D1M", "D2M", "D4M"})
        if (kind == cmd) return true;
    return false;
}

std::string notWritableWords(const std::string& kind, const std::string& image, bool creating) {
    const std::string convert = " (or: ombrix convert " + image + " new.d64)";
    if (kind == "T64") return "T64 images are read only: extract the files and add them to a .d64" + convert;
    if (kind == "LNX") return "Lynx archives are read only: extract the files and add them to a .d64" + convert;
    if (kind == "PC64") return "PC64 files are read only: add the file to a disk image (ombrix add disk.d64 " + image + ")";
    if (!creating) return "";
    if (kind == "X64") return "new X64 images are not made: name the image .d64, .d71, .d80, .d81, .d82, .g64 or .g71";
    if (!isCreatableKind(kind))
        return "no image of this name is made: name it .d64, .d71, .d80, .d81, .d82, .g64, .g71, .dnp, .d1m, .d2m or .d4m";
    return "";
}

std::string writeFailureWords(const host::Plugin& p, const std::string& image, int code) {
    if (code == E_NOT_SUPPORTED) {
        const std::string words = notWritableWords(formatOf(p, image), image, !host::pathExists(image));
        return words.empty() ? "not supported: the plug-in does not write this image or file (a locked file, a "
                               "40-track image of unknown layout, a damaged track of a G64)"
                             : words;
    }
    if (code == E_NO_MEMORY) return "not enough room in the image: delete files or take a larger format (.d81)";
    if (code == E_EWRITE) return "cannot write the image (it is left as it was)";
    if (code == E_BAD_DATA)
        return "the image's directory or BAM shares a block with a file: writing would damage it "
               "(ombrix validate shows the block)";
    return "";
}

}  // namespace cli
