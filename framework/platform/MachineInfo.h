// Identity of this machine as the client shows it to devices: a stable id derived from the system's machine
// id (never the raw id), and a readable machine name.
#pragma once

#include <QString>
#include <QStringList>

namespace plat {

class MachineInfo final {
  public:
    MachineInfo() = delete;
    // 32 upper-case hex digits: HMAC-SHA256 keyed by the first readable, non-empty machine id of `idFiles`
    // over the application's fixed id, cut to 128 bits. With no readable id, a random one (callers keep
    // what they got). Reads files: never call it on the main thread.
    static QString hardwareUuid(const QStringList &idFiles = defaultIdFiles());
    static QStringList defaultIdFiles();
    // The host name, else the system's pretty name, else "Linux".
    static QString machineName();
};

}  // namespace plat
