#include "ports/PortConfig.h"

#include "support/TempDir.h"

#include <climits>
#include <gtest/gtest.h>

namespace cadentor {
namespace {

TEST(ProfileFile, ReadsIntegersBySignAndLeadingDigits) {
    using Case = std::pair<const char*, int>;
    for (const auto& [text, value] :
         {Case{"12", 12}, Case{"-1", -1}, Case{"+7", 7}, Case{"007", 7}, Case{"9600 bps", 9600},
          Case{"12abc34", 12}, Case{"abc", 0}, Case{"-", 0}, Case{"- 5", 0}, Case{"0x10", 0},
          Case{"4294967295", -1}, Case{"4294967296", 0}, Case{"-2147483648", INT_MIN},
          Case{"2147483648", INT_MIN}})
        EXPECT_EQ(parseProfileInt(text), value) << text;
}

TEST(ProfileFile, FindsKeysAndValuesByTheReadingRules) {
    // What find("S", "Key") gives for each text; "-" when it finds nothing.
    using Case = std::pair<const char*, const char*>;
    for (const auto& [text, value] :
         {Case{"[S]\n \tKey = COM3 \t", "COM3"}, Case{"[S]\nKey=\"COM3\"", "COM3"},
          Case{"[S]\nKey = ' a b ' ", " a b "}, Case{"[S]\nKey=\"\"x\"\"", "\"x\""},
          Case{"[S]\nKey=\"x'", "\"x'"}, Case{"[S]\nKey=\"", "\""}, Case{"[S]\nKey=", ""},
          Case{"[S]\nKey=a=b", "a=b"}, Case{"[S]\nKey=x ; no comment", "x ; no comment"},
          Case{"[s]\nKEY=1\nkey=2\n[S]\nKey=3", "1"}, // any case; the first occurrence wins
          Case{"[S]\n[T]\n[S]\nKey=1", "-"},          // a repeated section is ignored whole
          Case{"Key=9\n[S]", "-"}, // keys before the first section belong to none
          Case{"[S]\n[Broken\nKey=1", "-"}, Case{"[S]\r\nKey=1\r\n", "1"},
          Case{"[S]\ra=1\rKey=2\r", "2"}, Case{"\xef\xbb\xbf[S]\nKey=1", "1"}}) {
        const ProfileFile profile = ProfileFile::parse(text);
        const std::string* found = profile.find("S", "Key");
        EXPECT_EQ(found ? *found : "-", value) << text;
    }
    const ProfileFile ignored = ProfileFile::parse("[S]\n;Key=5\n  ; Key=1\nnonsense\n=7\nKey=");
    EXPECT_EQ(ignored.find("S", ";Key"), nullptr);
    EXPECT_EQ(ignored.find("S", "; Key"), nullptr);
    EXPECT_EQ(ignored.find("S", ""), nullptr);
    EXPECT_EQ(ignored.readInt("S", "Key", 42), 42); // an empty number is the default
    const std::string longValue(100000, 'v');
    const ProfileFile longLine = ProfileFile::parse("[S]\nlong=" + longValue + "\nc=3");
    EXPECT_EQ(longLine.readString("S", "long", ""), longValue);
    EXPECT_EQ(longLine.readInt("S", "c", 0), 3);
}

// Config.ini as a real file in the program directory, read as PortSet::load reads it.
class ConfigFile : public ::testing::Test {
protected:
    ProfileFile write(const std::string& text) {
        dir_.write("Config.ini", text);
        return ProfileFile::load(configFilePath());
    }
    static std::string describe(const PortSettings& s) {
        return s.device + " " + std::to_string(s.baudRate) + " " +
               std::to_string(static_cast<int>(s.parity)) + " " +
               std::to_string(static_cast<int>(s.stopBits));
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
};

TEST_F(ConfigFile, WithoutAFileThereIsOnePortOnCom1At9600) {
    EXPECT_EQ(configFilePath(), dir_.path() + "/Config.ini");
    const ProfileFile none = ProfileFile::load(configFilePath());
    EXPECT_EQ(readRequire(none), 1);
    EXPECT_EQ(describe(readPortSettings(none, 0)), "COM1 9600 0 0");
    EXPECT_EQ(describe(readPortSettings(none, 3)), "COM4 9600 0 0");
    EXPECT_EQ(readRequire(write("")), 1);
}

TEST_F(ConfigFile, RequireIsReadWithItsSign) {
    EXPECT_EQ(readRequire(write("[Common]\nRequire=0\n")), 0);
    EXPECT_EQ(readRequire(write("[Common]\nRequire=-1\n")), -1);
    EXPECT_EQ(readRequire(write("[common]\r\nrequire = 2\r\n")), 2);
    EXPECT_EQ(readRequire(write("[Other]\nRequire=5\n")), 1);
}

TEST_F(ConfigFile, EachPortHasItsSectionOrTheDefaultsAndLongDevicesAreCut) {
    const std::string device(300, 'd');
    const ProfileFile profile = write("[Common]\nRequire=2\n[PORT1]\ndevice = \"" + device +
                                      "\" \nParity=3\nBAUDRATE=\t115200\nBaudRate=1\n");
    EXPECT_EQ(describe(readPortSettings(profile, 0)), "COM1 9600 0 0");
    EXPECT_EQ(describe(readPortSettings(profile, 1)), device.substr(0, 259) + " 115200 1 0");
}

TEST_F(ConfigFile, NumbersAndSelectorsMapToTheirCodes) {
    // Parity: 1 even (code 2), 2 mark (3), 3 odd (1), 4 space (4), others none. StopBits: the
    // code itself for 0 to 2, else one stop bit. BaudRate: the number as read.
    using Case = std::pair<const char*, const char*>;
    for (const auto& [v, settings] :
         {Case{"0", "0 0 0"}, Case{"1", "1 2 1"}, Case{"2", "2 3 2"}, Case{"3", "3 1 0"},
          Case{"4", "4 4 0"}, Case{"5", "5 0 0"}, Case{"7", "7 0 0"}, Case{"-1", "4294967295 0 0"},
          Case{"x", "0 0 0"}, Case{"258", "258 0 0"}, Case{"250000", "250000 0 0"}}) {
        const std::string keys = std::string("BaudRate=") + v + "\nParity=" + v + "\nStopBits=" + v;
        EXPECT_EQ(describe(readPortSettings(write("[Port0]\n" + keys), 0)),
                  std::string("COM1 ") + settings);
    }
}

} // namespace
} // namespace cadentor
