// Why a start failed, told by the event until its next execution, and told also when our
// standard descriptors are closed.

#include "SequenceTestSupport.h"
#include "sequence/Actions.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cadentor {
namespace {

using namespace std::string_literals;
TEST(StartedProgram, AFailedStartKeepsItsReasonUntilTheNextExecution) {
    test::SequenceSetup s;
    const std::string plain = s.dir.write("plain.sh", "#!/bin/sh\n"); // not executable
    const std::string empty = test::writeScript(s.dir, "empty", "");
    std::filesystem::resize_file(empty, 0); // executable, but nothing the kernel can run
    ASSERT_TRUE(s.configure(test::NoPorts, "MISSING: exec: cadentor-no-such-program x\n"
                                           "PLAIN: exec: " +
                                               plain + "\nEMPTY: exec: " + empty +
                                               "\nGONE: open: " + s.dir.file("gone") +
                                               "\nDOC: open: " + s.dir.path() +
                                               "\nOK: exec: /bin/true\n"));
    ASSERT_TRUE(s.load("0:0 MISSING\n0:0 PLAIN\n0:0 EMPTY\n0:0 GONE\n0:0 DOC\n0:0 OK\n"));
    const char* savedPath = std::getenv("PATH");
    const std::string path = savedPath ? savedPath : "/usr/bin:/bin";
    ::setenv("PATH", s.dir.file("nowhere").c_str(), 1); // no opener either
    std::vector<std::string> reasons;
    for (int i = 0; i < s.sequence.count(); ++i) {
        s.sequence.eventAt(i)->execute();
        reasons.push_back(s.sequence.eventAt(i)->failureReason());
    }
    const std::vector<std::string> expected{"cadentor-no-such-program: not found on PATH",
                                            plain + ": Permission denied",
                                            empty + ": Exec format error",
                                            s.dir.file("gone") + ": No such file or directory",
                                            "xdg-open: not found on PATH",
                                            ""};
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(reasons, expected);
    EXPECT_TRUE(s.reporter.reports().empty());

    std::filesystem::permissions(plain, std::filesystem::perms::owner_all);
    SequenceEvent& fixed = *s.sequence.eventAt(1);
    EXPECT_TRUE(fixed.execute());
    EXPECT_EQ(fixed.failureReason(), "");
    s.sequence.rewind();
    EXPECT_EQ(s.sequence.eventAt(0)->failureReason(), "");
}

// A runner started with stdin, stdout and stderr closed: the launcher's own pipe then takes
// their numbers, and must still tell a failed start from a good one.
TEST(StartedProgram, FailuresAreToldEvenWithOurStandardDescriptorsClosed) {
    test::TempDir dir;
    const std::string plain = dir.write("plain.sh", "#!/bin/sh\n"); // not executable
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(0);
        ::close(1);
        ::close(2);
        std::string reason;
        const bool refused =
            !startProgram(plain, &reason) && reason == plain + ": Permission denied";
        ::_exit(refused && startProgram("/bin/true") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace cadentor
