// The file-system host: `ombrix mount` shows an image as a folder (FUSE, on
// Linux), reaching it only through the plug-in's exports.
#pragma once

#include <string>

#include "host/host.h"

namespace host {

struct MountOptions {
    std::string image;
    std::string dir;
    bool readOnly = false;
    bool foreground = false;
    bool log = false;  // the plug-in's reasons on standard error
};

// Mounts the image on the folder and serves it until it is unmounted; 0, or
// the plug-in's result code when the image cannot be mounted.
int runMount(const Plugin& plugin, const MountOptions& options);
// fusermount3 -u DIR.
int runUnmount(const std::string& dir);

}  // namespace host
