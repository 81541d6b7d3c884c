#pragma once
// One serial device opened for writing with the settings of one Config.ini section.
//
// A port is idle (not open, named "NUL", 9600 bps, parity code 0, stop-bit code 0) or open.
// open() always starts by closing; a failed open shows its one message and leaves the port idle.
// Parity codes: 0 none, 1 odd, 2 even, 3 mark, 4 space. Stop-bit codes: 0 one, 1 one and a
// half, 2 two.

#include "ports/SerialDevice.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cadentor {

class SerialPort {
public:
    explicit SerialPort(DeviceLayer& layer = DeviceLayer::system());
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    ~SerialPort();
    // Message 3 when the device cannot be opened, message 2 when it refuses the settings;
    // either way the port is idle afterwards and the result false. A write gives up when the
    // device takes no byte for `writeTimeoutMs`.
    bool open(const std::string& deviceName, std::uint32_t baudRate, std::uint8_t parity,
              std::uint8_t stopBits, int writeTimeoutMs = DefaultWriteTimeoutMs);
    bool close();
    // False without a message when not open; message 4 when the device fails, takes no data
    // for the write time-out, or the write is given up on a stop request (the unsent rest is
    // dropped; the port stays open).
    bool write(const std::uint8_t* bytes, std::uint32_t count);
    const std::string& deviceName() const;
    std::uint32_t baudRate() const;
    std::uint8_t parity() const;
    std::uint8_t stopBits() const;

    bool isOpen() const { return device_ != nullptr; }

private:
    DeviceLayer& layer_;
    std::unique_ptr<SerialDevice> device_;
    std::string deviceName_ = "NUL";
    std::uint32_t baudRate_ = 9600;
    std::uint8_t parity_ = 0;
    std::uint8_t stopBits_ = 0;
    int writeTimeoutMs_ = DefaultWriteTimeoutMs;
};

} // namespace cadentor
