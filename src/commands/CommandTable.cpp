#include "commands/CommandTable.h"

#include "files/ProgramDirectory.h"
#include "files/TextFile.h"
#include "messages/Messages.h"
#include "ports/StopRequest.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <sys/random.h>
#include <unistd.h>

namespace cadentor {

namespace {

constexpr std::array<std::uint32_t, 28> bucketPrimes{
    53u,        97u,        193u,       389u,       769u,        1543u,       3079u,
    6151u,      12289u,     24593u,     49157u,     98317u,      196613u,     393241u,
    786433u,    1572869u,   3145739u,   6291469u,   12582917u,   25165843u,   50331653u,
    100663319u, 201326611u, 402653189u, 805306457u, 1610612741u, 3221225473u, 4294967291u};

constexpr std::uint32_t initialBuckets = 193;

// The smallest listed prime not below `wanted`, or the largest one.
std::uint32_t primeNotBelow(std::uint64_t wanted) {
    auto it = std::lower_bound(bucketPrimes.begin(), bucketPrimes.end(), wanted,
                               [](std::uint32_t prime, std::uint64_t n) { return prime < n; });
    return it == bucketPrimes.end() ? bucketPrimes.back() : *it;
}

// SipHash-1-3 of `name` under a 128-bit key drawn once per process: without the key, nobody can
// choose names that collide in the index.
struct SipKey {
    std::uint64_t k0 = 0, k1 = 0;
    SipKey() {
        std::uint64_t key[2] = {};
        if (::getrandom(key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
            // No entropy yet (early boot): still differs between processes and runs.
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            key[0] = static_cast<std::uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15u ^
                     reinterpret_cast<std::uintptr_t>(&now);
            key[1] = static_cast<std::uint64_t>(now.tv_sec) ^ 0xc2b2ae3d27d4eb4fu;
        }
        k0 = key[0];
        k1 = key[1];
    }
};

constexpr std::uint64_t rotl(std::uint64_t x, int b) {
    return x << b | x >> (64 - b);
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13) ^ v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotl(v1, 17) ^ v2;
        v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

std::uint64_t sipHash13(std::string_view data) {
    static const SipKey key;
    SipState s{key.k0 ^ 0x736f6d6570736575u, key.k1 ^ 0x646f72616e646f6du,
               key.k0 ^ 0x6c7967656e657261u, key.k1 ^ 0x7465646279746573u};
    const std::size_t whole = data.size() / 8 * 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        std::uint64_t m = 0;
        std::memcpy(&m, data.data() + i, 8);
        s.absorb(m);
    }
    std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
    for (std::size_t i = whole; i < data.size(); ++i)
        last |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i]))
                << (8 * (i - whole));
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

} // namespace

CommandTable::CommandTable() : buckets_(initialBuckets, nullptr) {}

CommandTable::~CommandTable() {
    clear();
}

std::uint32_t CommandTable::hash(std::string_view name) {
    std::uint32_t h = 0;
    for (char c : name)
        h = h * 5u + static_cast<std::uint32_t>(static_cast<std::int32_t>(
                         static_cast<std::int8_t>(static_cast<unsigned char>(c))));
    return h;
}

void CommandTable::grow(std::uint64_t wanted) {
    if (wanted <= buckets_.size())
        return;
    const std::uint32_t count = primeNotBelow(wanted);
    if (count <= buckets_.size())
        return;
    std::vector<Entry*> grown(count, nullptr);
    for (Entry* head : buckets_) {
        for (Entry* entry = head; entry;) {
            Entry* next = entry->next;
            Entry*& slot = grown[hash(entry->definition.name) % count];
            entry->next = slot;
            slot = entry;
            entry = next;
        }
    }
    buckets_.swap(grown);
}

bool CommandTable::add(std::string_view name, PortId portId, const ByteStream& bytes) {
    grow(static_cast<std::uint64_t>(entryCount_) + 1);
    reserveIndex(static_cast<std::uint64_t>(entryCount_) + 1);
    const std::uint64_t indexHash = sipHash13(name);
    Slot& slot = index_[slotOf(name, indexHash)];
    if (slot.entry)
        return true;
    std::unique_ptr<Entry> entry(new Entry{CommandDefinition{std::string(name), portId, bytes}});
    slot = {indexHash, entry.get()};
    Entry*& head = buckets_[hash(name) % buckets_.size()];
    entry->next = head;
    head = entry.release();
    ++entryCount_;
    return true;
}

