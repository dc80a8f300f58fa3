// One switch for every animation of our own widgets: tests turn it off so shows and hides are instant.
#pragma once

namespace appkit {

class Animations final {
  public:
    Animations() = delete;
    static bool enabled();
    static void setEnabled(bool on);
};

}  // namespace appkit
