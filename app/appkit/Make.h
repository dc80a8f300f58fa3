// Creating controllers: construct, then run the set-up hooks once (never from a constructor, where a
// subclass's override would not yet be called).
#pragma once

#include <utility>

namespace appkit {

template <typename T, typename... Args>
T *make(Args &&...args) {
    T *c = new T(std::forward<Args>(args)...);
    c->myInit();
    c->viewDidLoad();
    return c;
}

}  // namespace appkit
