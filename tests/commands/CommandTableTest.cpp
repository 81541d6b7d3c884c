#include "commands/CommandTable.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <set>

namespace cadentor {
namespace {

using Names = std::vector<std::string>;

Names enumerated(const CommandTable& table) {
    Names names;
    auto [it, end] = table.entries();
    for (; it != end; ++it)
        names.push_back(it->name);
    return names;
}

void addAll(CommandTable& table, const Names& names) {
    for (const std::string& name : names)
        table.add(name, 0, {0x41});
}

// Names whose hashes all differ, none equal to AF, BA or C< (hash 395).
Names fillers(int count, const std::string& prefix = "f") {
    Names names;
    for (int i = 0; i < count; ++i)
        names.push_back(prefix + std::to_string(i));
    return names;
}

TEST(CommandTableHash, BytesCountAsSigned) {
    const std::vector<std::pair<std::string, std::uint32_t>> cases{
        {"PowerOn", 1687230},      {"Lamp", 12582}, {"Mute", 13231}, {"Notes", 66145},
        {"Calc", 11439},           {"AF", 395},     {"BA", 395},     {"\xc8", 4294967240u},
        {"\x82\xa0", 4294966570u}, {"", 0}};
    for (const auto& [name, hash] : cases)
        EXPECT_EQ(CommandTable::hash(name), hash) << name;
}

TEST(CommandTableOrder, AscendingBucketsNewestFirstWithinABucket) {
    CommandTable table;
    EXPECT_EQ(table.bucketCount(), 193u);
    addAll(table, {"AF", "BA"});
    EXPECT_EQ(enumerated(table), (Names{"BA", "AF"}));

    CommandTable reversed;
    addAll(reversed, {"BA", "AF"});
    EXPECT_EQ(enumerated(reversed), (Names{"AF", "BA"}));

    // Calc and the single byte 200 share bucket 52; 130 160 lies in bucket 154.
    CommandTable high;
    addAll(high, {"\x82\xa0", "Calc", "\xc8"});
    EXPECT_EQ(enumerated(high), (Names{"\xc8", "Calc", "\x82\xa0"}));
}

TEST(CommandTableOrder, FileOrderDoesNotMatter) {
    Names names{"Calc", "Lamp", "Mute", "Notes", "PowerOn"};
    do {
        CommandTable table;
        addAll(table, names);
        EXPECT_EQ(enumerated(table), (Names{"PowerOn", "Lamp", "Calc", "Mute", "Notes"}));
    } while (std::next_permutation(names.begin(), names.end()));
}

TEST(CommandTableContents, FirstDefinitionWinsAndLookupIsExact) {
    CommandTable table;
    EXPECT_TRUE(table.isEmpty());
    EXPECT_TRUE(table.add("A", 0, {0x41}));
    EXPECT_TRUE(table.add("A", 1, {0x42, 0x43}));
    EXPECT_TRUE(table.add("a", 2, {0x44}));
    EXPECT_EQ(table.size(), 2u);
    EXPECT_FALSE(table.isEmpty());

    PortId port = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    ASSERT_TRUE(table.lookup("A", port, bytes, count));
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(ByteStream(bytes, bytes + count), ByteStream{0x41});
    ASSERT_TRUE(table.lookup("a", port, bytes, count));
    EXPECT_EQ(port, 2u);
    EXPECT_EQ(ByteStream(bytes, bytes + count), ByteStream{0x44});

    port = 77;
    bytes = nullptr;
    count = 99;
    for (std::string_view missing : {"A ", " A", "AA", "", "b", "\xc1"})
        EXPECT_FALSE(table.lookup(missing, port, bytes, count)) << missing;
    EXPECT_EQ(port, 77u);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(count, 99u);
}

TEST(CommandTableContents, LookupPointsIntoTheTableAndSurvivesGrowth) {
    CommandTable table;
    ByteStream source{0x00, 0x01, 0x02};
    table.add("keep", 3, source);
    PortId port = 0;
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    std::uint32_t count = 0;
    ASSERT_TRUE(table.lookup("keep", port, first, count));
    ASSERT_TRUE(table.lookup("keep", port, second, count));
    EXPECT_EQ(first, second);
    EXPECT_NE(first, source.data());
    source[0] = 0xEE;

    addAll(table, fillers(1000));
    ASSERT_GT(table.bucketCount(), 1000u);
    ASSERT_TRUE(table.lookup("keep", port, second, count));
    EXPECT_EQ(first, second);
    EXPECT_EQ(ByteStream(first, first + count), (ByteStream{0x00, 0x01, 0x02}));
}

TEST(CommandTableGrowth, GrowsWhenTheNextEntryWouldExceedTheBuckets) {
    CommandTable table;
    addAll(table, fillers(193));
    EXPECT_EQ(table.bucketCount(), 193u);
    // The growth check comes before the duplicate check.
    table.add("f0", 9, {0x01});
    EXPECT_EQ(table.size(), 193u);
    EXPECT_EQ(table.bucketCount(), 389u);
    table.add("f193", 0, {0x01});
    EXPECT_EQ(table.bucketCount(), 389u);
    addAll(table, fillers(200, "g"));
    EXPECT_EQ(table.bucketCount(), 769u);

    table.clear();
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.bucketCount(), 769u);
    EXPECT_EQ(enumerated(table), Names{});
    PortId port = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    EXPECT_FALSE(table.lookup("f0", port, bytes, count));
    table.add("f0", 4, {0x01});
    ASSERT_TRUE(table.lookup("f0", port, bytes, count));
    EXPECT_EQ(port, 4u);
}

TEST(CommandTableGrowth, RechainingReversesASharedChain) {
    // AF, BA and C< hash alike, so they share a bucket at every size.
    const std::set<std::string> colliding{"AF", "BA", "C<"};
    auto collidingOrder = [&](const CommandTable& table) {
        Names order;
        for (const std::string& name : enumerated(table))
            if (colliding.count(name))
                order.push_back(name);
        return order;
    };
    CommandTable table;
    addAll(table, {"AF", "BA"});
    addAll(table, fillers(192));
    EXPECT_EQ(table.bucketCount(), 389u);
    EXPECT_EQ(collidingOrder(table), (Names{"AF", "BA"}));
    table.add("C<", 0, {0x01});
    EXPECT_EQ(collidingOrder(table), (Names{"C<", "AF", "BA"}));
    addAll(table, fillers(200, "g"));
    EXPECT_EQ(table.bucketCount(), 769u);
    EXPECT_EQ(collidingOrder(table), (Names{"BA", "AF", "C<"}));
}

// A plain model of the table: one deque per bucket, front = head of the chain.
struct ModelTable {
    std::vector<std::deque<std::string>> buckets = std::vector<std::deque<std::string>>(193);
    std::set<std::string> names;

