#include "commands/CommandTable.h"

#include "files/ProgramDirectory.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <unistd.h>

namespace cadentor {
namespace {

using namespace std::string_view_literals;
using Names = std::vector<std::string>;
using Found = std::optional<std::pair<PortId, ByteStream>>;

Found entry(PortId port, const ByteStream& bytes) {
    return std::make_pair(port, bytes);
}

// The port and bytes stored under `name`, or nothing; `at` receives where the bytes are kept.
Found find(const CommandTable& table, std::string_view name, const std::uint8_t** at = nullptr) {
    PortId port = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    if (!table.lookup(name, port, bytes, count))
        return std::nullopt;
    if (at)
        *at = bytes;
    return entry(port, ByteStream(bytes, bytes + count));
}

Names enumerated(const CommandTable& table) {
    Names names;
    for (auto [it, end] = table.entries(); it != end; ++it)
        names.push_back(it->name);
    return names;
}

TEST(CommandTable, EnumeratesInAscendingBucketsNewestFirst) {
    EXPECT_EQ(CommandTable::hash("\xc8"), 4294967240u); // bytes count as signed
    EXPECT_EQ(CommandTable::hash("\x82\xa0"), 4294966570u);
    const auto order = [](const Names& names) {
        CommandTable table;
        for (const std::string& name : names)
            table.add(name, 0, {0x41});
        return enumerated(table);
    };
    EXPECT_EQ(order({"AF", "BA"}), (Names{"BA", "AF"}));
    EXPECT_EQ(order({"BA", "AF"}), (Names{"AF", "BA"}));
    // Calc and the single byte 200 share bucket 52; 130 160 lies in bucket 154.
    EXPECT_EQ(order({"\x82\xa0", "Calc", "\xc8"}), (Names{"\xc8", "Calc", "\x82\xa0"}));
    Names names{"Calc", "Lamp", "Mute", "Notes", "PowerOn"};
    do
        EXPECT_EQ(order(names), (Names{"PowerOn", "Lamp", "Calc", "Mute", "Notes"}));
    while (std::next_permutation(names.begin(), names.end()));
}

TEST(CommandTable, FirstDefinitionWinsAndLookupIsExact) {
    CommandTable table;
    ByteStream source{0x00, 0x01};
    EXPECT_TRUE(table.add("A", 0, source));
    source[0] = 0xEE;
    EXPECT_TRUE(table.add("A", 1, {0x42}));
    table.add("a", 2, {0x44});
    table.add("A~", 3, {0x45}); // the same bucket as A, and newer
    EXPECT_EQ(table.size(), 3u);
    EXPECT_FALSE(table.isEmpty());
    EXPECT_EQ(find(table, "A"), entry(0, {0x00, 0x01}));
    EXPECT_EQ(find(table, "a"), entry(2, {0x44}));

    PortId port = 77;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 99;
    for (std::string_view missing : {"A ", " A", "AA", "", "b", "\xc1"})
        EXPECT_FALSE(table.lookup(missing, port, bytes, count)) << missing;
    EXPECT_TRUE(port == 77 && bytes == nullptr && count == 99);
}

TEST(CommandTable, GrowsBeforeTheNextEntryWouldExceedTheBucketsKeepingEntriesAndOrder) {
    // Two-byte names share hashes, so chains are long and growth must re-chain them (reversed);
    // the longer names spread widely, so entries of different old buckets meet in new ones.
    Names names;
    for (std::size_t i = 0; i < 3000; ++i) {
        const std::size_t k = i * 37 % (75 * 75);
        names.push_back({static_cast<char>('0' + k / 75), static_cast<char>('0' + k % 75)});
        names.push_back("w" + std::to_string(i * 7919));
    }
    names.insert(names.begin() + 193, names[1]); // grows before it sees the duplicate
    // A plain model: one deque per bucket, front = head of the chain.
    const std::vector<std::size_t> primes{193, 389, 769, 1543, 3079, 6151, 12289};
    std::vector<std::deque<std::string>> model(193);
    std::set<std::string> distinct;
    CommandTable table;
    const std::uint8_t* kept = nullptr;
    for (const std::string& name : names) {
        table.add(name, 0, {0x41});
        if (distinct.size() == model.size()) {
            std::vector<std::deque<std::string>> grown(
                *std::upper_bound(primes.begin(), primes.end(), model.size()));
            for (const auto& chain : model)
                for (const std::string& moved : chain)
                    grown[CommandTable::hash(moved) % grown.size()].push_front(moved);
            model.swap(grown);
        }
        if (distinct.insert(name).second)
            model[CommandTable::hash(name) % model.size()].push_front(name);
        ASSERT_EQ(table.bucketCount(), model.size());
        if (distinct.size() == 1)
            find(table, name, &kept);
    }
    EXPECT_EQ(model.size(), 6151u);
    Names order;
    for (const auto& chain : model)
        order.insert(order.end(), chain.begin(), chain.end());
    EXPECT_EQ(enumerated(table), order);
    const std::uint8_t* after = nullptr;
    EXPECT_EQ(find(table, names[0], &after), entry(0, {0x41}));
    EXPECT_EQ(after, kept);
    for (const std::string& name : distinct)
        ASSERT_TRUE(find(table, name)) << name;

    table.clear();
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.bucketCount(), 6151u);
    EXPECT_FALSE(find(table, names[0]));
}

class CommandLoad : public testing::Test {
protected:
    std::string path() const { return dir.file("Command.def"); }
    bool load(std::string_view file) {
        dir.write("Command.def", file);
        return table.load();
    }
    void expectOneMessage(MessageId id, const std::string& detail) {
        ASSERT_EQ(reporter.ids(), std::vector<MessageId>{id});
        EXPECT_EQ(reporter.reports()[0].detail, detail);
        reporter.clear();
    }

