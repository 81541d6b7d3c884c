#pragma once
// Shared by the sequence tests: a program directory with Command.def and Config.ini, a port
// set over real devices (ptys), a clock over a fake counter, and the marks started programs leave.

#include "ports/PortSet.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"
#include "support/FakeMilliseconds.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace cadentor::test {

inline const char* const NoPorts = "[Common]\r\nRequire=0\r\n";

// The contents of `path` once it exists, or nothing after ten seconds.
inline std::optional<std::string> waitForFile(const std::string& path) {
    for (int tries = 0; tries < 2000; ++tries) {
        if (std::ifstream in{path, std::ios::binary})
            return std::string(std::istreambuf_iterator<char>(in), {});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

// An executable `dir`/name that writes its arguments, one a line, to <script>.out at once.
inline std::string writeScript(
    const TempDir& dir, const std::string& name,
    const std::string& body = "printf '%s\\n' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.out\"") {
    const std::string path = dir.write(name, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

struct SequenceSetup {
    TempDir dir;
    ScopedProgramDirectory programDirectory{dir.path()};
    RecordingReporter reporter;
    FakeMilliseconds ms;
    PortSet ports;
    SequenceClock clock{ms.source()};
    EventSequence sequence{ports, clock};

    // Writes both files, then loads the ports and the commands, as Initialize does.
    bool configure(const std::string& config, const std::string& commandDef) {
        dir.write("Config.ini", config);
        dir.write("Command.def", commandDef);
        ports.load();
        return sequence.clearAndReloadCommands();
    }
    bool load(std::string_view bytes) { return sequence.load(dir.write("sequence.txt", bytes)); }
    // "time name status" of every event, status P(ending), D(one) or F(ailed).
    std::string events() const {
        std::string text;
        for (int i = 0; i < sequence.count(); ++i) {
            const SequenceEvent& e = *sequence.eventAt(i);
            text += (i ? "," : "") + std::to_string(e.timeCode()) + " " + e.name() + " " +
                    "PDF"[static_cast<int>(e.status())];
        }
        return text;
    }
};

} // namespace cadentor::test
