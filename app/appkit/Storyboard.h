// Windows by storyboard and identifier, from one explicit table (StoryboardTable.cpp); tests may replace
// entries. The caller owns what it gets.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace appkit {

class Storyboard final {
  public:
    Storyboard() = delete;
    using Factory = std::function<QWidget *()>;

    // A new controller (top-level widget), or null for an unknown pair.
    static QWidget *instantiate(const QString &storyboard, const QString &identifier);
    template <typename T>
    static T *instantiateAs(const QString &storyboard, const QString &identifier) {
        QWidget *w = instantiate(storyboard, identifier);
        T *t = qobject_cast<T *>(w);
        if (t == nullptr) delete w;
        return t;
    }
    // Tests: replace (or, with an empty factory, restore) one entry.
    static void setFactory(const QString &storyboard, const QString &identifier, Factory factory);
    static void resetFactories();
};

// Deletes a window later: windows are often dropped from their own handlers.
struct DeleteLater {
    void operator()(QObject *o) const;
};
template <typename T>
using WindowPtr = std::unique_ptr<T, DeleteLater>;

}  // namespace appkit