bool CommandTable::isEmpty() const {
    return entryCount_ == 0;
}

bool CommandTable::lookup(std::string_view name, PortId& portId, const std::uint8_t*& bytes,
                          std::uint32_t& byteCount) const {
    if (index_.empty())
        return false;
    const Entry* entry = index_[slotOf(name, sipHash13(name))].entry;
    if (!entry)
        return false;
    const CommandDefinition& definition = entry->definition;
    portId = definition.portId;
    bytes = definition.bytes.data();
    byteCount = static_cast<std::uint32_t>(definition.bytes.size());
    return true;
}

bool CommandTable::load() {
    std::size_t fileSize = 0;
    try {
        return readCommandFile(fileSize);
    } catch (const std::bad_alloc&) {
        clear();
        raiseMessage(MessageId::CommandReadFailed, joinPath(programDirectory(), "Command.def") +
                                                       ": not enough memory to load the file (" +
                                                       formatFileSize(fileSize) + ")");
        return false;
    }
}

bool CommandTable::readCommandFile(std::size_t& fileSize) {
    clear();
    const std::string path = joinPath(programDirectory(), "Command.def");
    std::string data;
    std::string error;
    if (!readWholeFile(path, data, error, {stopRequested})) {
        if (::access(path.c_str(), F_OK) != 0)
            error += " (examples in " + examplesDirectory() + ")";
        raiseMessage(MessageId::CommandReadFailed, error);
        return false;
    }
    fileSize = data.size();
    std::string_view text = data;
    if (text.starts_with("\xef\xbb\xbf"))
        text.remove_prefix(3); // an editor's byte order mark, never part of the first name
    std::uint64_t lines = 0;   // an index sized once costs far less than one widened as it fills
    forEachLine(text, [&](std::string_view, unsigned) {
        ++lines;
        return true;
    });
    reserveIndex(lines);
    return forEachLine(text, [&](std::string_view line, unsigned editorLine) {
        CommandDefinition definition;
        if (!parseCommandDefinition(line, definition)) {
            raiseMessage(MessageId::CommandParseFailed, path + ":" + std::to_string(editorLine));
            return false;
        }
        add(definition.name, definition.portId, definition.bytes);
        return true;
    });
}

std::pair<CommandTable::Iterator, CommandTable::Iterator> CommandTable::entries() const {
    return {firstFrom(0), Iterator(this, buckets_.size(), nullptr)};
}

void CommandTable::clear() {
    for (Entry*& head : buckets_) {
        for (Entry* entry = head; entry;) {
            Entry* next = entry->next;
            delete entry;
            entry = next;
        }
        head = nullptr;
    }
    std::fill(index_.begin(), index_.end(), Slot{});
    entryCount_ = 0;
}

void CommandTable::reserveIndex(std::uint64_t entries) {
    std::size_t size = std::max<std::size_t>(index_.size(), 64);
    while (size < entries * 2)
        size *= 2;
    if (size == index_.size())
        return;
    std::vector<Slot> wider(size);
    for (const Slot& slot : index_) {
        if (!slot.entry)
            continue;
        std::size_t i = slot.hash & (size - 1);
        while (wider[i].entry)
            i = (i + 1) & (size - 1);
        wider[i] = slot;
    }
    index_.swap(wider);
}

std::size_t CommandTable::slotOf(std::string_view name, std::uint64_t hash) const {
    const std::size_t mask = index_.size() - 1;
    std::size_t i = hash & mask;
    for (; index_[i].entry; i = (i + 1) & mask) {
        if (index_[i].hash == hash && index_[i].entry->definition.name == name)
            break;
    }
    return i;
}

CommandTable::Iterator CommandTable::firstFrom(std::size_t bucket) const {
    for (; bucket < buckets_.size(); ++bucket) {
        if (buckets_[bucket])
            return Iterator(this, bucket, buckets_[bucket]);
    }
    return Iterator(this, buckets_.size(), nullptr);
}

CommandTable::Iterator::reference CommandTable::Iterator::operator*() const {
    return entry_->definition;
}

CommandTable::Iterator& CommandTable::Iterator::operator++() {
    if (entry_->next)
        entry_ = entry_->next;
    else
        *this = table_->firstFrom(bucket_ + 1);
    return *this;
}

} // namespace cadentor
