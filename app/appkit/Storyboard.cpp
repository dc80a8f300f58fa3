#include "appkit/Storyboard.h"

#include <QHash>

namespace appkit {

// Defined by StoryboardTable.cpp: the built-in scenes.
QWidget *instantiateBuiltIn(const QString &storyboard, const QString &identifier);

namespace {
QHash<QString, Storyboard::Factory> &overrides() {
    static QHash<QString, Storyboard::Factory> h;
    return h;
}
QString key(const QString &s, const QString &i) {
    return s + QLatin1Char('/') + i;
}
}  // namespace

QWidget *Storyboard::instantiate(const QString &storyboard, const QString &identifier) {
    auto it = overrides().constFind(key(storyboard, identifier));
    if (it != overrides().constEnd()) return (*it)();
    return instantiateBuiltIn(storyboard, identifier);
}

void Storyboard::setFactory(const QString &storyboard, const QString &identifier, Factory factory) {
    if (factory)
        overrides().insert(key(storyboard, identifier), std::move(factory));
    else
        overrides().remove(key(storyboard, identifier));
}

void Storyboard::resetFactories() {
    overrides().clear();
}

void DeleteLater::operator()(QObject *o) const {
    if (o != nullptr) o->deleteLater();
}

}  // namespace appkit
