#include "ports/PortConfig.h"

#include <gtest/gtest.h>

using namespace cadentor;

TEST(ProfileFile, FindsKeysAndValuesByTheReadingRules) {
    // What find("S", "Key") gives for each text; "-" when it finds nothing.
    for (const auto& [text, value] : {std::pair{"[S]\n \tKey = ' a b ' \t", " a b "},
                                      {"[S]\nKey=\"x'", "\"x'"},
                                      {"[S]\nKey=a=b ; c", "a=b ; c"},
                                      {"[s]\nKEY=1\nkey=2\n[S]\nKey=3", "1"},
                                      {"[S]\n[T]\n[S]\nKey=1", "-"},
                                      {"Key=9\n[S]", "-"},
                                      {"[S]\n[Broken\nKey=1", "-"},
                                      {"[S]\n;Key=5\n  ; Key=1\nnonsense\n=7\nKey=2", "2"},
                                      {"[S]\ra=1\rKey=2\r", "2"},
                                      {"\xef\xbb\xbf[S]\r\nKey=1\r\n", "1"}}) {
        const ProfileFile profile = ProfileFile::parse(text);
        const std::string* found = profile.find("S", "Key");
        EXPECT_EQ(found ? *found : "-", value) << text;
    }
    EXPECT_EQ(ProfileFile::parse("[S]\n;Key=5").find("S", ";Key"), nullptr);
    const ProfileFile profile = ProfileFile::parse("[S]\nc=3 ms\nempty=\nbig=4294967295\nn=-x");
    for (const auto& [key, value] : {std::pair{"c", 3}, {"empty", 42}, {"big", -1}, {"n", 0}})
        EXPECT_EQ(profile.readInt("S", key, 42), value) << key;
    // Whether a value reads as written.
    for (const auto& [text, form] : {std::pair{"-2147483648", NumberText::Clean},
                                     {"+2147483647", NumberText::Clean},
                                     {"2147483648", NumberText::OutOfRange},
                                     {"-2147483649", NumberText::OutOfRange},
                                     {"18446744073709551621", NumberText::OutOfRange},
                                     {"0x2580", NumberText::TrailingText},
                                     {"-", NumberText::NoDigits},
                                     {"even", NumberText::NoDigits}})
        EXPECT_EQ(classifyProfileInt(text), form) << text;
}

// "require device baud parity stopbits writetimeout" that Config.ini `text` gives port `id`.
TEST(ConfigFile, EachPortHasItsSectionOrTheDefaults) {
    const auto settings = [](const std::string& text, unsigned id) {
        const ProfileFile profile = ProfileFile::parse(text);
        const PortSettings s = readPortSettings(profile, id);
        return std::to_string(readRequire(profile)) + " " + s.device + " " +
               std::to_string(s.baudRate) + " " + std::to_string(static_cast<int>(s.parity)) + " " +
               std::to_string(static_cast<int>(s.stopBits)) + " " +
               std::to_string(s.writeTimeoutMs);
    };
    EXPECT_EQ(settings("", 3), "1 COM4 9600 0 0 3000");
    const std::string text = "[common]\r\nrequire = -2\r\n[PORT1]\ndevice = \"" +
                             std::string(300, 'd') + "\" \nBAUDRATE=\t115200\nBaudRate=1\n";
    EXPECT_EQ(settings(text, 0), "-2 COM1 9600 0 0 3000");
    EXPECT_EQ(settings(text, 1), "-2 " + std::string(259, 'd') + " 115200 0 0 3000");
    // Parity: 1 even (code 2), 2 mark (3), 3 odd (1), 4 space (4), others none. StopBits: the
    // code itself for 0 to 2, else one stop bit. WriteTimeout: positive, else the default.
    for (const auto& [v, codes] : {std::pair{"1", "1 2 1 1"},
                                   {"2", "2 3 2 2"},
                                   {"3", "3 1 0 3"},
                                   {"4", "4 4 0 4"},
                                   {"5", "5 0 0 5"},
                                   {"0", "0 0 0 3000"},
                                   {"3 s", "3 1 0 3000"},
                                   {"-1", "4294967295 0 0 3000"}}) {
        const std::string text = std::string("[Port0]\nBaudRate=") + v + "\nParity=" + v +
                                 "\nStopBits=" + v + "\nwritetimeout = " + v;
        EXPECT_EQ(settings(text, 0), std::string("1 COM1 ") + codes);
    }
}
