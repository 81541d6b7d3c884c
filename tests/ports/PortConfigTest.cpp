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

TEST_F(ConfigFile, IsFoundInTheProgramDirectory) {
    EXPECT_EQ(configFilePath(), dir_.path() + "/Config.ini");
}

TEST_F(ConfigFile, NoFileMeansOnePortOnCom1At9600) {
    ProfileFile profile = ProfileFile::load(configFilePath());
    EXPECT_EQ(readRequire(profile), 1);
    expectSettings(readPortSettings(profile, 0), "COM1", 9600, 0, 0);
    expectSettings(readPortSettings(profile, 3), "COM4", 9600, 0, 0);
}

TEST_F(ConfigFile, RequireIsReadWithItsSign) {
    EXPECT_EQ(readRequire(write("[Common]\nRequire=0\n")), 0);
    EXPECT_EQ(readRequire(write("[Common]\nRequire=-1\n")), -1);
    EXPECT_EQ(readRequire(write("[Common]\r\nRequire = 2\r\n")), 2);
    EXPECT_EQ(readRequire(write("[Other]\nRequire=5\n")), 1);
}

TEST_F(ConfigFile, MissingSectionsAndKeysTakeTheirDefaults) {
    ProfileFile profile = write("[Common]\nRequire=2\n[Port1]\nDevice=ttyUSB0\nParity=3\n");
    expectSettings(readPortSettings(profile, 0), "COM1", 9600, 0, 0);
    expectSettings(readPortSettings(profile, 1), "ttyUSB0", 9600, 1, 0);
}

TEST_F(ConfigFile, NamesIgnoreCaseAndValuesLoseQuotesAndBlanks) {
    ProfileFile profile =
        write("[PORT0]\ndevice = \"/dev/ttyACM0\" \nBAUDRATE=\t115200\nstopbits='2'\n");
    expectSettings(readPortSettings(profile, 0), "/dev/ttyACM0", 115200, 0, 2);
}

TEST_F(ConfigFile, DuplicatesKeepTheFirstValue) {
    ProfileFile profile = write("[Port0]\nBaudRate=19200\nBaudRate=38400\n[Port0]\nParity=1\n");
    expectSettings(readPortSettings(profile, 0), "COM1", 19200, 0, 0);
}

TEST_F(ConfigFile, LongDeviceNamesAreCutTo259Bytes) {
    const std::string device(300, 'd');
    PortSettings s = readPortSettings(write("[Port0]\nDevice=" + device + "\n"), 0);
    EXPECT_EQ(s.device, device.substr(0, 259));
}

TEST_F(ConfigFile, BaudRateIsReadAsAnIntegerAndNegativeWraps) {
    EXPECT_EQ(readPortSettings(write("[Port0]\nBaudRate=250000\n"), 0).baudRate, 250000u);
    EXPECT_EQ(readPortSettings(write("[Port0]\nBaudRate=-1\n"), 0).baudRate, 4294967295u);
    EXPECT_EQ(readPortSettings(write("[Port0]\nBaudRate=fast\n"), 0).baudRate, 0u);
}

struct SelectorCase {
    const char* value;
    std::uint8_t parity;
    std::uint8_t stopBits;
};

class Selectors : public ConfigFile, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(Selectors, MapToTheirCodes) {
    const std::string value = GetParam().value;
    PortSettings s =
        readPortSettings(write("[Port0]\nParity=" + value + "\nStopBits=" + value + "\n"), 0);
    EXPECT_EQ(s.parity, GetParam().parity) << "Parity=" << value;
    EXPECT_EQ(s.stopBits, GetParam().stopBits) << "StopBits=" << value;
}

// Parity: 1 even (2), 2 mark (3), 3 odd (1), 4 space (4), others none.
INSTANTIATE_TEST_SUITE_P(Cases, Selectors,
                         ::testing::Values(SelectorCase{"0", 0, 0}, SelectorCase{"1", 2, 1},
                                           SelectorCase{"2", 3, 2}, SelectorCase{"3", 1, 0},
                                           SelectorCase{"4", 4, 0}, SelectorCase{"5", 0, 0},
                                           SelectorCase{"7", 0, 0}, SelectorCase{"-1", 0, 0},
                                           SelectorCase{"x", 0, 0}, SelectorCase{"258", 0, 0}));

} // namespace
} // namespace cadentor
