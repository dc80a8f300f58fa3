// Keyed archiving over one JSON object per object: the keys as the classes name them, plus "$class" and
// "$v": 1. 64-bit integers stay exact JSON integers (a uint64 is kept as its int64 bit pattern); BOOL is a
// JSON bool. Decoding names the class it accepts; another class, another version or bytes that are not a
// JSON object give null and a log line. A missing or mistyped key decodes as 0, "" or empty.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace plat {

class KeyedArchiver final {
  public:
    void encode(const QString &key, const QString &value) { m_obj.insert(key, value); }
    void encode(const QString &key, const QStringList &value);
    void encode(const QString &key, bool value) { m_obj.insert(key, value); }
    void encode(const QString &key, double value) { m_obj.insert(key, value); }
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    void encode(const QString &key, T value) {
        m_obj.insert(key, static_cast<qint64>(value));  // unsigned 64-bit: the same bits as int64
    }
    // Omits the key ("absent when never set").
    void omit(const QString &key) { m_obj.remove(key); }
    const QJsonObject &object() const { return m_obj; }

    // The archive of `root` (a class with kClassName and encodeWithCoder), compact UTF-8 JSON.
    template <typename T>
    static QByteArray archivedDataWithRootObject(const T &root) {
        KeyedArchiver c;
        c.m_obj.insert(QStringLiteral("$class"), QLatin1String(T::kClassName));
        c.m_obj.insert(QStringLiteral("$v"), 1);
        root.encodeWithCoder(c);
        return c.toJson();
    }

  private:
    QByteArray toJson() const;
    QJsonObject m_obj;
};

class KeyedUnarchiver final {
  public:
    explicit KeyedUnarchiver(QJsonObject obj) : m_obj(std::move(obj)) {}
    QString decodeString(const QString &key) const;
    QStringList decodeStringList(const QString &key) const;
    bool containsValueForKey(const QString &key) const { return m_obj.contains(key); }
    bool decodeBool(const QString &key) const;
    double decodeDouble(const QString &key) const;
    int64_t decodeInt64(const QString &key) const;
    uint64_t decodeUInt64(const QString &key) const { return static_cast<uint64_t>(decodeInt64(key)); }
    int32_t decodeInt32(const QString &key) const { return static_cast<int32_t>(decodeInt64(key)); }
    uint32_t decodeUInt32(const QString &key) const { return static_cast<uint32_t>(decodeInt64(key)); }

    // The object archived in `data` when it is of class T (T::initWithCoder builds it), else null.
    template <typename T>
    static std::shared_ptr<T> unarchiveObjectWithData(const QByteArray &data) {
        QJsonObject obj;
        if (!openArchive(data, QLatin1String(T::kClassName), &obj)) return nullptr;
        KeyedUnarchiver c(std::move(obj));
        return T::initWithCoder(c);
    }

  private:
    static bool openArchive(const QByteArray &data, const QString &className, QJsonObject *out);
    QJsonObject m_obj;
};

}  // namespace plat