    test::TempDir dir;
    test::ScopedProgramDirectory programDirectory{dir.path()};
    test::RecordingReporter reporter;
    CommandTable table;
};

TEST_F(CommandLoad, EveryLineEndAndZeroByteEndALineAndTheLastNeedsNone) {
    EXPECT_TRUE(load("\r\n\n\r\0\r\n"sv));
    EXPECT_TRUE(table.isEmpty());
    EXPECT_TRUE(load("A: 0: 41\r\nB: 1: 42\nC: 2: 43\rD: 3: 44\0E: exec: run  "sv));
    EXPECT_TRUE(reporter.ids().empty());
    EXPECT_EQ(enumerated(table), (Names{"A", "B", "C", "D", "E"}));
    EXPECT_EQ(find(table, "D"), entry(3, {0x44}));
    EXPECT_EQ(find(table, "E"), entry(ExecPortId, {'r', 'u', 'n', ' ', ' '}));
}

TEST_F(CommandLoad, ParseFailureKeepsEarlierLinesAndNamesTheEditorLine) {
    for (const auto& [file, line] : std::vector<std::pair<std::string_view, std::string>>{
             {"A: 0: 41\nB: 1: 42\nC: 2: 4\nD: 3: 44\n"sv, ":3"},
             {"A: 0: 41\r\n\r\nB: 1: 42\r\nC: 2: x\r\n"sv, ":4"},
             {"A: 0: 41\0B: 1: 42\0C\nD: 3: 44"sv, ":1"},
             {"A: 0: 41\rB: 1: 42\r\r C: 2: 43"sv, ":4"}}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(load(file));
        expectOneMessage(MessageId::CommandParseFailed, path() + line);
        EXPECT_EQ(enumerated(table), (Names{"A", "B"}));
    }
}

TEST_F(CommandLoad, ReloadKeepsNothingOfTheOldFileEvenWhenItFails) {
    ASSERT_TRUE(load("A: 0: 41\nB: 0: 42\n"));
    EXPECT_TRUE(load("B: 5: 55\nC: 0: 43\n"));
    EXPECT_EQ(enumerated(table), (Names{"B", "C"}));
    EXPECT_EQ(find(table, "B"), entry(5, {0x55}));
    EXPECT_FALSE(load("A: 0: 41\nbad\n"));
    EXPECT_EQ(enumerated(table), Names{"A"});
    expectOneMessage(MessageId::CommandParseFailed, path() + ":2");

    ASSERT_EQ(::unlink(path().c_str()), 0);
    EXPECT_FALSE(table.load());
    expectOneMessage(MessageId::CommandReadFailed, path() +
                                                       ": No such file or directory (examples in " +
                                                       examplesDirectory() + ")");
    EXPECT_TRUE(table.isEmpty());
    EXPECT_FALSE(load(""));
    expectOneMessage(MessageId::CommandReadFailed, path() + ": file is empty");
}

} // namespace
} // namespace cadentor
