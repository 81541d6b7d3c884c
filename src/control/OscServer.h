#pragma once
// The OSC control of a run: a UDP socket served on a thread of its own, the packets decoded by
// liblo and the verbs handed to the run thread through the ControlHub.
//
//   /cadentor/pause   /cadentor/resume   /cadentor/rewind   /cadentor/status
//   /cadentor/fire ,s NAME                /cadentor/seek ,s H:M:S.mmm
//
// Every one of them is answered to its sender with "/cadentor/state ,sis STATE POSITION_MS
// CURRENT_NAME" (the name empty when no event is current), after the change it asked for; a
// verb that could not be done is answered first with "/cadentor/error ,ss ADDRESS REASON".
// A packet that does not decode, a bundle, an address of ours with the wrong arguments, and
// any other address are dropped; all but the other addresses are counted as malformed
// (ControlHub::malformed()). Nothing a packet holds ends the server.

#include <memory>
#include <string>

namespace cadentor::control {

class ControlHub;
struct ListenAddress;

class OscServer {
public:
    explicit OscServer(ControlHub& hub);
    // stop().
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    // Binds a UDP socket to `address` and serves on a thread of its own. False with `error`
    // set ("ADDRESS:PORT: reason") when it cannot bind.
    bool start(const ListenAddress& address, std::string& error);
    // The port bound (the one the system picked for port 0); 0 before start().
    unsigned short port() const;
    // Ends the thread and closes the socket.
    void stop();

    struct Impl; // the server's state, opaque outside its source

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace cadentor::control
