#include "appkit/Animations.h"

#include <atomic>

namespace appkit {

namespace {
std::atomic<bool> g_enabled{true};
}

bool Animations::enabled() {
    return g_enabled.load();
}
void Animations::setEnabled(bool on) {
    g_enabled.store(on);
}

}  // namespace appkit
