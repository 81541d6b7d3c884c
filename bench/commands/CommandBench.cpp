// Throughput of the Command.def grammar and of loading a large Command.def: ordinary names,
// and names that all share one hash (each a row of 17 blocks "AF" or "BA", which hash alike).

#include "commands/CommandTable.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace cadentor;

const std::vector<std::string>& mixedLines() {
    static const std::vector<std::string> lines{
        "PowerOn: 0: 02 50 4F 4E 03",
        "Lamp:1:B00001111 0d",
        "Mute : 2 : b1  B10000000 7f 7F 00 ff",
        "Notes: open: /home/operator/notes/readme.txt",
        "Calc: EXEC : calc --mode=scientific --precision 12",
        "Volume12: 3: 02 56 4F 4C 31 32 03\t",
    };
    return lines;
}

void parseMixedLines(benchmark::State& state) {
    const auto& lines = mixedLines();
    std::int64_t parsed = 0;
    for (auto _ : state) {
        for (const std::string& line : lines) {
            CommandDefinition definition;
            bool ok = parseCommandDefinition(line, definition);
            benchmark::DoNotOptimize(ok);
            benchmark::DoNotOptimize(definition.bytes.data());
        }
        parsed += static_cast<std::int64_t>(lines.size());
    }
    state.SetItemsProcessed(parsed);
}
BENCHMARK(parseMixedLines);

// The i-th of 2^17 names of one hash: bit k of i picks block k.
std::string collidingName(int i) {
    std::string name;
    for (int k = 0; k < 17; ++k)
        name += (i >> k & 1) ? "BA" : "AF";
    return name;
}

// A program directory holding a Command.def of `count` lines with unique names.
class GeneratedDirectory {
public:
    GeneratedDirectory(int count, bool colliding) {
        std::string pattern = (std::filesystem::temp_directory_path() / "cadentor-bench-XXXXXX");
        if (!::mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
        std::ofstream out(path_ + "/Command.def", std::ios::binary);
        const auto& lines = mixedLines();
        for (int i = 0; i < count; ++i) {
            const std::string& line = lines[static_cast<std::size_t>(i) % lines.size()];
            out << (colliding ? collidingName(i) : "cmd" + std::to_string(i))
                << line.substr(line.find(':')) << "\r\n";
        }
        previous_ = setProgramDirectory(path_);
    }
    ~GeneratedDirectory() {
        setProgramDirectory(previous_);
        std::filesystem::remove_all(path_);
    }

private:
    std::string path_;
    std::string previous_;
};

// range(0): the number of lines; range(1): 1 for names of one hash.
void loadCommandFile(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    GeneratedDirectory directory(count, state.range(1) != 0);
    setReporter([](const ErrorReport&) { std::abort(); });
    for (auto _ : state) {
        // A fresh table each time, as at start-up: the buckets grow from 193 during the load.
        CommandTable table;
        if (!table.load() || table.size() != static_cast<std::uint32_t>(count))
            state.SkipWithError("not every line was loaded");
    }
    state.SetItemsProcessed(state.iterations() * count);
    setReporter({});
}
BENCHMARK(loadCommandFile)
    ->ArgNames({"lines", "colliding"})
    ->Args({100000, 0})
    ->Args({1 << 17, 1})
    ->Unit(benchmark::kMillisecond);

} // namespace
