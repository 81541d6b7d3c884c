#include "ports/PortConfig.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

// Config.ini as a real file in the program directory, read as PortSet::load reads it.
class ConfigFile : public ::testing::Test {
protected:
    ProfileFile write(const std::string& text) {
        dir_.write("Config.ini", text);
        return ProfileFile::load(configFilePath());
    }
    PortSettings port0(const std::string& keys) {
        return readPortSettings(write("[Port0]\n" + keys), 0);
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
};

void expectSettings(const PortSettings& s, const std::string& device, std::uint32_t baud,
                    std::uint8_t parity, std::uint8_t stopBits) {
    EXPECT_EQ(s.device, device);
    EXPECT_EQ(s.baudRate, baud);
    EXPECT_EQ(s.parity, parity);
    EXPECT_EQ(s.stopBits, stopBits);
}

TEST_F(ConfigFile, WithoutAFileThereIsOnePortOnCom1At9600) {
    EXPECT_EQ(configFilePath(), dir_.path() + "/Config.ini");
    ProfileFile profile = ProfileFile::load(configFilePath());
    EXPECT_EQ(readRequire(profile), 1);
    expectSettings(readPortSettings(profile, 0), "COM1", 9600, 0, 0);
    expectSettings(readPortSettings(profile, 3), "COM4", 9600, 0, 0);
}

TEST_F(ConfigFile, RequireIsReadWithItsSign) {
    EXPECT_EQ(readRequire(write("[Common]\nRequire=0\n")), 0);
    EXPECT_EQ(readRequire(write("[Common]\nRequire=-1\n")), -1);
    EXPECT_EQ(readRequire(write("[common]\r\nrequire = 2\r\n")), 2);
    EXPECT_EQ(readRequire(write("[Other]\nRequire=5\n")), 1);
}

TEST_F(ConfigFile, EachPortHasItsSectionOrTheDefaults) {
    ProfileFile profile = write("[Common]\nRequire=2\n[PORT1]\ndevice = \"ttyUSB0\" \nParity=3\n"
                                "BAUDRATE=\t115200\nBaudRate=1\n");
    expectSettings(readPortSettings(profile, 0), "COM1", 9600, 0, 0);
    expectSettings(readPortSettings(profile, 1), "ttyUSB0", 115200, 1, 0);
}

TEST_F(ConfigFile, LongDevicesAreCutAndBaudRatesReadAsIntegers) {
    const std::string device(300, 'd');
    EXPECT_EQ(port0("Device=" + device).device, device.substr(0, 259));
    EXPECT_EQ(port0("BaudRate=250000").baudRate, 250000u);
    EXPECT_EQ(port0("BaudRate=-1").baudRate, 4294967295u);
    EXPECT_EQ(port0("BaudRate=fast").baudRate, 0u);
}

TEST_F(ConfigFile, SelectorsMapToTheirCodes) {
    // Parity: 1 even (code 2), 2 mark (3), 3 odd (1), 4 space (4), others none. StopBits: the
    // code itself for 0 to 2, else one stop bit.
    struct Case {
        const char* value;
        int parity, stopBits;
    };
    for (const Case& c :
         {Case{"0", 0, 0}, Case{"1", 2, 1}, Case{"2", 3, 2}, Case{"3", 1, 0}, Case{"4", 4, 0},
          Case{"5", 0, 0}, Case{"7", 0, 0}, Case{"-1", 0, 0}, Case{"x", 0, 0}, Case{"258", 0, 0}}) {
        const std::string v = c.value;
        PortSettings s = port0("Parity=" + v + "\nStopBits=" + v);
        EXPECT_EQ(s.parity, c.parity) << "Parity=" << v;
        EXPECT_EQ(s.stopBits, c.stopBits) << "StopBits=" << v;
    }
}

} // namespace
} // namespace cadentor
