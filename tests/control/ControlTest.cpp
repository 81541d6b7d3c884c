#include "control/ControlHub.h"
#include "control/ControlOptions.h"
#include "support/TempDir.h"

#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>

namespace cadentor::control {
namespace {

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

// A run thread as the runner has one: it waits on the wake descriptor and answers between its
// own steps, each Fire adding the name to what it has done.
struct RunThread {
    explicit RunThread(ControlHub& hub)
        : thread([this, &hub] {
              while (!stop) {
                  pollfd p{hub.wakeFd(), POLLIN, 0};
                  if (::poll(&p, 1, 20) != 1)
                      continue;
                  hub.handlePending(
                      [this](const ControlRequest& request) -> ControlReply {
                          if (request.name == "unknown")
                              return {ReplyStatus::NotFound, "no command unknown"};
                          done.push_back(request.name);
                          return {};
                      },
                      [this] {
                          ShowStatus status;
                          status.done = static_cast<int>(done.size());
                          return status;
                      });
              }
          }) {}
    ~RunThread() {
        stop = true;
        thread.join();
    }
    std::vector<std::string> done; // the run thread's alone
    std::atomic<bool> stop{false};
    std::thread thread;
};

TEST(ControlHub, AnswersOnTheRunThreadAndPublishesBeforeTheReply) {
    ControlHub hub;
    ASSERT_TRUE(hub.valid());
    EXPECT_FALSE(readable(hub.wakeFd()));
    RunThread run(hub);
    std::vector<std::future<void>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(std::async(std::launch::async, [&hub, i] {
            const ControlReply reply = hub.submitAndWait(
                {ControlVerb::Fire, "c" + std::to_string(i), 0}, std::chrono::seconds(20));
            EXPECT_EQ(reply.status, ReplyStatus::Ok);
            // The change a client was told of is in the snapshot it reads next.
            EXPECT_GE(hub.status()->done, 1);
        }));
    for (auto& client : clients)
        client.get();
    const ControlReply unknown =
        hub.submitAndWait({ControlVerb::Fire, "unknown", 0}, std::chrono::seconds(20));
    EXPECT_EQ(unknown.status, ReplyStatus::NotFound);
    EXPECT_EQ(hub.status()->done, 8);
    EXPECT_GE(hub.status()->revision, 2u);
    EXPECT_FALSE(readable(hub.wakeFd()));
}

TEST(ControlHub, ARequestNotTakenIsWithdrawnAndTheRestAreRefusedAfterClose) {
    ControlHub hub;
    int handled = 0;
    const auto handler = [&](const ControlRequest&) {
        ++handled;
        return ControlReply{};
    };
    const auto snapshot = [] { return ShowStatus{}; };
    std::optional<ControlReply> first, second;
    const std::uint64_t ticket =
        hub.submit({ControlVerb::Pause, {}, 0}, [&](const ControlReply& r) { first = r; });
    hub.submit({ControlVerb::Resume, {}, 0}, [&](const ControlReply& r) { second = r; });
    EXPECT_TRUE(readable(hub.wakeFd()));
    EXPECT_TRUE(hub.withdraw(ticket));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, ReplyStatus::Unavailable);
    EXPECT_TRUE(readable(hub.wakeFd())); // the second still waits
    EXPECT_EQ(hub.handlePending(handler, snapshot), 1);
    EXPECT_FALSE(hub.withdraw(ticket));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, ReplyStatus::Ok);
    EXPECT_EQ(handled, 1);

    std::optional<ControlReply> late;
    hub.submit({ControlVerb::Rewind, {}, 0}, [&](const ControlReply& r) { late = r; });
    hub.close();
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, ReplyStatus::Unavailable);
    EXPECT_EQ(hub.submitAndWait({ControlVerb::Pause, {}, 0}, std::chrono::seconds(1)).status,
              ReplyStatus::Unavailable);
    EXPECT_EQ(hub.handlePending(handler, snapshot), 0);
    EXPECT_EQ(handled, 1);
}

TEST(ControlOptions, ListenAddressesAreReadOrRefused) {
    const struct {
        const char* text;
        const char* host;
        unsigned short port;
        bool loopback;
    } cases[] = {{"8080", "127.0.0.1", 8080, true},
                 {"0", "127.0.0.1", 0, true},
                 {"127.3.0.1:65535", "127.3.0.1", 65535, true},
                 {"localhost:9", "127.0.0.1", 9, true},
                 {"0.0.0.0:80", "0.0.0.0", 80, false},
                 {"192.168.1.20:80", "192.168.1.20", 80, false},
                 {"[::1]:80", "::1", 80, true},
                 {"[::ffff:127.0.0.1]:80", "::ffff:127.0.0.1", 80, true},
                 {"[::]:80", "::", 80, false}};
    std::string error;
    for (const auto& c : cases) {
        const std::optional<ListenAddress> address = parseListenAddress(c.text, error);
        ASSERT_TRUE(address) << c.text << ": " << error;
        EXPECT_EQ(std::tie(address->host, address->port, address->loopback),
                  std::tuple(std::string(c.host), c.port, c.loopback))
            << c.text;
    }
    for (const char* bad : {"65536", "", "1.2.3.4:", "::1:80", "show.example:80", "80x"}) {
        error.clear();
        EXPECT_FALSE(parseListenAddress(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ControlOptions, ATokenFileIsTheOwnersAlone) {
    test::TempDir dir;
    std::string token, error;
    const std::string path = dir.write("token", "  s3cret \r\nsecond line\n");
    ::chmod(path.c_str(), 0600);
    EXPECT_FALSE(readTokenFile(path, token, error)) << "a blank inside"; // leading blanks stay
    dir.write("token", "s3cret\t\n");
    ASSERT_TRUE(readTokenFile(path, token, error)) << error;
    EXPECT_EQ(token, "s3cret");
    for (mode_t mode : {0640, 0604, 0620}) {
        ::chmod(path.c_str(), mode);
        EXPECT_FALSE(readTokenFile(path, token, error));
        EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    }
    ::chmod(path.c_str(), 0600);
    dir.write("token", "\n");
    EXPECT_FALSE(readTokenFile(path, token, error));
    EXPECT_FALSE(readTokenFile(dir.file("none"), token, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(readTokenFile(dir.path(), token, error));
}

TEST(ControlStatus, JsonStringsAreValidUtf8) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    EXPECT_EQ(jsonString("\xE3\x81\x82"), "\"\xE3\x81\x82\"");               // valid UTF-8 stays
    EXPECT_EQ(jsonString("\xE9t\xE3\x81"), "\"\xC3\xA9t\xC3\xA3\xC2\x81\""); // else Latin-1
    EXPECT_EQ(jsonString("\xC0\xAF"), "\"\xC3\x80\xC2\xAF\"");               // overlong
}

} // namespace
} // namespace cadentor::control
