// The application's file entry: a device (or local) entry with its file type, image, cache names and the
// texts of the list columns, computed on first read and kept.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "model/QVNasFileInfo.h"

class QVFileInfo : public QVNasFileInfo {
  public:
    static constexpr const char kClassName[] = "QVFileInfo";

    int64_t type = 0;  // a QVFileType number
    QString uuid;
    bool isSearchResult = false;
    bool isSelected = false;

    QVFileInfo() = default;
    QVFileInfo(const QVFileInfo &other);
    QVFileInfo &operator=(const QVFileInfo &other);

    static std::shared_ptr<QVFileInfo> shareFileInfo(const QVNasFileInfoPtr &info);

    QString default_imageName();
    QString thumbnail_path();
    QString cacheName();
    QString create_time();
    QString modify_time();
    QString sizeStr();
    void setDefault_imageName(const QString &v) { m_default_imageName = v; }
    void setThumbnail_path(const QString &v) { texts().thumbnail_path = v; }
    void setCacheName(const QString &v) { texts().cacheName = v; }
    void setCreate_time(const QString &v) { texts().create_time = v; }
    void setModify_time(const QString &v) { texts().modify_time = v; }
    void setSizeStr(const QString &v) { texts().sizeStr = v; }

    // Keys of the entry, then "type", "uuid" (absent when empty), the six texts (absent until computed or
    // set) and "fileTagList".
    void encodeWithCoder(plat::KeyedArchiver &c) const;
    static std::shared_ptr<QVFileInfo> initWithCoder(const plat::KeyedUnarchiver &c);
    // A new entry with the same path and name and a copy of the uuid; every other field at its default.
    std::shared_ptr<QVNasFileInfo> clone() const override;

  private:
    // The texts of the list columns, held apart and made at the first read or set, so that an entry whose
    // texts nobody reads costs one pointer for them.
    struct Texts {
        std::optional<QString> thumbnail_path;
        std::optional<QString> cacheName;
        std::optional<QString> create_time;
        std::optional<QString> modify_time;
        std::optional<QString> sizeStr;
    };
    Texts &texts() {
        if (!m_texts) m_texts = std::make_unique<Texts>();
        return *m_texts;
    }
    std::optional<QString> m_default_imageName;  // set by shareFileInfo for nearly every entry
    std::unique_ptr<Texts> m_texts;
};
using QVFileInfoPtr = std::shared_ptr<QVFileInfo>;
