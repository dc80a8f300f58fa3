#include "model/QVFileInfo.h"

#include "tools/QVFileManager.h"
#include "tools/QVPrivateTools.h"
#include "tools/QVSingletonDateManage.h"

QVFileInfo::QVFileInfo(const QVFileInfo &other)
    : QVNasFileInfo(other),
      type(other.type),
      uuid(other.uuid),
      isSearchResult(other.isSearchResult),
      isSelected(other.isSelected),
      m_default_imageName(other.m_default_imageName),
      m_texts(other.m_texts ? std::make_unique<Texts>(*other.m_texts) : nullptr) {}

QVFileInfo &QVFileInfo::operator=(const QVFileInfo &other) {
    if (this == &other) return *this;
    QVNasFileInfo::operator=(other);
    type = other.type;
    uuid = other.uuid;
    isSearchResult = other.isSearchResult;
    isSelected = other.isSelected;
    m_default_imageName = other.m_default_imageName;
    m_texts = other.m_texts ? std::make_unique<Texts>(*other.m_texts) : nullptr;
    return *this;
}

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
        const QVFileTypeInfo t = QVPrivateTools::fileTypeForName(f->name);
        f->type = t.fileType;
        f->m_default_imageName = t.imagePath;
    }
    return f;
}

QString QVFileInfo::default_imageName() {
    if (!m_default_imageName)
        m_default_imageName =
            isFolder ? QStringLiteral("file_folder") : QVPrivateTools::fileTypeForName(name).imagePath;
    return *m_default_imageName;
}

QString QVFileInfo::cacheName() {
    auto &v = texts().cacheName;
    if (!v)
        v = QVFileManager::urlFormatAndMD5WithPath(QVFileManager::qvAnitFormatResultPath(path) + '+' +
                                                   QString::number(size) + '+' + QString::number(userId));
    return *v;
}

QString QVFileInfo::thumbnail_path() {
    auto &v = texts().thumbnail_path;
    if (!v) v = QVFileManager::getCachesPathThumbnail() + '/' + cacheName();
    return *v;
}

namespace {
QString dateText(bool folder, uint64_t date) {
    const auto &f = folder ? QVSingletonDateManage::getCreateDateFormatter()
                           : QVSingletonDateManage::getModifyDateFormatter();
    return f.stringFromDate(QVSingletonDateManage::getSystemTimeZoneDate(static_cast<double>(date)));
}
}  // namespace

QString QVFileInfo::create_time() {
    auto &v = texts().create_time;
    if (!v) v = dateText(isFolder, date);
    return *v;
}

QString QVFileInfo::modify_time() {
    auto &v = texts().modify_time;
    if (!v) v = dateText(isFolder, date);
    return *v;
}

QString QVFileInfo::sizeStr() {
    auto &v = texts().sizeStr;
    if (!v) v = QVPrivateTools::formattedFileSize(size);
    return *v;
}

void QVFileInfo::encodeWithCoder(plat::KeyedArchiver &c) const {
    QVNasFileInfo::encodeWithCoder(c);
    c.encode(QStringLiteral("type"), type);
    if (!uuid.isEmpty()) c.encode(QStringLiteral("uuid"), uuid);
    const Texts none;
    const Texts &t = m_texts ? *m_texts : none;
    const std::pair<const char *, const std::optional<QString> *> fields[] = {
        {"default_imageName", &m_default_imageName},
        {"thumbnail_path", &t.thumbnail_path},
        {"create_time", &t.create_time},
        {"modify_time", &t.modify_time},
        {"sizeStr", &t.sizeStr},
        {"cacheName", &t.cacheName}};
    for (const auto &[key, value] : fields)
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
    if (c.containsValueForKey(QStringLiteral("default_imageName")))
        f->m_default_imageName = c.decodeString(QStringLiteral("default_imageName"));
    const std::pair<const char *, std::optional<QString> Texts::*> fields[] = {
        {"thumbnail_path", &Texts::thumbnail_path},
        {"create_time", &Texts::create_time},
        {"modify_time", &Texts::modify_time},
        {"sizeStr", &Texts::sizeStr},
        {"cacheName", &Texts::cacheName}};
    for (const auto &[key, member] : fields)
        if (c.containsValueForKey(QString::fromLatin1(key)))
            f->texts().*member = c.decodeString(QString::fromLatin1(key));
    return f;
}

std::shared_ptr<QVNasFileInfo> QVFileInfo::clone() const {
    auto f = std::make_shared<QVFileInfo>();
    f->path = path;
    f->name = name;
    f->uuid = uuid;
    return f;
}
