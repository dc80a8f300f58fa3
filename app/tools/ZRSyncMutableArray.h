// An ordered list that several threads may read and change at once. Reads share the lock; writes take
// it alone and are applied before the call returns, so a thread reads its own writes. safeArray and
// objectEnumerator hand out snapshots, never the live list.
#pragma once

#include <QList>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>

template <typename T>  // T is a shared pointer (compared by identity in indexOfObject) or a value
class ZRSyncMutableArray {
  public:
    static constexpr uint64_t NSNotFound = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

    uint64_t count() const {
        std::shared_lock lock(m_mutex);
        return static_cast<uint64_t>(m_array.size());
    }
    T objectAtIndex(uint64_t index) const {
        std::shared_lock lock(m_mutex);
        return index < static_cast<uint64_t>(m_array.size()) ? m_array.at(index) : T{};
    }
    bool containsObject(const T &object) const {
        std::shared_lock lock(m_mutex);
        for (const T &o : m_array)
            if (equal(o, object)) return true;
        return false;
    }
    uint64_t indexOfObject(const T &object) const {
        std::shared_lock lock(m_mutex);
        for (qsizetype i = 0; i < m_array.size(); ++i)
            if (m_array.at(i) == object) return static_cast<uint64_t>(i);
        return NSNotFound;
    }
    QList<T> objectEnumerator() const { return safeArray(); }
    // A snapshot with storage of its own: a copy sharing the live list's storage would later detach
    // from it outside the lock, reading elements that a writer's detach hands over at the same time.
    QList<T> safeArray() const {
        std::shared_lock lock(m_mutex);
        QList<T> copy;
        copy.reserve(m_array.size());
        for (const T &o : m_array) copy.append(o);
        return copy;
    }

    void addObject(const T &object) {
        if (isNull(object)) return;
        std::unique_lock lock(m_mutex);
        m_array.append(object);
    }
    void insertObject(const T &object, uint64_t index) {
        if (isNull(object)) return;
        std::unique_lock lock(m_mutex);
        if (index < static_cast<uint64_t>(m_array.size()))
            m_array.insert(static_cast<qsizetype>(index), object);
    }
    void removeObjectAtIndex(uint64_t index) {
        std::unique_lock lock(m_mutex);
        if (index < static_cast<uint64_t>(m_array.size())) m_array.removeAt(static_cast<qsizetype>(index));
    }
    void removeObject(const T &object) {
        std::unique_lock lock(m_mutex);
        m_array.removeIf([&](const T &o) { return equal(o, object); });
    }
    void removeLastObject() {
        std::unique_lock lock(m_mutex);
        if (!m_array.isEmpty()) m_array.removeLast();
    }
    void removeAllObjects() {
        std::unique_lock lock(m_mutex);
        m_array.clear();
    }
    void replaceObjectAtIndex(uint64_t index, const T &object) {
        if (isNull(object)) return;
        std::unique_lock lock(m_mutex);
        if (index < static_cast<uint64_t>(m_array.size()))
            m_array.replace(static_cast<qsizetype>(index), object);
    }

  private:
    template <typename U>
    static bool isNull(const std::shared_ptr<U> &p) {
        return !p;
    }
    template <typename U>
    static bool isNull(const U &) {
        return false;
    }
    // Equality: the pointed-to values where they compare, else identity.
    template <typename U>
    static bool equal(const std::shared_ptr<U> &a, const std::shared_ptr<U> &b) {
        if (a == b) return true;
        if (!a || !b) return false;
        if constexpr (requires { *a == *b; }) return *a == *b;
        return false;
    }
    template <typename U>
    static bool equal(const U &a, const U &b) {
        return a == b;
    }

    mutable std::shared_mutex m_mutex;
    QList<T> m_array;
};
