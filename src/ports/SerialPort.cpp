#include "ports/SerialPort.h"

#include "messages/Messages.h"

#include <utility>

namespace cadentor {

SerialPort::SerialPort(DeviceLayer& layer) : layer_(layer) {}

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
    return true;
}

bool SerialPort::close() {
    device_.reset();
    deviceName_ = "NUL";
    baudRate_ = 9600;
    parity_ = Parity::None;
    stopBits_ = StopBits::One;
    return true;
}

bool SerialPort::write(const std::uint8_t* bytes, std::uint32_t count, std::string* whyNot) {
    if (!device_)
        return false;
    std::string error;
    if (device_->write(bytes, count, writeTimeoutMs_, error))
        return true;
    raiseMessage(MessageId::PortWriteFailed, error);
    if (whyNot)
        *whyNot = std::move(error);
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

} // namespace cadentor
