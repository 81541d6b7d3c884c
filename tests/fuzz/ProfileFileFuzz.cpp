// Config.ini from arbitrary bytes: the profile reader must never crash, and its three ways of
// reading a key must agree.

#include "FuzzSupport.h"
#include "ports/ProfileFile.h"

#include <cstdint>

using namespace cadentor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ProfileFile profile = ProfileFile::parse(text);
    (void)parseProfileInt(text);
    (void)profile.readInt("Common", "Require", 1);
    (void)profile.readInt("common", "REQUIRE", 1);
    for (int port = 0; port < 4; ++port) {
        const std::string section = "Port" + std::to_string(port);
        for (const char* key : {"Device", "BaudRate", "Parity", "StopBits", "WriteTimeout"}) {
            const std::string* value = profile.find(section, key);
            const int fallback = 12345;
            FUZZ_REQUIRE(profile.readInt(section, key, fallback) ==
                         (value && !value->empty() ? parseProfileInt(*value) : fallback));
            FUZZ_REQUIRE(profile.readString(section, key, "fallback") ==
                         (value ? *value : "fallback"));
        }
    }
    return 0;
}
