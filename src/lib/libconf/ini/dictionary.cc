#include "libconf/ini/dictionary.h"

#include <utility>

uint32_t dictionary_hash(std::string_view key) {
    uint32_t hash = 0;
    for (unsigned char c : key) {
        hash += c;
        hash += hash << 10;
        hash ^= hash >> 6;
    }
    hash += hash << 3;
    hash ^= hash >> 11;
    hash += hash << 15;
    return hash;
}

dictionary::dictionary(size_t capacity)
    : slots_(capacity < MIN_CAPACITY ? MIN_CAPACITY : capacity) {}

const std::string* dictionary::value(size_t slot) const {
    const auto& v = slots_[slot]->value;
    return v ? &*v : nullptr;
}

const std::string* dictionary::comment(size_t slot) const {
    const auto& c = slots_[slot]->comment;
    return c ? &*c : nullptr;
}

ptrdiff_t dictionary::find(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? -1 : static_cast<ptrdiff_t>(it->second);
}

size_t dictionary::free_slot() {
    if (used_ == slots_.size()) {
        // Growing keeps every entry in its slot; the first new slot is then the free one.
        slots_.resize(slots_.size() * 2);
    }
    const size_t n = slots_.size();
    for (size_t i = 0; i < n; ++i) {
        size_t slot = (used_ + i) % n;
        if (!slots_[slot]) return slot;
    }
    return n;  // unreachable: used_ < n guarantees a free slot
}

size_t dictionary::set(std::string_view key, std::optional<std::string_view> value,
                       std::optional<std::string_view> comment) {
    ptrdiff_t existing = find(key);
    if (existing >= 0) {
        auto& e = *slots_[existing];
        // Build first: `value` may point into the entry being replaced.
        std::optional<std::string> copy;
        if (value) copy.emplace(*value);
        e.value = std::move(copy);
        return static_cast<size_t>(existing);
    }
    auto e = std::make_unique<entry>();
    e->key.assign(key);
    if (value) e->value.emplace(*value);
    if (comment) e->comment.emplace(*comment);
    e->hash = dictionary_hash(key);
    size_t slot = free_slot();
    index_.emplace(std::string_view(e->key), slot);
    slots_[slot] = std::move(e);
    ++used_;
    return slot;
}

bool dictionary::unset(std::string_view key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    size_t slot = it->second;
    index_.erase(it);
    slots_[slot].reset();
    --used_;
    return true;
}

void dictionary::rekey(size_t slot, std::string_view new_key) {
    auto& e = *slots_[slot];
    std::string key(new_key);
    index_.erase(std::string_view(e.key));
    e.key = std::move(key);
    e.hash = dictionary_hash(e.key);
    index_.emplace(std::string_view(e.key), slot);
}

namespace {
bool in_section(std::string_view key, std::string_view section) {
    return key.size() > section.size() && key.compare(0, section.size(), section) == 0 &&
           key[section.size()] == DICT_SECTION_SEP;
}
}  // namespace

bool dictionary::has_section_entries(std::string_view section) const {
    if (find(section) >= 0) return true;
    for (const auto& e : slots_) {
        if (e && in_section(e->key, section)) return true;
    }
    return false;
}

int dictionary::secrename(std::string_view old_name, std::string_view new_name) {
    if (has_section_entries(new_name)) return -1;
    int renamed = 0;
    for (size_t slot = 0; slot < slots_.size(); ++slot) {
        if (!slots_[slot]) continue;
        const std::string& k = slots_[slot]->key;
        if (k == old_name) {
            rekey(slot, new_name);
            ++renamed;
        } else if (in_section(k, old_name)) {
            std::string renamed_key(new_name);
            renamed_key.append(k, old_name.size());
            rekey(slot, renamed_key);
            ++renamed;
        }
    }
    return renamed > 0 ? 0 : -2;
}
