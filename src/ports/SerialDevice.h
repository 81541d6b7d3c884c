#pragma once
// The device layer under SerialPort: open a device by its configured name for exclusive
// writing, apply the line settings, write blocks of bytes, close. The system layer does this
// with POSIX open and termios, or connects for a socket:// or udp:// name (NetworkDevice.h);
// the dry-run layer opens and contacts nothing and accepts everything but a malformed network
// name, for checking files without touching a device. Tests use ptys through the system layer.
//
// The system layer holds a tty exclusively (flock and TIOCEXCL, released on close) and refuses
// one that another program holds in exclusive mode. A character device that is not a tty, such
// as the null device, is opened without a lock and takes any line settings, since it has no
// line. Anything else (a regular file, a directory, a pipe) is refused: writing port bytes over
// a file from its start would destroy it.
//
// A write waits for a device that takes no data only so long: it gives up when no byte was
// taken for its no-progress time, or within DeviceWait.h's StopCheckMs of a stop request, and
// drops the unsent rest (see DeviceWait.h for the texts). Bytes of earlier writes still queued
// in the driver are never discarded: what the driver took of the command that gave up is
// discarded once everything queued before it has gone out, where the driver counts its queue
// (TIOCOUTQ; a pty does not, and there it goes out). Until the device has taken its whole queue
// it is stalled. Closing never hangs either: queued output gets one more such time to go out,
// none after a stop request, and is then dropped.
//
// Every failure fills `error` with one line for the operator: the device path as opened and
// the system's reason, for example "/dev/ttyUSB0: Permission denied".

#include "ports/LineSettings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace cadentor {

// How long a write may wait for a device that takes no data, unless Config.ini says otherwise.
inline constexpr int DefaultWriteTimeoutMs = 3000;

enum class DeviceState {
    Ready,   // takes writes
    Stalled, // a write gave up and the device has not taken its queue yet
    Gone,    // went away (hung up, unplugged, a connection closed, reset or cut off): only
             // opening the device again brings it back
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default; // closes the device
    // Looks at the device without waiting: a stall ends once the driver's queue is empty and
    // it takes data again; a device that hung up or failed a write for good is Gone for good.
    // Stalled and Gone fill `why` with one line, as `error` below.
    virtual DeviceState state(std::string& why) = 0;
    // Changes only speed, parity, parity checking, stop bits and 8 data bits, turns output
    // processing off, and checks that the device took it. False when refused.
    virtual bool configure(std::uint32_t baudRate, Parity parity, StopBits stopBits,
                           std::string& error) = 0;
    // Writes every byte, looping over short counts and interruptions. False when the device
    // failed, or took no byte for `noProgressMs`, before taking them all.
    virtual bool write(const std::uint8_t* bytes, std::size_t count, int noProgressMs,
                       std::string& error) = 0;
};

class DeviceLayer {
public:
    virtual ~DeviceLayer() = default;
    // Opens the device named `name` (as configured: "COM3", "ttyUSB0", "/dev/ttyUSB0") for
    // exclusive writing without hanging on a modem line. Null when it cannot be opened.
    virtual std::unique_ptr<SerialDevice> open(const std::string& name, std::string& error) = 0;

    static DeviceLayer& system();
    static DeviceLayer& dryRun();
};

// The path the system layer opens for a configured name: COMn (any case, n >= 1) is
// /dev/ttyS(n-1), NUL is /dev/null, a name without '/' lies under /dev/, anything else is a path.
std::string devicePath(const std::string& name);

// The most bytes that one write to the device named `name` can carry: for udp:// one datagram,
// 65,507 bytes (65,527 to an IPv6 address in brackets); a larger write fails. No limit (SIZE_MAX)
// for any other device, which takes a write in as many pieces as it needs.
std::size_t largestWrite(const std::string& name);

// The detail of a device at `path` that did not open with errno `error`: the path and the
// system's reason, and for EACCES a hint at the group that serial devices belong to, as in
// "/dev/ttyUSB0: Permission denied (is the user in the dialout group?)".
std::string openFailureDetail(const std::string& path, int error);

} // namespace cadentor
