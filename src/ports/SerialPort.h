#pragma once
// One serial device opened for writing with the settings of one Config.ini section.
//
// A port is idle (not open, named "NUL", 9600 bps, no parity, one stop bit) or open. open()
// always starts by closing; a failed open shows its one message and leaves the port idle. An
// open port keeps its settings while its device is ready, stalled or gone (SerialDevice.h): a
// stalled device fails writes at once until it has taken its queue, and a device that went
// away is closed and opened again by its configured name, with the same exclusive hold and line
// settings, before a later write, at most once a second; until it is back, writes fail at once.

#include "ports/DeviceWait.h"
#include "ports/SerialDevice.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace cadentor {

// Told one line, such as "/dev/ttyUSB0: opened again", when a write found its device back.
using PortNotice = std::function<void(const std::string&)>;

class SerialPort {
public:
    explicit SerialPort(DeviceLayer& layer = DeviceLayer::system(), PortNotice notice = {});
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    ~SerialPort();
    // Message 3 when the device cannot be opened, message 2 when it refuses the settings;
    // either way the port is idle afterwards and the result false. A write gives up when the
    // device takes no byte for `writeTimeoutMs`.
    bool open(const std::string& deviceName, std::uint32_t baudRate, Parity parity,
              StopBits stopBits, int writeTimeoutMs = DefaultWriteTimeoutMs);
    bool close();
    // False without a message when not open. Message 4 when the device fails, takes no data
    // for the write time-out, or the write is given up on a stop request (the unsent rest is
    // dropped; the port stays open); and at once, without waiting, while the device is stalled
    // ("PATH: the device has not taken the earlier command yet") or gone and not back ("PATH:
    // the device hung up (the port opens it again ...)"). A write
    // that opened the device again and succeeded tells the notice. On failure `whyNot`, when
    // given, gets the message's detail.
    bool write(const std::uint8_t* bytes, std::uint32_t count, std::string* whyNot = nullptr);
    const std::string& deviceName() const;
    std::uint32_t baudRate() const;
    Parity parity() const;
    StopBits stopBits() const;

    bool isOpen() const { return open_; }
    // "open", "stalled" (a write gave up and the device has not taken its queue yet), "gone"
    // (to be opened again before a later write) or "closed"; why, for stalled and gone. Looks
    // at the device without waiting.
    std::string condition(std::string& why) const;

private:
    bool reopen(std::string& error);

    DeviceLayer& layer_;
    PortNotice notice_;
    std::unique_ptr<SerialDevice> device_; // null while gone
    std::string goneReason_;               // why, from the device as it went
    bool open_ = false;
    DeviceClock::time_point lastOpen_{};
    std::string deviceName_ = "NUL";
    std::uint32_t baudRate_ = 9600;
    Parity parity_ = Parity::None;
    StopBits stopBits_ = StopBits::One;
    int writeTimeoutMs_ = DefaultWriteTimeoutMs;
};

} // namespace cadentor
