// Names that all share one bucket hash: the table must still find each one, refuse each
// repetition and enumerate them in the order of their chain.

#include "commands/CommandTable.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>

namespace cadentor {
namespace {

// The i-th name of `blocks` blocks, each "AF" or "BA" (bit k of i picks block k): all of them
// hash alike, whatever their number.
std::string colliding(unsigned i, int blocks = 10) {
    std::string name;
    for (int k = 0; k < blocks; ++k)
        name += (i >> k & 1) ? "BA" : "AF";
    return name;
}

// "port:first byte" stored under `name`, or "-".
std::string find(const CommandTable& table, const std::string& name) {
    PortId port = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
    return table.lookup(name, port, bytes, length)
               ? std::to_string(port) + ":" + std::to_string(bytes[0])
               : "-";
}

TEST(CollidingNames, EachIsFoundOnceAndKeepsItsFirstDefinition) {
    const unsigned count = 1024;
    ASSERT_EQ(CommandTable::hash(colliding(0)), CommandTable::hash(colliding(count - 1)));
    CommandTable table;
    std::string name; // one buffer for every name: the table must keep names of its own
    for (unsigned round = 0; round < 2; ++round)
        for (unsigned i = 0; i < count; ++i)
            table.add(name = colliding(i), round * count + i, {static_cast<std::uint8_t>(i)});
    name = "something else";
    EXPECT_EQ(table.size(), count);
    for (unsigned i = 0; i < count; ++i)
        ASSERT_EQ(find(table, colliding(i)), std::to_string(i) + ":" + std::to_string(i % 256));
    for (const std::string& missing :
         {colliding(count, 11), colliding(5, 9), colliding(0).substr(1), name})
        EXPECT_EQ(find(table, missing), "-") << missing;

    // One chain, newest first at each step; each growth (193 -> 389 -> 769 -> 1543, before
    // the 194th, 390th and 770th name) re-chains it from its head, so reverses it.
    std::deque<std::string> chain;
    for (unsigned i = 0; i < count; ++i) {
        if (i == 193 || i == 389 || i == 769)
            std::reverse(chain.begin(), chain.end());
        chain.push_front(colliding(i));
    }
    std::vector<std::string> names;
    for (auto [it, end] = table.entries(); it != end; ++it)
        names.push_back(it->name);
    EXPECT_EQ(table.bucketCount(), 1543u);
    EXPECT_EQ(names, std::vector<std::string>(chain.begin(), chain.end()));
    table.clear();
    EXPECT_EQ(find(table, colliding(0)), "-");
}

} // namespace
} // namespace cadentor
