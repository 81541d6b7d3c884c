#pragma once
// The HTTP control of a run, served on a thread of its own (Boost.Beast over one Asio
// io_context), so that no client ever holds up the show and the show never holds up a client:
// reads answer from the hub's latest snapshot, and the verbs are handed to the run thread
// through the ControlHub, their replies sent when the run thread has answered.
//
//   GET /          the control page (needs no token: it asks for one when the server does)
//   GET /status    the show as JSON (control/ControlStatus.h)
//   GET /events    the rows as JSON
//   GET /stream    Server-Sent Events: "layout" (rows and commands) when the events change,
//                  "status" (with one outcome letter a row) at most four times a second
//   POST /pause, /resume, /rewind, /fire?name=NAME, /seek?time=H:M:S.mmm
//
// A verb's reply is the status after it (200), or {"error": REASON} with 400 (a bad or missing
// parameter), 404 (an unknown path, or /fire of an unknown name), 405 (a wrong method; Allow
// says which), 409 (the show refuses it now), 502 (the command
// fired failed) or 503 (the run thread did not take it within
// five seconds). With a token, every request but the page needs "Authorization: Bearer TOKEN"
// (else 401). A request whose Origin is not this server's gets 403, and so, without a token,
// does one whose Host is not an IP address or localhost, so that no other web site can drive
// or read the show through a browser on this machine. A body over 64 KiB gets 413 and a header
// over 16 KiB 431, both closing the connection; a client that sends nothing for 10 s (or reads
// nothing for 10 s) is disconnected; a 17th connection at once gets 503 and is closed.

#include <memory>
#include <string>

namespace cadentor::control {

class ControlHub;
struct ListenAddress;

class HttpServer {
public:
    explicit HttpServer(ControlHub& hub);
    // stop().
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on `address` and serves on a thread of its own; an empty `token` asks for none.
    // False with `error` set ("ADDRESS:PORT: reason") when it cannot listen there.
    bool start(const ListenAddress& address, const std::string& token, std::string& error);
    // The port listened on (the one the system picked for port 0); 0 before start().
    unsigned short port() const;
    // Closes every connection and ends the thread. Replies still owed are dropped.
    void stop();

    struct Impl; // the server's state, opaque outside its source

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace cadentor::control
