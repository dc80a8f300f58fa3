// Every folder the framework uses, from the XDG locations (a test's temporary HOME moves all of them).
#pragma once

#include <QString>

namespace plat {

class Paths final {
  public:
    Paths() = delete;
    static QString cacheLocation();    // $XDG_CACHE_HOME/<org>/<app>: the user's caches
    static QString appDataLocation();  // $XDG_DATA_HOME/<org>/<app>
    static QString documents();        // appDataLocation()/Documents
    static QString downloads();        // the user's download folder
};

}  // namespace plat
