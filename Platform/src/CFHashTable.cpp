#include "CFHashTable.h"

namespace ktrcf {

HashTable::HashTable(const CFDictionaryKeyCallBacks* keyCallBacks, const CFDictionaryValueCallBacks* valueCallBacks) {
    if (keyCallBacks) m_keyCallBacks = *keyCallBacks;
    if (valueCallBacks) m_valueCallBacks = *valueCallBacks;
}

HashTable::~HashTable() {
    for (const Entry& e : m_entries) {
        if (m_keyCallBacks.release) m_keyCallBacks.release(nullptr, e.key);
        if (m_valueCallBacks.release) m_valueCallBacks.release(nullptr, e.value);
    }
}

CFHashCode HashTable::hashOf(const void* key) const {
    return m_keyCallBacks.hash ? m_keyCallBacks.hash(key) : reinterpret_cast<CFHashCode>(key);
}

size_t HashTable::find(const void* key) const {
    const auto candidates = m_index.equal_range(hashOf(key));
    for (auto it = candidates.first; it != candidates.second; ++it) {
        const void* stored = m_entries[it->second].key;
        if (m_keyCallBacks.equal ? m_keyCallBacks.equal(stored, key) : stored == key) return it->second;
    }
    return npos;
}

void HashTable::insert(const void* key, const void* value) {
    // The retain callback may hand back a copy, which is then what the table holds.
    const void* k = m_keyCallBacks.retain ? m_keyCallBacks.retain(nullptr, key) : key;
    const void* v = m_valueCallBacks.retain ? m_valueCallBacks.retain(nullptr, value) : value;
    const CFHashCode h = hashOf(k);
    m_entries.push_back({k, v, h});
    m_index.emplace(h, m_entries.size() - 1);
}

void HashTable::replaceValue(size_t i, const void* value) {
    // Retain first: the new value may be the one it replaces.
    const void* v = m_valueCallBacks.retain ? m_valueCallBacks.retain(nullptr, value) : value;
    const void* old = m_entries[i].value;
    m_entries[i].value = v;
    if (m_valueCallBacks.release) m_valueCallBacks.release(nullptr, old);
}

void HashTable::erase(size_t i) {
    const Entry old = m_entries[i];
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
    rebuildIndex();
    // Released last, as the callbacks may look at the collection again.
    if (m_keyCallBacks.release) m_keyCallBacks.release(nullptr, old.key);
    if (m_valueCallBacks.release) m_valueCallBacks.release(nullptr, old.value);
}

bool HashTable::valuesEqual(const void* a, const void* b) const {
    return m_valueCallBacks.equal ? m_valueCallBacks.equal(a, b) : a == b;
}

void HashTable::rebuildIndex() {
    m_index.clear();
    for (size_t i = 0; i < m_entries.size(); ++i) m_index.emplace(m_entries[i].hash, i);
}

}  // namespace ktrcf
