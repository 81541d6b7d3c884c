#pragma once
// The named commands of Command.def, in a chained hash table keyed by the exact name.
//
// The hash of a name is h = h * 5 + b over its bytes, each byte taken as signed, in unsigned
// 32-bit arithmetic; an entry lives in bucket h mod bucketCount(), at the head of its chain.
// Bucket counts come from a fixed list of 28 primes, start at 193 and only grow. The first
// definition of a name wins. Entries enumerate in ascending bucket order, newest first within
// a bucket. lookup() hands out a pointer into the stored bytes: it stays valid until the next
// clear(), load() or destruction, so events that hold it must be gone before any of those.
//
// The buckets give only the enumeration order. add() and lookup() find a name through a second
// index beside them, keyed by the name's bytes with a hash seeded at random per process, so
// names that share a bucket hash (as crafted ones can, in any number) cost no chain walk.

#include "commands/CommandDefinition.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace cadentor {

class CommandTable {
    struct Entry;

public:
    // Visits every entry once in enumeration order.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = CommandDefinition;
        using difference_type = std::ptrdiff_t;
        using pointer = const CommandDefinition*;
        using reference = const CommandDefinition&;

        Iterator() = default;
        reference operator*() const;
        pointer operator->() const { return &**this; }
        Iterator& operator++();
        Iterator operator++(int) {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& other) const { return entry_ == other.entry_; }

    private:
        friend class CommandTable;
        Iterator(const CommandTable* table, std::size_t bucket, const Entry* entry)
            : table_(table), bucket_(bucket), entry_(entry) {}
        const CommandTable* table_ = nullptr;
        std::size_t bucket_ = 0;
        const Entry* entry_ = nullptr;
    };

    CommandTable();
    CommandTable(const CommandTable&) = delete;
    CommandTable& operator=(const CommandTable&) = delete;

    // Grows the buckets when the new count would exceed them (before the name is looked at),
    // then stores a copy unless the name is already there. Always true. An allocation failure
    // throws std::bad_alloc and leaves the table as it was; load() turns it into message 8.
    bool add(std::string_view name, PortId portId, const ByteStream& bytes);
    ~CommandTable();
    bool isEmpty() const;
    // Exact, case-sensitive search. When found, sets the three outputs and returns true;
    // otherwise returns false and leaves them untouched. Shows no message.
    bool lookup(std::string_view name, PortId& portId, const std::uint8_t*& bytes,
                std::uint32_t& byteCount) const;
    // Empties the table, then reads programDirectory()/Command.def in one read and adds every
    // line; a UTF-8 byte order mark at the start is skipped. Message 8 (with "path: reason" as
    // detail) when the file cannot be opened, is empty or cannot be read whole: table empty.
    // Message 7 (with "path:line" as detail) at the first line that does not parse: the lines
    // before it stay. True when every line was added. Message 8 too when memory runs out while
    // loading (detail "path: not enough memory to load the file (size)"): the table is then empty.
    bool load();
    std::pair<Iterator, Iterator> entries() const;
    // Deletes every entry; the bucket count stays.
    void clear();

    std::uint32_t size() const { return entryCount_; }
    std::uint32_t bucketCount() const { return static_cast<std::uint32_t>(buckets_.size()); }
    static std::uint32_t hash(std::string_view name);

private:
    struct Entry {
        CommandDefinition definition;
        Entry* next = nullptr;
    };
    // One place of the index: an entry and the index hash of its name; empty without entry.
    struct Slot {
        std::uint64_t hash = 0;
        Entry* entry = nullptr;
    };
    // load() without its guard against allocation failures; sets `fileSize` once read.
    bool readCommandFile(std::size_t& fileSize);
    void grow(std::uint64_t wanted);
    Iterator firstFrom(std::size_t bucket) const;
    // Widens the index, when needed, to hold `entries` at most half full.
    void reserveIndex(std::uint64_t entries);
    // The place of `name` in the index, or the empty place where it would go.
    std::size_t slotOf(std::string_view name, std::uint64_t hash) const;

    std::vector<Entry*> buckets_;
    // Every entry by its name, open addressing with linear probing: no place or a power of two
    // of them, at most half in use.
    std::vector<Slot> index_;
    std::uint32_t entryCount_ = 0;
};

} // namespace cadentor
