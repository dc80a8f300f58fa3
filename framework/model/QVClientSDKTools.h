// The framework's small shared tools: the caches folder, file tests, MD5 text, JSON conversions, the
// conversion of the device SDK's C texts, the network test and this machine's name and id.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <cstddef>
#include <optional>

class QVClientSDKTools final {
  public:
    QVClientSDKTools() = delete;
    // The text of a C string read up to its NUL but never past `maxBytes` (the field's width), decoded as
    // UTF-8. When the bytes do not decode whole, the longest prefix that does (so a last character cut by a
    // fixed-width field is dropped); none when not even one byte decodes; "" for an empty text. Null
    // pointer: none.
    static std::optional<QString> qvFormatChar(const char *text, size_t maxBytes);
    // The same for a zero-terminated text of unknown width.
    static std::optional<QString> qvFormatChar(const char *text);
    // qvFormatChar, or "" where it answers none.
    static QString qvFormatCharOrEmpty(const char *text, size_t maxBytes);
    // Length of the longest prefix of `bytes` that is strict UTF-8 (RFC 3629: no overlong forms, no
    // surrogates, nothing above U+10FFFF), found in one pass.
    static size_t validUtf8PrefixLength(const char *bytes, size_t size);
    // Copies `text` into a `width`-byte field: at most width - 1 bytes, cut at a character boundary, the
    // rest zero. `width` 0 writes nothing.
    static void copyToField(char *field, size_t width, const QByteArray &text);

    // <user caches>/QVFileCaches, made (with any missing parents) when missing.
    static QString getCachesPath();
    // Makes a directory at `path` when nothing is there (no parents; a failure is left to the user of
    // the path); answers `path`.
    static QString createFile(const QString &path);
    static bool isExistsFile(const QString &path);
    // 32 lower-case hex digits of the MD5 of the UTF-8 text.
    static QString md5ForString(const QString &text);
    // The bytes as JSON, a top-level fragment ("42", "\"s\"") included; none on a parse error.
    static std::optional<QJsonValue> jsonDataToDictionary(const QByteArray &bytes);
    // The value as indented JSON text, trimmed, with its line feeds removed; "" (logged) for a value
    // that has no JSON form.
    static QString convertToJSONData(const QJsonValue &value);
    // Whether the network may be used: false only once the reachability monitor reports no network.
    static bool qvClientIsNetworkEnabled();
    // This machine as devices list it: its host name, else the system's name.
    static QString deviceString();
    // This machine's stable id (32 upper-case hex digits, never the raw machine id; random when the
    // system has none). Reads files: not on the main thread.
    static QString getHardwareUUID();
};
