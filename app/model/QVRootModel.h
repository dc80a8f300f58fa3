// Two plain tree-node records.
#pragma once

#include <QString>
#include <QVariantList>

struct QVRootModel {
    QString name;
    bool isLeaf = false;
    QVariantList children;
};

struct QVLeafModel {
    QString leafName = QString(QLatin1String(""));
    bool hasChildren = false;
    QString imageName;
};
