#include "ports/SerialPort.h"

#include "messages/Messages.h"

#include <utility>

namespace cadentor {

namespace {

// Said of a device that went away, after the reason.
constexpr const char* reopenNote =
    "the port opens it again before a later write, at most once a second";

} // namespace

SerialPort::SerialPort(DeviceLayer& layer, PortNotice notice)
    : layer_(layer), notice_(std::move(notice)) {}

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::open(const std::string& deviceName, std::uint32_t baudRate, Parity parity,
                      StopBits stopBits, int writeTimeoutMs) {
    close();
    deviceName_ = deviceName;
    baudRate_ = baudRate;
    writeTimeoutMs_ = writeTimeoutMs > 0 ? writeTimeoutMs : DefaultWriteTimeoutMs;
    std::string error;
    lastOpen_ = DeviceClock::now();
    device_ = layer_.open(deviceName, error);
    if (!device_) {
        close();
        raiseMessage(MessageId::PortOpenFailed, error);
        return false;
    }
    parity_ = parity;
    stopBits_ = stopBits;
    if (!device_->configure(baudRate, parity, stopBits, error)) {
        close(); // the device is released before the operator is told
        raiseMessage(MessageId::PortSetupFailed, error);
        return false;
    }
    open_ = true;
    return true;
}

bool SerialPort::close() {
    device_.reset();
    open_ = false;
    deviceName_ = "NUL";
    baudRate_ = 9600;
    parity_ = Parity::None;
    stopBits_ = StopBits::One;
    return true;
}

bool SerialPort::write(const std::uint8_t* bytes, std::uint32_t count, std::string* whyNot) {
    if (!open_)
        return false;
    std::string error;
    const auto fail = [&] {
        raiseMessage(MessageId::PortWriteFailed, error);
        if (whyNot)
            *whyNot = std::move(error);
        return false;
    };
    const DeviceState state = device_ ? device_->state(error) : DeviceState::Gone;
    if (state == DeviceState::Stalled)
        return fail();
    const bool reopening = state == DeviceState::Gone;
    if (reopening) {
        if (device_)
            goneReason_ = error;
        device_.reset(); // closed first: the exclusive hold is ours to take again
        if (!reopen(error))
            return fail();
    }
    if (device_->write(bytes, count, writeTimeoutMs_, error)) {
        if (reopening && notice_)
            notice_(devicePath(deviceName_) + ": opened again");
        return true;
    }
    std::string ignored;
    const bool gone = device_->state(ignored) == DeviceState::Gone;
    if (gone) {
        goneReason_ = error;
        device_.reset();
    }
    if (gone || reopening)
        error += std::string(" (") + (reopening ? "just opened again" : "") +
                 (reopening && gone ? "; " : "") + (gone ? reopenNote : "") + ")";
    return fail();
}

// The device by its configured name with the settings it had, unless the last try was less
// than a second ago.
bool SerialPort::reopen(std::string& error) {
    const DeviceClock::time_point now = DeviceClock::now();
    if (now - lastOpen_ < std::chrono::seconds(1)) {
        error = goneReason_ + " (" + reopenNote + ")";
        return false;
    }
    lastOpen_ = now;
    std::unique_ptr<SerialDevice> device = layer_.open(deviceName_, error);
    if (device && device->configure(baudRate_, parity_, stopBits_, error)) {
        device_ = std::move(device);
        return true;
    }
    goneReason_ = error;
    error += std::string(" (") + reopenNote + ")";
    return false;
}

const std::string& SerialPort::deviceName() const {
    return deviceName_;
}
std::uint32_t SerialPort::baudRate() const {
    return baudRate_;
}
Parity SerialPort::parity() const {
    return parity_;
}
StopBits SerialPort::stopBits() const {
    return stopBits_;
}

std::string SerialPort::condition(std::string& why) const {
    if (!open_)
        return "closed";
    if (!device_) {
        why = goneReason_;
        return "gone";
    }
    switch (device_->state(why)) {
    case DeviceState::Ready:
        return "open";
    case DeviceState::Stalled:
        return "stalled";
    case DeviceState::Gone:
        return "gone";
    }
    return "open";
}

} // namespace cadentor
