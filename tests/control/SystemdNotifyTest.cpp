// cadentor-run under a service manager played by the test: NOTIFY_SOCKET names a datagram socket
// of the test's, WATCHDOG_USEC asks for a watchdog kick every 100 ms.

#include "../cli/Show.h"
#include "files/UniqueFd.h"
#include "support/ChildProcess.h"

#include <chrono>
#include <cstddef>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>

namespace cadentor::test {
namespace {

// A datagram socket in the abstract namespace, named for this process.
struct NotifySocket {
    NotifySocket() {
        sockaddr_un address{AF_UNIX, {}};
        name.copy(address.sun_path + 1, name.size() - 1, 1);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        const timeval wait{10, 0};
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
            throw std::runtime_error("cannot bind " + name);
    }
    // The next message; "" when none came within 10 s.
    std::string next() const {
        char buffer[4096];
        const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
    }

    UniqueFd fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    std::string name = "@cadentor-notify-" + std::to_string(::getpid());
};

// While the runner sleeps an hour for its next event, while a write waits for a device that
// takes nothing, and while it waits for a start time: READY=1 first, then WATCHDOG=1 every 100 ms
// (no more often) and the status at most once a second.
TEST(SystemdNotify, ReadyThenTheWatchdogFedThroughLongWaitsAndTheStatusOnceASecond) {
    const std::string running = "running [0-9]+:[0-9]{2}:[0-9]{2}\\.[0-9]{3}, ";
    const struct {
        std::string options, commands, sequence, config, ready, status, sent;
    } cases[] = {
        // The first events have run and the far one is ahead.
        {"--skip-errors", "First: 0: 31\nMissing: exec: /nonexistent/program\nFar: 0: 32\n",
         "0:0:0 First\n0:0:0 Missing\n1000:0:0 Far\n", "", "loaded 3 events, starting",
         running + "event 2 of 3, next Far at 1000:00:00, 1 failed", "1"},
        // The write has begun and waits for the full pty.
        {"", "Big: 0:" + repeat(" 5A", 1 << 18) + "\n", "0:0:0.25 Big\n",
         "[Common]\nRequire=1\n[Port0]\nDevice={0}\nWriteTimeout=60000\n",
         "loaded 1 event, starting", running + "event 0 of 1, next Big at 0:00:00.250, 0 failed",
         "Z"},
        {"--start-at=2099-01-01T00:00Z", "First: 0: 31\n", "0:0:0 First\n", "",
         "loaded 1 event; starts 2099-01-01 .*", "waiting: starts 2099-01-01 .*", ""},
    };
    for (const auto& show : cases) {
        SCOPED_TRACE(show.sequence);
        const NotifySocket manager;
        Show files(show.commands, show.sequence, show.config);
        ChildProcess run([&] {
            ::setenv("NOTIFY_SOCKET", manager.name.c_str(), 1);
            ::setenv("WATCHDOG_USEC", "200000", 1);
            return exec(files.command(show.options));
        });
        const std::string ready = manager.next();
        EXPECT_TRUE(std::regex_match(ready, std::regex("READY=1\nSTATUS=" + show.ready)))
            << ready << run.err();
        const auto readyAt = std::chrono::steady_clock::now();
        int kicks = 0, statuses = 0;
        const std::regex status("STATUS=" + show.status);
        while (kicks < 15) {
            const std::string message = manager.next();
            ASSERT_FALSE(message.empty()) << "after " << kicks << " kicks: " << run.err();
            std::istringstream lines(message);
            for (std::string line; std::getline(lines, line);) {
                if (line == "WATCHDOG=1") {
                    ++kicks;
                } else {
                    ++statuses;
                    EXPECT_TRUE(std::regex_match(line, status)) << line;
                }
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - readyAt).count();
        EXPECT_LE(kicks, seconds * 10 + 2);
        EXPECT_GE(statuses, 1);
        EXPECT_LE(statuses, seconds + 1);
        EXPECT_EQ(files.port0.read(1, 500).substr(0, 1), show.sent);
        run.sendSignal(SIGTERM);
        EXPECT_EQ(run.wait(), 143);
    }
}

} // namespace
} // namespace cadentor::test
