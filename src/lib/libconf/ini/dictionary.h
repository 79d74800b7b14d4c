// The in-memory form of an INI file: an ordered table of slots, each holding a key, an optional
// value and an optional comment (the comment and blank lines that stood above the entry).
//
// A section is an entry whose key is the section name and whose value is none; a key of a section
// is stored under "<section>\t<key>". New entries take the first free slot at or after the slot
// whose index is the number of used slots (wrapping round), so a deleted entry leaves a hole that a
// later entry may fill; listings and saved files follow slot order.
//
// Not locked: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Joins a section name and a key name into a stored key.
inline constexpr char DICT_SECTION_SEP = '\t';

// Jenkins one-at-a-time hash of the key's bytes.
uint32_t dictionary_hash(std::string_view key);

class dictionary final {
  public:
    // Smallest capacity; a smaller requested size is raised to it.
    static constexpr size_t MIN_CAPACITY = 128;

    explicit dictionary(size_t capacity = MIN_CAPACITY);
    dictionary(const dictionary&) = delete;
    dictionary& operator=(const dictionary&) = delete;

    size_t capacity() const { return slots_.size(); }
    // Number of used slots.
    size_t used() const { return used_; }

    // Slot access; key(), value() and comment() need a used slot.
    bool slot_used(size_t slot) const { return slot < slots_.size() && slots_[slot] != nullptr; }
    const std::string& key(size_t slot) const { return slots_[slot]->key; }
    uint32_t hash(size_t slot) const { return slots_[slot]->hash; }
    // Null for none. The pointer stays valid until the entry changes or is removed.
    const std::string* value(size_t slot) const;
    const std::string* comment(size_t slot) const;

    // Slot of the entry with this key, or -1.
    ptrdiff_t find(std::string_view key) const;

    // Replaces the value of an existing entry (its comment stays), or adds a new entry with the
    // value and comment given. Returns the slot. Throws std::bad_alloc when memory runs out.
    size_t set(std::string_view key, std::optional<std::string_view> value,
               std::optional<std::string_view> comment = std::nullopt);

    // Removes the entry; false when there was none.
    bool unset(std::string_view key);

    // Gives the entry in `slot` a new key, keeping its slot, value and comment. The new key must
    // not be in use by another entry.
    void rekey(size_t slot, std::string_view new_key);

    // Whether the section has its own entry or any key stored under its name.
    bool has_section_entries(std::string_view section) const;

    // Renames every entry of section `old_name` (its own entry and its keys) to `new_name`.
    // Returns 0; -1, changing nothing, when the new section already has entries (also when the
    // names are equal); -2 when no entry had the old name.
    int secrename(std::string_view old_name, std::string_view new_name);

    // The comment (and blank lines) found after the last entry.
    const std::optional<std::string>& trailing_comment() const { return trailing_comment_; }
    void set_trailing_comment(std::optional<std::string> text) {
        trailing_comment_ = std::move(text);
    }

  private:
    struct entry {
        std::string key;
        std::optional<std::string> value;
        std::optional<std::string> comment;
        uint32_t hash = 0;
    };
    struct key_hash {
        size_t operator()(std::string_view key) const { return dictionary_hash(key); }
    };

    size_t free_slot();

    // Entries live on the heap so that value pointers survive the table growing.
    std::vector<std::unique_ptr<entry>> slots_;
    size_t used_ = 0;
    std::optional<std::string> trailing_comment_;
    // Key -> slot; the view points into the entry's own key.
    std::unordered_map<std::string_view, size_t, key_hash> index_;
};
