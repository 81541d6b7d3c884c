// cadentor-vport as a process: what a writer sends to its slaves shows up as hex lines.

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace cadentor::test {
namespace {

namespace fs = std::filesystem;
const std::string vportPath = CADENTOR_BINARY_DIR "/tools/vport/cadentor-vport";
const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

// Opens `path`, writes `bytes`, closes: as a one-shot writer such as a shell redirection does.
void writeOnce(const std::string& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// The hex bytes that port `port` reported in the next lines "MS.USEC<TAB>PORT<TAB>HEX", until
// `count` bytes have come (a write may arrive in chunks); "?" and the line for another form.
std::string readReport(ChildProcess& vport, int port, std::size_t count) {
    static const std::regex form(R"(^\d+\.\d{3}\t(\d+)\t([0-9A-F]{2}( [0-9A-F]{2})*)$)");
    std::string all, line;
    std::smatch match;
    while ((all.size() + 1) / 3 < count && vport.readLine(line)) {
        if (!std::regex_match(line, match, form) || std::stoi(match[1]) != port)
            return "? " + line;
        all += (all.empty() ? "" : " ") + match[2].str();
    }
    return all;
}

TEST(VirtualPort, ReportsWhatWritersSendAndRemovesItsLinksOnSigterm) {
    TempDir dir;
    const std::string link = dir.file("port");
    ChildProcess vport({vportPath, "--link", link, "--count", "2"});
    std::string slave0, slave1;
    ASSERT_TRUE(vport.readLine(slave0)) << vport.err();
    ASSERT_TRUE(vport.readLine(slave1)) << vport.err();
    EXPECT_EQ(fs::read_symlink(link + "0"), slave0);
    EXPECT_EQ(fs::read_symlink(link + "1"), slave1);

    writeOnce(link + "1", std::string("\x01\xAB\n", 3));
    EXPECT_EQ(readReport(vport, 1, 3), "01 AB 0A");
    // The first writer's close did not hang up the port: a second writer is heard too.
    writeOnce(link + "0", std::string("\x00\xFF", 2));
    EXPECT_EQ(readReport(vport, 0, 2), "00 FF");

    vport.sendSignal(SIGTERM);
    EXPECT_EQ(vport.wait(10000), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link + "0")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link + "1")));
}

TEST(VirtualPort, OnePortReplacesAStaleLinkAndStandsInForTheDeviceOfARun) {
    TempDir dir;
    const std::string link = dir.file("lamp");
    ASSERT_EQ(::symlink("/nonexistent/pts", link.c_str()), 0);
    ChildProcess vport({vportPath, "--link", link});
    std::string slave;
    ASSERT_TRUE(vport.readLine(slave)) << vport.err();
    EXPECT_EQ(fs::read_symlink(link), slave);
    dir.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=" + link + "\n");
    dir.write("Command.def", "On: 0: 02 4F 4E 03\n");
    std::string seq = dir.write("show.txt", "0:0:0 On\n");

    ChildProcess run({runnerPath, "--dir", dir.path(), seq});

    EXPECT_EQ(run.wait(), 0) << run.err();
    EXPECT_EQ(run.out(), "0:0:0.000\t" + link + "\tOn\tDone\n");
    EXPECT_EQ(readReport(vport, 0, 4), "02 4F 4E 03");
    vport.sendSignal(SIGINT);
    EXPECT_EQ(vport.wait(10000), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(VirtualPort, RefusesBadArgumentsAndToReplaceAFileThatIsNotALink) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--count", "0"}, {"--count", "x"}, {"--link"}, {"--fast"}}) {
        args.insert(args.begin(), vportPath);
        ChildProcess result(args);
        EXPECT_EQ(result.wait(), 2) << args[1];
        EXPECT_EQ(result.out(), "") << args[1];
    }
    TempDir dir;
    const std::string path = dir.write("dev", "keep me");
    ChildProcess result({vportPath, "--link", path});
    EXPECT_EQ(result.wait(), 1);
    EXPECT_NE(result.err().find("is not a symbolic link"), std::string::npos) << result.err();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
}

} // namespace
} // namespace cadentor::test
