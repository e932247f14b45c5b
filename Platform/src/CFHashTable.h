// The table behind dictionaries and sets: entries kept in insertion order and found through an index by hash,
// with keys and values retained, compared and hashed through the callbacks the collection was made with.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "CFRuntime.h"

namespace ktrcf {

class HashTable {
public:
    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };
    static constexpr size_t npos = static_cast<size_t>(-1);

    // Null callbacks mean no retain, pointer identity and the address as hash.
    HashTable(const CFDictionaryKeyCallBacks* keyCallBacks, const CFDictionaryValueCallBacks* valueCallBacks);
    ~HashTable();
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    size_t size() const { return m_entries.size(); }
    const Entry& at(size_t i) const { return m_entries[i]; }
    const CFDictionaryKeyCallBacks& keyCallBacks() const { return m_keyCallBacks; }
    const CFDictionaryValueCallBacks& valueCallBacks() const { return m_valueCallBacks; }

    size_t find(const void* key) const;
    // The key must not be present yet.
    void insert(const void* key, const void* value);
    void replaceValue(size_t i, const void* value);
    void erase(size_t i);
    bool valuesEqual(const void* a, const void* b) const;

private:
    CFHashCode hashOf(const void* key) const;
    void rebuildIndex();

    CFDictionaryKeyCallBacks m_keyCallBacks{};
    CFDictionaryValueCallBacks m_valueCallBacks{};
    std::vector<Entry> m_entries;
    std::unordered_multimap<CFHashCode, size_t> m_index;
};

}  // namespace ktrcf
