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
    void TearDown() override { ports_.closeAll(); } // before the devices of derived fixtures go
    void config(int require, const std::string& ports = "") {
        dir_.write("Config.ini", "[Common]\nRequire=" + std::to_string(require) + "\n" + ports);
    }
    // Requires one port for each device, each with the settings `more`.
    void config(const std::vector<std::string>& devices, const std::string& more = "") {
        std::string ports;
        for (std::size_t i = 0; i < devices.size(); ++i)
            ports += port(static_cast<int>(i), devices[i], more);
        config(static_cast<int>(devices.size()), ports);
    }
    static std::string port(int n, const std::string& device, const std::string& more = "") {
        return "[Port" + std::to_string(n) + "]\nDevice=" + device + "\n" + more;
    }
    bool write(PortId id, const std::string& bytes, PortSet* set = nullptr) {
        return (set ? *set : ports_)
            .write(id, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()));
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
