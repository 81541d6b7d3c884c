#pragma once
// Shared by the port set tests: a program directory whose Config.ini each test writes, a
// recording reporter and a port set over real devices.

#include "ports/PortSet.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace cadentor::test {

class PortSetFixture : public ::testing::Test {
protected:
    // How a failed write's detail ends while the port waits to open its device again.
    inline static const std::string reopenNote =
        " (the port opens it again before a later write, at most once a second)";

    void TearDown() override { ports_.closeAll(); } // before the devices of derived fixtures go
    void config(int require, const std::string& ports = "") {
        dir_.write("Config.ini", "[Common]\nRequire=" + std::to_string(require) + "\n" + ports);
    }
    // Requires one port for each device, each with the settings `more`, and loads `set`.
    bool load(const std::vector<std::string>& devices, const std::string& more = "",
              PortSet* set = nullptr) {
        std::string ports;
        for (std::size_t i = 0; i < devices.size(); ++i)
            ports += port(static_cast<int>(i), devices[i], more);
        config(static_cast<int>(devices.size()), ports);
        return (set ? *set : ports_).load();
    }
    static std::string port(int n, const std::string& device, const std::string& more = "") {
        return "[Port" + std::to_string(n) + "]\nDevice=" + device + "\n" + more;
    }
    bool write(PortId id, const std::string& bytes, PortSet* set = nullptr) {
        return (set ? *set : ports_)
            .write(id, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()));
    }
    // Writing `bytes` to port 0 fails with message 4 and `why`, its only report.
    void expectWriteFails(const std::string& why, const std::string& bytes = "x") {
        reporter_.clear();
        EXPECT_FALSE(write(0, bytes)) << why;
        EXPECT_EQ(reporter_.ids(), std::vector{MessageId::PortWriteFailed}) << why;
        EXPECT_EQ(detail(), why);
    }
    std::string detail() const {
        return reporter_.reports().empty() ? "(none)" : reporter_.reports()[0].detail;
    }

    TempDir dir_;
    ScopedProgramDirectory programDirectory_{dir_.path()};
    RecordingReporter reporter_;
    PortSet ports_;
};

} // namespace cadentor::test
