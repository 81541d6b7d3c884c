#include "commands/CommandTable.h"

#include "files/ProgramDirectory.h"
#include "files/TextFile.h"
#include "messages/Messages.h"

#include <algorithm>
#include <array>
#include <string>
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

} // namespace

CommandTable::CommandTable() : buckets_(initialBuckets, nullptr) {}

CommandTable::~CommandTable() {
    CommandTable::clear();
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
    Entry*& head = buckets_[hash(name) % buckets_.size()];
    for (const Entry* entry = head; entry; entry = entry->next) {
        if (entry->definition.name == name)
            return true;
    }
    head = new Entry{CommandDefinition{std::string(name), portId, bytes}, head};
    ++entryCount_;
    return true;
}

bool CommandTable::isEmpty() const {
    return entryCount_ == 0;
}

bool CommandTable::lookup(std::string_view name, PortId& portId, const std::uint8_t*& bytes,
                          std::uint32_t& byteCount) const {
    for (const Entry* entry = buckets_[hash(name) % buckets_.size()]; entry; entry = entry->next) {
        if (entry->definition.name == name) {
            portId = entry->definition.portId;
            bytes = entry->definition.bytes.data();
            byteCount = static_cast<std::uint32_t>(entry->definition.bytes.size());
            return true;
        }
    }
    return false;
}

bool CommandTable::load() {
    clear();
    const std::string path = joinPath(programDirectory(), "Command.def");
    std::string data;
    std::string error;
    if (!readWholeFile(path, data, error)) {
        if (::access(path.c_str(), F_OK) != 0)
            error += " (examples in " + examplesDirectory() + ")";
        raiseMessage(MessageId::CommandReadFailed, error);
        return false;
    }
    return forEachLine(data, [&](std::string_view line, unsigned editorLine) {
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
    entryCount_ = 0;
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
