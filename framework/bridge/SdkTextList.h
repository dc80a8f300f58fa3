// Private UTF-8 copies of texts as the SDK's array of char pointers, with an empty last slot when asked;
// the SDK reads them during the call.
#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "platform/Log.h"

class SdkTextList {
  public:
    SdkTextList(const QStringList &texts, bool terminated) {
        m_bytes.reserve(texts.size());
        for (const QString &t : texts) m_bytes.push_back(t.toUtf8());
        for (QByteArray &b : m_bytes) m_ptrs.push_back(b.data());
        if (terminated) m_ptrs.push_back(nullptr);
    }
    SdkTextList(const SdkTextList &) = delete;
    SdkTextList &operator=(const SdkTextList &) = delete;

    // Null for an unterminated empty list.
    char **data() { return m_ptrs.empty() ? nullptr : m_ptrs.data(); }
    const char *const *data() const { return m_ptrs.empty() ? nullptr : m_ptrs.data(); }
    int32_t count() const { return static_cast<int32_t>(m_bytes.size()); }
    // Each text at debug level, as "<what> tag <i>: <text>".
    void log(const char *what) const {
        for (size_t i = 0; i < m_bytes.size(); ++i)
            QVB_LOG_DEBUG(QStringLiteral("%1 tag %2: %3")
                              .arg(QLatin1String(what))
                              .arg(i)
                              .arg(QString::fromUtf8(m_bytes[i])));
    }

  private:
    std::vector<QByteArray> m_bytes;
    std::vector<char *> m_ptrs;
};
