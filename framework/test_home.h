// A private HOME for a test or benchmark process: a fresh folder under /tmp with the XDG folders in it,
// so that nothing the process stores touches the user's own files.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

// Makes "/tmp/qv-<name>-XXXXXX" with config, cache, data and runtime folders (0700) and points HOME and
// the XDG variables at them. The folder, or "" when it could not be made.
inline std::string enterPrivateHome(const std::string &name) {
    std::string tmpl = "/tmp/qv-" + name + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return {};
    for (const char *sub : {"/config", "/cache", "/data", "/runtime"}) mkdir((tmpl + sub).c_str(), 0700);
    setenv("HOME", tmpl.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (tmpl + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (tmpl + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (tmpl + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (tmpl + "/runtime").c_str(), 1);
    return tmpl;
}
