// The debug description of the model classes: "<Class : 0x..., {key = value; ...}>", nil shown as "".
#pragma once

#include <QDebug>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace qvmodel {

using DescriptionFields = QList<QPair<QString, QString>>;

inline QString describe(const char *className, const void *self, const DescriptionFields &fields) {
    QStringList parts;
    for (const auto &f : fields) parts.append(f.first + QStringLiteral(" = ") + f.second + QLatin1Char(';'));
    return QStringLiteral("<%1 : %2, {%3}>")
        .arg(QLatin1String(className), QString::asprintf("%p", self), parts.join(QLatin1Char(' ')));
}

inline QString listText(const QStringList &list) {
    return QLatin1Char('(') + list.join(QStringLiteral(", ")) + QLatin1Char(')');
}

// The text that stands for a secret in descriptions.
inline QString redacted(bool present) {
    return present ? QStringLiteral("<redacted>") : QString();
}

}  // namespace qvmodel
