#include "ports/PortSet.h"

#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>

namespace cadentor {
namespace {

using ::testing::ElementsAre;

// A device layer that opens nothing real: it records every open and write, fails to open the
// names in `missing`, and refuses settings for the names in `refusing`.
class RecordingLayer : public DeviceLayer {
public:
    struct Open {
        std::string name;
        std::uint32_t baudRate = 0;
        std::uint8_t parity = 255;
        std::uint8_t stopBits = 255;
    };

    std::unique_ptr<SerialDevice> open(const std::string& name, std::string& error) override {
        opens.push_back({name});
        if (missing.count(name)) {
            error = name + ": No such file or directory";
            return nullptr;
        }
        return std::make_unique<Device>(*this, opens.size() - 1, refusing.count(name) > 0);
    }

    std::vector<std::string> openedNames() const {
        std::vector<std::string> names;
        for (const Open& o : opens)
            names.push_back(o.name);
        return names;
    }

    std::vector<Open> opens;
    std::vector<std::pair<std::string, std::string>> writes; // device name, bytes
    std::set<std::string> missing, refusing;
    int liveDevices = 0;

private:
    class Device : public SerialDevice {
    public:
        Device(RecordingLayer& layer, size_t index, bool refuse)
            : layer_(layer), index_(index), refuse_(refuse) {
            ++layer_.liveDevices;
        }
        ~Device() override { --layer_.liveDevices; }
        bool configure(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                       std::string& error) override {
            Open& o = layer_.opens[index_];
            o.baudRate = baudRate;
            o.parity = parity;
            o.stopBits = stopBits;
            error = "refused";
            return !refuse_;
        }
        bool write(const std::uint8_t* bytes, std::size_t count, std::string&) override {
            layer_.writes.emplace_back(layer_.opens[index_].name,
                                       std::string(bytes, bytes + count));
            return true;
        }

    private:
        RecordingLayer& layer_;
        size_t index_;
        bool refuse_;
    };
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
    ASSERT_EQ(ports_.count(), 1u);
    ASSERT_EQ(layer_.opens.size(), 1u);
    EXPECT_EQ(layer_.opens[0].name, "COM1");
    EXPECT_EQ(layer_.opens[0].baudRate, 9600u);
    EXPECT_EQ(layer_.opens[0].parity, 0);
    EXPECT_EQ(layer_.opens[0].stopBits, 0);
    EXPECT_EQ(*ports_.deviceName(0), "COM1");
}

TEST_F(PortSetLoading, RequireZeroIsAnEmptySet) {
    config("[Common]\nRequire=0\n[Port0]\nDevice=NUL\n");
    EXPECT_TRUE(ports_.load());
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_TRUE(layer_.opens.empty());
    EXPECT_TRUE(reporter_.reports().empty());
}

TEST_F(PortSetLoading, NegativeRequireIsMessage10AndNoPort) {
    config("[Common]\nRequire=1\n");
    ASSERT_TRUE(ports_.load());
    config("[Common]\nRequire=-1\n");
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::BadPortCount));
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_EQ(layer_.opens.size(), 1u); // only the first load opened anything
    EXPECT_EQ(layer_.liveDevices, 0);
}

TEST_F(PortSetLoading, EachPortGetsItsOwnSectionOrTheDefaults) {
    config("[Common]\nRequire=2\n[Port1]\nDevice=ttyUSB0\nBaudRate=115200\nParity=1\n"
           "StopBits=2\n");
    ASSERT_TRUE(ports_.load());
    ASSERT_EQ(ports_.count(), 2u);
    EXPECT_EQ(*ports_.deviceName(0), "COM1");
    EXPECT_EQ(ports_.baudRate(0), 9600u);
    EXPECT_EQ(*ports_.deviceName(1), "ttyUSB0");
    EXPECT_EQ(ports_.baudRate(1), 115200u);
    EXPECT_EQ(ports_.parity(1), 2);
    EXPECT_EQ(ports_.stopBits(1), 2);
    EXPECT_EQ(layer_.opens[1].parity, 2);
}

