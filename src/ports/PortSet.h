#pragma once
// The ordered set of serial ports built from Config.ini; a port's index is its port id.
//
// load() rebuilds the whole set: it closes every port, reads programDirectory()/Config.ini once,
// and opens ports 0 .. Require-1 in order, stopping at the first failure. Afterwards either
// every port is open with its settings or the set is empty, after exactly one message. A
// Config.ini that is absent gives the defaults (one port, COM1); one that exists but cannot be
// read opens no port at all, so that a show never goes to a device nobody configured. Before a
// port is opened, what no device layer would take is refused without asking it: settings that
// PortConfig.h's settingsSupported refuses (message 2), and a device with a line that an
// earlier port names already, however named (message 3; a second open would find it held).
// The detail names the device, the reason and the port's section. So a check through the
// dry-run layer refuses these as a run does. Between loads the set does not change: a port
// whose write fails stays in the set, and one whose device went away opens it again itself
// (SerialPort.h).

#include "ports/PortId.h"
#include "ports/SerialDevice.h"
#include "ports/SerialPort.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cadentor {

class PortSet {
public:
    explicit PortSet(DeviceLayer& layer = DeviceLayer::system());
    PortSet(const PortSet&) = delete;
    PortSet& operator=(const PortSet&) = delete;

    ~PortSet();
    // Message 10 when Config.ini exists but cannot be read, for a Require below 0 or above
    // MaxPortCount, and when memory runs out (the detail says which, with the file's name);
    // else the message of the port that failed to open. Never throws.
    bool load();
    bool closeAll();
    std::uint32_t count() const;
    // Message 11 and nothing written for an id not below count(); else SerialPort::write. On
    // failure `whyNot`, when given, gets the message's detail.
    bool write(PortId id, const std::uint8_t* bytes, std::uint32_t count,
               std::string* whyNot = nullptr);
    // The port with this id, for its device name and settings; null for an id not below
    // count().
    const SerialPort* port(PortId id) const;
    // Told when a port's write found its device back, for the ports of later loads.
    void setNotice(PortNotice notice) { notice_ = std::move(notice); }

private:
    DeviceLayer& layer_;
    PortNotice notice_;
    std::vector<std::unique_ptr<SerialPort>> ports_;
};

} // namespace cadentor
