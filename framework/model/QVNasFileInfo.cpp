#include "model/QVNasFileInfo.h"

#include "model/ModelDescription.h"

void QVNasFileInfo::encodeWithCoder(plat::KeyedArchiver &c) const {
    c.encode(QStringLiteral("size"), size);
    c.encode(QStringLiteral("date"), date);
    c.encode(QStringLiteral("isFolder"), isFolder);
    c.encode(QStringLiteral("name"), name);
    c.encode(QStringLiteral("path"), path);
    c.encode(QStringLiteral("count"), count);
    c.encode(QStringLiteral("attrState"), attrState);
    c.encode(QStringLiteral("userId"), userId);
    c.encode(QStringLiteral("fileTagList"), fileTagList);
}

std::shared_ptr<QVNasFileInfo> QVNasFileInfo::initWithCoder(const plat::KeyedUnarchiver &c) {
    auto info = std::make_shared<QVNasFileInfo>();
    info->size = c.decodeUInt64(QStringLiteral("size"));
    info->date = c.decodeUInt64(QStringLiteral("date"));
    info->isFolder = c.decodeBool(QStringLiteral("isFolder"));
    info->name = c.decodeString(QStringLiteral("name"));
    info->path = c.decodeString(QStringLiteral("path"));
    info->count = c.decodeUInt32(QStringLiteral("count"));
    info->attrState = c.decodeBool(QStringLiteral("attrState"));
    info->userId = c.decodeInt64(QStringLiteral("userId"));
    info->fileTagList = c.decodeStringList(QStringLiteral("fileTagList"));
    return info;
}

QString QVNasFileInfo::debugDescription() const {
    return qvmodel::describe(kClassName, this,
                             {{"size", QString::number(size)},
                              {"date", QString::number(date)},
                              {"isFolder", QString::number(isFolder ? 1 : 0)},
                              {"name", name},
                              {"path", path},
                              {"count", QString::number(count)},
                              {"attrState", QString::number(attrState ? 1 : 0)},
                              {"userId", QString::number(userId)},
                              {"fileTagList", qvmodel::listText(fileTagList)}});
}

QDebug operator<<(QDebug d, const QVNasFileInfo &info) {
    return d.noquote() << info.debugDescription();
}