    void add(const std::string& name) {
        static const std::vector<std::size_t> primes{193, 389, 769, 1543, 3079, 6151, 12289};
        const std::size_t wanted = names.size() + 1;
        if (wanted > buckets.size()) {
            const std::size_t size = *std::lower_bound(primes.begin(), primes.end(), wanted);
            std::vector<std::deque<std::string>> grown(size);
            for (const auto& chain : buckets)
                for (const std::string& moved : chain)
                    grown[CommandTable::hash(moved) % size].push_front(moved);
            buckets.swap(grown);
        }
        if (names.insert(name).second)
            buckets[CommandTable::hash(name) % buckets.size()].push_front(name);
    }
    Names order() const {
        Names all;
        for (const auto& chain : buckets)
            all.insert(all.end(), chain.begin(), chain.end());
        return all;
    }
};

TEST(CommandTableGrowth, KeepsEveryEntryAndTheOrderRuleAcrossManyGrowths) {
    // Two-byte names share hashes, so chains are long; the longer names spread widely, so
    // entries of different old buckets meet in one new bucket at every growth.
    Names twoBytes;
    for (char a = '0'; a <= 'z'; ++a)
        for (char b = '0'; b <= 'z'; ++b)
            twoBytes.push_back(std::string{a, b});
    Names names;
    for (std::size_t i = 0; i < 3000; ++i) {
        names.push_back(twoBytes[i * 37 % twoBytes.size()]);
        names.push_back("w" + std::to_string(i * 7919));
    }
    names.push_back(names[5]); // a duplicate, late

    CommandTable table;
    ModelTable model;
    for (const std::string& name : names) {
        table.add(name, static_cast<PortId>(name.size()), {0x41});
        model.add(name);
        ASSERT_EQ(table.bucketCount(), model.buckets.size());
    }
    EXPECT_EQ(table.size(), model.names.size());
    EXPECT_EQ(enumerated(table), model.order());

    const Names order = enumerated(table);
    for (std::size_t i = 1; i < order.size(); ++i)
        ASSERT_LE(CommandTable::hash(order[i - 1]) % table.bucketCount(),
                  CommandTable::hash(order[i]) % table.bucketCount());
    for (const std::string& name : model.names) {
        PortId port = 0;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t count = 0;
        ASSERT_TRUE(table.lookup(name, port, bytes, count)) << name;
        EXPECT_EQ(count, 1u);
    }
}

} // namespace
} // namespace cadentor
