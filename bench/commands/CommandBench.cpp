// Throughput of the Command.def grammar and of loading a large Command.def.

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

// A program directory holding a Command.def of `count` lines with unique names.
class GeneratedDirectory {
public:
    explicit GeneratedDirectory(int count) {
        std::string pattern = (std::filesystem::temp_directory_path() / "cadentor-bench-XXXXXX");
        if (!::mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
        std::ofstream out(path_ + "/Command.def", std::ios::binary);
        const auto& lines = mixedLines();
        for (int i = 0; i < count; ++i) {
            const std::string& line = lines[static_cast<std::size_t>(i) % lines.size()];
            out << "cmd" << i << line.substr(line.find(':')) << "\r\n";
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

void loadCommandFile(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    GeneratedDirectory directory(count);
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
BENCHMARK(loadCommandFile)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace
