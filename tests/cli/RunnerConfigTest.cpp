// cadentor-run against a Config.ini it must refuse, and where its --help says the files are.
#include "support/ChildProcess.h"
#include "messages/Messages.h"
#include "support/ChildRun.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

TEST(RunnerConfig, CheckRefusesAHugeRequireAndAConfigThatCannotBeRead) {
    TempDir dir;
    const std::string config = dir.file("Config.ini");
    const std::string refused = "cadentor-run: " + loadMessage(MessageId::BadPortCount) + "\n  ";
    // Under a 1 GiB address space, as a load that made a port per id would exhaust it.
    const std::string cap = underAddressSanitizer() ? "" : "ulimit -v 1048576 && ";
    const struct {
        std::function<void()> prepare;
        std::string err;
    } cases[] = {
        {[&] { dir.write("Config.ini", "[Common]\nRequire=2147483647\n"); },
         refused + config + ": Require=2147483647 (at most 1023 ports)\n"},
        {[&] {
             std::filesystem::remove(config);
             std::filesystem::create_directory(config);
         },
         refused + config + ": Is a directory\n"},
    };
    for (const auto& c : cases) {
        c.prepare();
        ChildProcess check({"/bin/sh", "-c", cap + "exec \"$0\" \"$@\"", runnerPath, "--check",
                            "--dir", dir.path(), "show.txt"});
        EXPECT_EQ(check.wait(), 2) << check.err();
        EXPECT_EQ(check.err(), c.err);
        EXPECT_EQ(check.out(), "");
    }
}

TEST(RunnerConfig, HelpNamesTheConfigurationDirectoryAsTheFallback) {
    ChildProcess help({runnerPath, "--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.out().find("(default: the program's own\n"
                              "                  directory when it holds either file, otherwise\n"
                              "                  $XDG_CONFIG_HOME/cadentor, normally "
                              "~/.config/cadentor)\n"),
              std::string::npos)
        << help.out();
}

} // namespace
} // namespace cadentor::test
