#include "platform/NetworkMonitor.h"

#include <QCoreApplication>
#include <QNetworkInformation>

#include "platform/Log.h"

namespace plat {

namespace {
NetworkMonitor::Status fromQt(QNetworkInformation::Reachability r) {
    switch (r) {
        case QNetworkInformation::Reachability::Online:
            return NetworkMonitor::Status::Online;
        case QNetworkInformation::Reachability::Local:
        case QNetworkInformation::Reachability::Site:
            return NetworkMonitor::Status::Local;
        case QNetworkInformation::Reachability::Disconnected:
            return NetworkMonitor::Status::Disconnected;
        case QNetworkInformation::Reachability::Unknown:
            break;
    }
    return NetworkMonitor::Status::Unknown;
}
}  // namespace

NetworkMonitor::NetworkMonitor() {
    if (QCoreApplication::instance() != nullptr) moveToThread(QCoreApplication::instance()->thread());
}

NetworkMonitor &NetworkMonitor::shared() {
    static auto *const s = new NetworkMonitor;  // never destroyed
    return *s;
}

void NetworkMonitor::startNotifier() {
    if (m_started) return;
    m_started = true;
    m_hasBackend = QNetworkInformation::loadDefaultBackend() ||
                   QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
    QNetworkInformation *info = QNetworkInformation::instance();
    if (!m_hasBackend || info == nullptr) {
        m_hasBackend = false;
        QVF_LOG_INFO(QStringLiteral("network monitor: no reachability backend, status unknown"));
        return;
    }
    apply(fromQt(info->reachability()));
    connect(info, &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability r) { apply(fromQt(r)); });
}

void NetworkMonitor::setStatusForTests(Status s) {
    apply(s);
}

void NetworkMonitor::addObserver(QObject *context, ChangeHandler handler) {
    m_observers.push_back({QPointer<QObject>(context), std::move(handler)});
}

void NetworkMonitor::apply(Status s) {
    if (s == m_status) return;
    const Status previous = m_status;
    m_status = s;
    std::erase_if(m_observers, [](const Observer &o) { return !o.context; });
    const auto observers = m_observers;  // a handler may add observers
    for (const Observer &o : observers)
        if (o.context && o.handler) o.handler(s, previous);
}

}  // namespace plat
