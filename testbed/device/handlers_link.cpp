// Link commands: 175 opens (with Connection: keep-alive) and closes pooled connections. The device answers
// both with a header-only envelope; counting is done by the device loop.
#include "handlers.h"

namespace qvemu {

void install_link_handlers(Device &device) {
    device.set_handler(175, [](Device &, const Request &) { return Reply{}; });
}

}  // namespace qvemu
