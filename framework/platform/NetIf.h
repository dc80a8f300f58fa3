// The local IPv4 broadcast address that LAN discovery searches on. The interfaces come from getifaddrs();
// tests install a fake list.
#pragma once

#include <QList>
#include <QString>
#include <memory>
#include <optional>

namespace plat {

struct NetIfEntry {
    QString name;        // as the system names it ("eth0", an alias "eth0:1")
    unsigned flags = 0;  // IFF_* bits
    QString address;     // dotted IPv4
    QString broadcast;   // dotted IPv4; empty without one
};

class NetIf {
  public:
    virtual ~NetIf() = default;
    // The IPv4 interfaces in the system's order (one entry per address).
    virtual QList<NetIfEntry> interfaces() const;
    // The broadcast address of the first interface that is up, has a link (IFF_RUNNING: an unplugged
    // cable or a veth whose peer is down does not count), is not the loopback and has a broadcast
    // address; none when no interface qualifies.
    std::optional<QString> broadcastAddress() const { return pickBroadcast(interfaces()); }
    static std::optional<QString> pickBroadcast(const QList<NetIfEntry> &entries);

    // The interface source in use: the system's unless a test installed another.
    static const NetIf &current();
    static void setCurrent(std::shared_ptr<NetIf> netIf);  // null: back to the system's
};

// A fixed interface list (tests).
class FakeNetIf final : public NetIf {
  public:
    explicit FakeNetIf(QList<NetIfEntry> entries = {}) : m_entries(std::move(entries)) {}
    QList<NetIfEntry> interfaces() const override { return m_entries; }

  private:
    QList<NetIfEntry> m_entries;
};

}  // namespace plat
