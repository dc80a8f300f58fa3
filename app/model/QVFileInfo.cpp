#include "model/QVFileInfo.h"

#include "tools/QVFileManager.h"
#include "tools/QVPrivateTools.h"
#include "tools/QVSingletonDateManage.h"

std::shared_ptr<QVFileInfo> QVFileInfo::shareFileInfo(const QVNasFileInfoPtr &info) {
    auto f = std::make_shared<QVFileInfo>();
    if (!info) return f;
    f->size = info->size;
    f->date = info->date;
    f->isFolder = info->isFolder;
    f->name = info->name;
    f->attrState = info->attrState;
    f->userId = info->userId;
    f->fileTagList = info->fileTagList;
    f->path = info->path;
    f->GPS_latitude = info->GPS_latitude;
    f->GPS_longtitude = info->GPS_longtitude;
    if (info->isFolder) {
        if (f->name.isEmpty()) f->name = QStringLiteral("Tessera");
        f->type = 6;
        f->m_default_imageName = QStringLiteral("file_folder");
        f->count = info->count;
        f->topImagePaths = info->topImagePaths;
    } else {
        const QVariantMap t = QVPrivateTools::JudgeReadFileType(f->name);
        f->type = t.value(QStringLiteral("FileType")).toLongLong();
        f->m_default_imageName = t.value(QStringLiteral("imagePath")).toString();
    }
    return f;
}

QString QVFileInfo::default_imageName() {
    if (!m_default_imageName)
        m_default_imageName = isFolder
                                  ? QStringLiteral("file_folder")
                                  : QVPrivateTools::JudgeReadFileType(name).value("imagePath").toString();
    return *m_default_imageName;
}

QString QVFileInfo::cacheName() {
    if (!m_cacheName)
        m_cacheName =
            QVFileManager::urlFormatAndMD5WithPath(QVFileManager::qvAnitFormatResultPath(path) + '+' +
                                                   QString::number(size) + '+' + QString::number(userId));
    return *m_cacheName;
}

QString QVFileInfo::thumbnail_path() {
    if (!m_thumbnail_path) m_thumbnail_path = QVFileManager::getCachesPathThumbnail() + '/' + cacheName();
    return *m_thumbnail_path;
}

namespace {
QString dateText(bool folder, uint64_t date) {
    const auto &f = folder ? QVSingletonDateManage::getCreateDateFormatter()
                           : QVSingletonDateManage::getModifyDateFormatter();
    return f.stringFromDate(QVSingletonDateManage::getSystemTimeZoneDate(static_cast<double>(date)));
}
}  // namespace

QString QVFileInfo::create_time() {
    if (!m_create_time) m_create_time = dateText(isFolder, date);
    return *m_create_time;
}

QString QVFileInfo::modify_time() {
    if (!m_modify_time) m_modify_time = dateText(isFolder, date);
    return *m_modify_time;
}

QString QVFileInfo::sizeStr() {
    if (!m_sizeStr) m_sizeStr = QVPrivateTools::formattedFileSize(size);
    return *m_sizeStr;
}

void QVFileInfo::encodeWithCoder(plat::KeyedArchiver &c) const {
    QVNasFileInfo::encodeWithCoder(c);
    c.encode(QStringLiteral("type"), type);
    if (!uuid.isEmpty()) c.encode(QStringLiteral("uuid"), uuid);
    const std::pair<const char *, const std::optional<QString> *> texts[] = {
        {"default_imageName", &m_default_imageName},
        {"thumbnail_path", &m_thumbnail_path},
        {"create_time", &m_create_time},
        {"modify_time", &m_modify_time},
        {"sizeStr", &m_sizeStr},
        {"cacheName", &m_cacheName}};
    for (const auto &[key, value] : texts)
        if (value->has_value()) c.encode(QString::fromLatin1(key), **value);
}

std::shared_ptr<QVFileInfo> QVFileInfo::initWithCoder(const plat::KeyedUnarchiver &c) {
    auto f = std::make_shared<QVFileInfo>();
    f->size = c.decodeUInt64(QStringLiteral("size"));
    f->date = c.decodeUInt64(QStringLiteral("date"));
    f->isFolder = c.decodeBool(QStringLiteral("isFolder"));
    f->name = c.decodeString(QStringLiteral("name"));
    f->path = c.decodeString(QStringLiteral("path"));
    f->count = c.decodeUInt32(QStringLiteral("count"));
    f->attrState = c.decodeBool(QStringLiteral("attrState"));
    f->userId = c.decodeInt64(QStringLiteral("userId"));
    f->fileTagList = c.decodeStringList(QStringLiteral("fileTagList"));
    f->type = c.decodeInt64(QStringLiteral("type"));
    f->uuid = c.decodeString(QStringLiteral("uuid"));
    const std::pair<const char *, std::optional<QString> *> texts[] = {
        {"default_imageName", &f->m_default_imageName},
        {"thumbnail_path", &f->m_thumbnail_path},
        {"create_time", &f->m_create_time},
        {"modify_time", &f->m_modify_time},
        {"sizeStr", &f->m_sizeStr},
        {"cacheName", &f->m_cacheName}};
    for (const auto &[key, value] : texts)
        if (c.containsValueForKey(QString::fromLatin1(key)))
            *value = c.decodeString(QString::fromLatin1(key));
    return f;
}

std::shared_ptr<QVNasFileInfo> QVFileInfo::clone() const {
    auto f = std::make_shared<QVFileInfo>();
    f->path = path;
    f->name = name;
    f->uuid = uuid;
    return f;
}
