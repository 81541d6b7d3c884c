#include "commands/CommandTable.h"

#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <set>

using namespace cadentor;

namespace {

using namespace std::literals;
using Names = std::vector<std::string>;

// "port:bytes" stored under `name`, or "-".
std::string find(const CommandTable& table, std::string_view name) {
    PortId port = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    return table.lookup(name, port, bytes, count)
               ? std::to_string(port) + ":" + std::string(bytes, bytes + count)
               : "-";
}

Names enumerated(const CommandTable& table) {
    Names names;
    for (auto [it, end] = table.entries(); it != end; ++it)
        names.push_back(it->name);
    return names;
}

TEST(CommandTable, FirstDefinitionWinsAndEntriesComeByBucketNewestFirst) {
    CommandTable table;
    for (const char* name : {"Notes", "Calc", "\x82\xa0", "Mute", "\xc8", "PowerOn", "Lamp"})
        table.add(name, 0, {0x41});
    // Calc and the byte 200 (signed, so hash 4294967240) share bucket 52; 130 160 lies in 154.
    EXPECT_EQ(enumerated(table),
              (Names{"PowerOn", "Lamp", "\xc8", "Calc", "Mute", "Notes", "\x82\xa0"}));
    table.add("A", 3, {0x00, 0x01});
    table.add("A", 1, {0x42});
    table.add("a", 2, {0x44});
    EXPECT_EQ(find(table, "A") + find(table, "a"), "3:\0\x01"s + "2:D");
    for (std::string_view missing : {"A ", "AA", "", "\xc1"})
        EXPECT_EQ(find(table, missing), "-") << missing;
    EXPECT_EQ(table.size(), 9u);
}

TEST(CommandTable, KeepsEveryEntryAsItGrows) {
    CommandTable table;
    std::set<std::string> names; // two-byte names share hashes: long chains to move
    for (int i = 0; i < 3000; ++i) {
        const char name[] = {static_cast<char>('0' + i % 75), static_cast<char>('0' + i / 75), 0};
        table.add(*names.insert(name).first, i % 7, {0x41});
    }
    for (const std::string& name : names)
        ASSERT_NE(find(table, name), "-") << name;
    const Names order = enumerated(table);
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()), names);
    EXPECT_EQ(order.size(), names.size());
}

TEST(CommandLoad, ReadsEveryLineStopsAtTheFirstBadOneAndAnEmptyOrMissingFileEmptiesTheTable) {
    test::TempDir dir;
    test::ScopedProgramDirectory programDirectory{dir.path()};
    test::RecordingReporter reporter;
    CommandTable table;
    const std::string path = dir.file("Command.def");
    EXPECT_TRUE(
        (dir.write("Command.def", "A: 0: 41\r\nB: 1: 42\nC: 2: 43\rD: 3: 44\0E: exec: run  "sv),
         table.load()));
    EXPECT_EQ(enumerated(table), (Names{"A", "B", "C", "D", "E"}));
    EXPECT_EQ(find(table, "E"), "1023:run  ");
    const auto refused = [&](std::string_view file, MessageId id, const std::string& detail) {
        file.data() ? (void)dir.write("Command.def", file) : (void)std::filesystem::remove(path);
        EXPECT_FALSE(table.load()) << detail;
        EXPECT_EQ(reporter.ids(), std::vector<MessageId>{id}) << detail;
        EXPECT_EQ(reporter.reports().empty() ? "" : reporter.reports()[0].detail, path + detail);
        EXPECT_EQ(table.isEmpty(), id == MessageId::CommandReadFailed); // else the lines before
        reporter.clear();
    };
    // The lines before the bad one stay defined; D of the load before is gone.
    refused("X: 0: 41\nB: 1: 42\r\n\r\nC: 2: x\r\n", MessageId::CommandParseFailed, ":4");
    EXPECT_EQ(find(table, "X") + find(table, "B") + find(table, "D"), "0:A1:B-");
    refused("", MessageId::CommandReadFailed, ": file is empty");
    dir.write("Command.def", "A: 0: 41\n");
    ASSERT_TRUE(table.load());
    refused({}, MessageId::CommandReadFailed,
            ": No such file or directory (examples in " + examplesDirectory() + ")");
}

} // namespace