TEST_F(PortSetLoading, StopsAtTheFirstPortThatCannotOpenAndEmptiesTheSet) {
    config("[Common]\nRequire=3\n[Port0]\nDevice=a\n[Port1]\nDevice=b\n[Port2]\nDevice=c\n");
    layer_.missing = {"b"};
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed));
    EXPECT_EQ(reporter_.reports()[0].detail, "b: No such file or directory");
    EXPECT_THAT(layer_.openedNames(), ElementsAre("a", "b")); // Port2 never reached
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_EQ(layer_.liveDevices, 0); // port 0 closed again
}

TEST_F(PortSetLoading, RefusedSettingsAreMessage2AndEmptyTheSet) {
    config("[Common]\nRequire=2\n[Port0]\nDevice=a\n[Port1]\nDevice=b\n");
    layer_.refusing = {"a"};
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortSetupFailed));
    EXPECT_THAT(layer_.openedNames(), ElementsAre("a"));
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_EQ(layer_.liveDevices, 0);
}

TEST_F(PortSetLoading, EveryLoadReadsTheFileAfreshAndReopensEveryPort) {
    config("[Common]\nRequire=1\n[Port0]\nDevice=first\n");
    ASSERT_TRUE(ports_.load());
    config("[Common]\nRequire=2\n[Port0]\nDevice=second\n[Port1]\nDevice=third\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_THAT(layer_.openedNames(), ElementsAre("first", "second", "third"));
    EXPECT_EQ(layer_.liveDevices, 2);
    EXPECT_EQ(*ports_.deviceName(0), "second");
}

TEST_F(PortSetLoading, WritesGoToThePortOfTheirId) {
    config("[Common]\nRequire=2\n[Port0]\nDevice=a\n[Port1]\nDevice=b\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_TRUE(write(1, std::string("\x02PON\x03", 5)));
    EXPECT_TRUE(write(0, ""));
    ASSERT_EQ(layer_.writes.size(), 2u);
    EXPECT_EQ(layer_.writes[0], std::make_pair(std::string("b"), std::string("\x02PON\x03", 5)));
    EXPECT_EQ(layer_.writes[1], std::make_pair(std::string("a"), std::string()));
    EXPECT_TRUE(reporter_.reports().empty());
}

TEST_F(PortSetLoading, AnIdNotBelowCountIsMessage11AndWritesNothing) {
    config("[Common]\nRequire=1\n[Port0]\nDevice=a\n");
    ASSERT_TRUE(ports_.load());
    for (PortId id : {PortId{1}, ExecPortId, OpenPortId, PortId{0xffffffffu}})
        EXPECT_FALSE(write(id, "x"));
    EXPECT_EQ(reporter_.ids(), std::vector<MessageId>(4, MessageId::BadPortId));
    EXPECT_TRUE(layer_.writes.empty());
}

TEST_F(PortSetLoading, AfterAFailedLoadPort0IsMessage11) {
    config("[Common]\nRequire=1\n[Port0]\nDevice=a\n");
    layer_.missing = {"a"};
    EXPECT_FALSE(ports_.load());
    EXPECT_FALSE(write(0, "x"));
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed, MessageId::BadPortId));
}

TEST_F(PortSetLoading, AccessorsBeyondTheSetGiveNoValues) {
    config("[Common]\nRequire=1\n[Port0]\nDevice=a\nParity=3\n");
    ASSERT_TRUE(ports_.load());
    EXPECT_EQ(ports_.parity(0), 1);
    EXPECT_EQ(ports_.deviceName(1), nullptr);
    EXPECT_EQ(ports_.baudRate(1), 0u);
    EXPECT_EQ(ports_.parity(1), 255);
    EXPECT_EQ(ports_.stopBits(1), 255);
    ports_.closeAll();
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_EQ(ports_.deviceName(0), nullptr);
    EXPECT_EQ(layer_.liveDevices, 0);
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
}

TEST(PortSetInstance, IsOneSetCreatedEmpty) {
    EXPECT_EQ(&PortSet::instance(), &PortSet::instance());
    EXPECT_EQ(PortSet::instance().count(), 0u);
}

} // namespace
} // namespace cadentor
