#include "ports/PortSet.h"

#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>

namespace cadentor {
namespace {

using ::testing::ElementsAre;

// A device layer that opens nothing real: it records every open, its settings and every write,
// and fails to open the names in `missing`.
class RecordingLayer : public DeviceLayer {
public:
    struct Device : SerialDevice {
        Device(RecordingLayer& layer, std::string name) : layer(layer), name(std::move(name)) {
            ++layer.live;
        }
        ~Device() override { --layer.live; }
        bool configure(std::uint32_t b, std::uint8_t p, std::uint8_t s, std::string&) override {
            layer.opened.push_back(name + " " + std::to_string(b) + " " + std::to_string(p) + " " +
                                   std::to_string(s));
            return true;
        }
        bool write(const std::uint8_t* bytes, std::size_t count, std::string&) override {
            layer.writes.push_back(name + ":" + std::string(bytes, bytes + count));
            return true;
        }
        RecordingLayer& layer;
        std::string name;
    };

    std::unique_ptr<SerialDevice> open(const std::string& name, std::string& error) override {
        tried.push_back(name);
        if (missing.count(name)) {
            error = name + ": No such file or directory";
            return nullptr;
        }
        return std::make_unique<Device>(*this, name);
    }

    std::vector<std::string> tried, opened, writes;
    std::set<std::string> missing;
    int live = 0;
};

class PortSetLoading : public ::testing::Test {
protected:
    void config(const std::string& text) { dir_.write("Config.ini", text); }
    bool write(PortId id, const std::string& bytes) {
        return ports_.write(id, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                            static_cast<std::uint32_t>(bytes.size()));
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    test::RecordingReporter reporter_;
    RecordingLayer layer_;
    PortSet ports_{layer_};
};

TEST_F(PortSetLoading, WithoutConfigOpensCom1WithTheDefaults) {
    ASSERT_TRUE(ports_.load());
    EXPECT_TRUE(reporter_.reports().empty());
    EXPECT_THAT(layer_.opened, ElementsAre("COM1 9600 0 0"));
    ASSERT_EQ(ports_.count(), 1u);
    EXPECT_EQ(*ports_.deviceName(0), "COM1");
}

TEST_F(PortSetLoading, RequireZeroIsAnEmptySetAndNegativeIsMessage10) {
    config("[Common]\nRequire=0\n[Port0]\nDevice=NUL\n");
    EXPECT_TRUE(ports_.load());
    EXPECT_EQ(ports_.count(), 0u);
    config("[Common]\nRequire=1\n");
    ASSERT_TRUE(ports_.load());
    config("[Common]\nRequire=-1\n");
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::BadPortCount));
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_THAT(layer_.tried, ElementsAre("COM1")); // only the middle load opened a port
    EXPECT_EQ(layer_.live, 0);
}

TEST_F(PortSetLoading, EachPortGetsItsOwnSectionOrTheDefaults) {
    config("[Common]\nRequire=2\n[Port1]\nDevice=ttyUSB0\nBaudRate=115200\nParity=1\n"
           "StopBits=2\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_THAT(layer_.opened, ElementsAre("COM1 9600 0 0", "ttyUSB0 115200 2 2"));
    ASSERT_EQ(ports_.count(), 2u);
    EXPECT_EQ(*ports_.deviceName(1), "ttyUSB0");
    EXPECT_EQ(ports_.baudRate(1), 115200u);
    EXPECT_EQ(ports_.parity(1), 2);
    EXPECT_EQ(ports_.stopBits(1), 2);
}

TEST_F(PortSetLoading, StopsAtTheFirstPortThatCannotOpenAndEmptiesTheSet) {
    config("[Common]\nRequire=3\n[Port0]\nDevice=a\n[Port1]\nDevice=b\n[Port2]\nDevice=c\n");
    layer_.missing = {"b"};
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed));
    EXPECT_EQ(reporter_.reports()[0].detail, "b: No such file or directory");
    EXPECT_THAT(layer_.tried, ElementsAre("a", "b")); // Port2 never reached
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_EQ(layer_.live, 0); // port 0 closed again
    EXPECT_FALSE(write(0, "x"));
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed, MessageId::BadPortId));
}

TEST_F(PortSetLoading, EveryLoadReadsTheFileAfreshAndReopensEveryPort) {
    config("[Common]\nRequire=1\n[Port0]\nDevice=first\n");
    ASSERT_TRUE(ports_.load());
    config("[Common]\nRequire=2\n[Port0]\nDevice=second\n[Port1]\nDevice=third\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_THAT(layer_.tried, ElementsAre("first", "second", "third"));
    EXPECT_EQ(layer_.live, 2);
    EXPECT_EQ(*ports_.deviceName(0), "second");
}

TEST_F(PortSetLoading, WritesGoToThePortOfTheirIdAndOtherIdsAreMessage11) {
    config("[Common]\nRequire=2\n[Port0]\nDevice=a\n[Port1]\nDevice=b\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_TRUE(write(1, "PON"));
    EXPECT_TRUE(write(0, ""));
    EXPECT_TRUE(reporter_.reports().empty());
    for (PortId id : {PortId{2}, ExecPortId, OpenPortId, PortId{0xffffffffu}})
        EXPECT_FALSE(write(id, "x"));
    EXPECT_EQ(reporter_.ids(), std::vector<MessageId>(4, MessageId::BadPortId));
    EXPECT_THAT(layer_.writes, ElementsAre("b:PON", "a:"));
}

TEST_F(PortSetLoading, AccessorsBeyondTheSetGiveNoValues) {
    config("[Common]\nRequire=1\n[Port0]\nDevice=a\nParity=3\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_EQ(ports_.parity(0), 1);
    for (PortId id : {1u, 1023u}) {
        EXPECT_EQ(ports_.deviceName(id), nullptr);
        EXPECT_EQ(ports_.baudRate(id), 0u);
        EXPECT_EQ(ports_.parity(id), 255);
        EXPECT_EQ(ports_.stopBits(id), 255);
    }
    ports_.closeAll();
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_EQ(ports_.deviceName(0), nullptr);
    EXPECT_EQ(layer_.live, 0);
}

TEST_F(PortSetLoading, TheDryRunLayerAcceptsEveryPortWithoutOpeningIt) {
    config("[Common]\nRequire=2\n[Port0]\nDevice=/nonexistent/tty\nStopBits=1\n");
    PortSet dry(DeviceLayer::dryRun());
    ASSERT_TRUE(dry.load());
    EXPECT_EQ(dry.count(), 2u);
    EXPECT_EQ(*dry.deviceName(1), "COM2");
    const std::uint8_t byte = 0x41;
    EXPECT_TRUE(dry.write(0, &byte, 1));
    EXPECT_TRUE(reporter_.reports().empty());
    EXPECT_EQ(&PortSet::instance(), &PortSet::instance());
}

} // namespace
} // namespace cadentor
