// Generates a Command.def of 1,000 commands and a sequence file of 1,000,000 lines in random
// time order, then loads the file several times and prints the time per load and the memory
// that the loaded events take: the growth of the peak resident set during the first load
// (file buffer, events and sort included) and the heap still in use once it has returned.
//
//   sequence_bench [lines] [commands] [loads]

#include "files/ProgramDirectory.h"
#include "ports/PortSet.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd; // small chunks and mmapped blocks
}

std::string commandName(unsigned i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%04u", i % 2 ? "OPEN" : "RUN", i);
    return name;
}

bool writeFiles(const std::string& dir, unsigned lines, unsigned commands) {
    FILE* config = std::fopen((dir + "/Config.ini").c_str(), "wb");
    FILE* defs = std::fopen((dir + "/Command.def").c_str(), "wb");
    FILE* sequence = std::fopen((dir + "/sequence.txt").c_str(), "wb");
    if (!config || !defs || !sequence)
        return false;
    std::fputs("[Common]\r\nRequire=0\r\n", config);
    for (unsigned i = 0; i < commands; ++i)
        std::fprintf(defs,
                     i % 2 ? "%s: open: /srv/show/clip%u.mp4\r\n"
                           : "%s: exec: /usr/bin/player --cue %u\r\n",
                     commandName(i).c_str(), i);
    std::mt19937 random(20261206);
    std::uniform_int_distribution<unsigned> timeCode(0, 4 * 3600 * 1000);
    std::uniform_int_distribution<unsigned> command(0, commands - 1);
    for (unsigned i = 0; i < lines; ++i) {
        const unsigned t = timeCode(random);
        std::fprintf(sequence, "%u:%u:%u.%03u %s\r\n", t / 3600000, t / 60000 % 60, t / 1000 % 60,
                     t % 1000, commandName(command(random)).c_str());
    }
    return std::fclose(config) == 0 && std::fclose(defs) == 0 && std::fclose(sequence) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const unsigned lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const unsigned commands = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    const int loads = argc > 3 ? std::atoi(argv[3]) : 5;
    if (lines == 0 || commands == 0 || loads <= 0) {
        std::fprintf(stderr, "usage: sequence_bench [lines] [commands] [loads]\n");
        return 2;
    }

    std::string pattern = (std::filesystem::temp_directory_path() / "cadentor-bench-XXXXXX");
    if (!mkdtemp(pattern.data()) || !writeFiles(pattern, lines, commands)) {
        std::fprintf(stderr, "sequence_bench: cannot write the files under %s\n", pattern.c_str());
        return 1;
    }
    const std::string path = pattern + "/sequence.txt";
    cadentor::setProgramDirectory(pattern);

    cadentor::PortSet ports;
    cadentor::SequenceClock clock;
    cadentor::EventSequence sequence(ports, clock);
    ports.load();
    if (!sequence.clearAndReloadCommands())
        return 1;

    const long peakBefore = peakResidentKiB();
    const std::size_t heapBefore = heapInUse();
    std::vector<double> seconds;
    std::size_t heapAfter = 0;
    long peakAfter = 0;
    for (int i = 0; i < loads; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = sequence.load(path);
        const auto end = std::chrono::steady_clock::now();
        if (!ok || sequence.count() != static_cast<int>(lines)) {
            std::fprintf(stderr, "sequence_bench: the load failed\n");
            return 1;
        }
        if (i == 0) {
            peakAfter = peakResidentKiB();
            heapAfter = heapInUse();
        }
        seconds.push_back(std::chrono::duration<double>(end - start).count());
    }
    bool sorted = true;
    for (int i = 1; i < sequence.count(); ++i)
        sorted = sorted && sequence.eventAt(i - 1)->timeCode() <= sequence.eventAt(i)->timeCode();

    std::sort(seconds.begin(), seconds.end());
    const auto size = std::filesystem::file_size(path);
    std::printf("sequence file: %u lines, %ju bytes; %u commands; %d loads; sorted: %s\n", lines,
                static_cast<std::uintmax_t>(size), commands, loads, sorted ? "yes" : "NO");
    std::printf("load time: best %.3f s, median %.3f s, worst %.3f s (%.0f ns per line)\n",
                seconds.front(), seconds[seconds.size() / 2], seconds.back(),
                seconds[seconds.size() / 2] * 1e9 / lines);
    std::printf("peak resident growth in the first load: %.1f bytes per event\n",
                (peakAfter - peakBefore) * 1024.0 / lines);
    std::printf("heap held by the loaded events: %.1f bytes per event\n",
                (static_cast<double>(heapAfter) - static_cast<double>(heapBefore)) / lines);

    sequence.clear();
    std::filesystem::remove_all(pattern);
    return sorted ? 0 : 1;
}
