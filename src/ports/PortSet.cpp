#include "ports/PortSet.h"

#include "messages/Messages.h"
#include "ports/PortConfig.h"
#include "ports/ProfileFile.h"

#include <algorithm>
#include <new>

namespace cadentor {

PortSet::PortSet(DeviceLayer& layer) : layer_(layer) {}

PortSet::~PortSet() {
    closeAll();
}

bool PortSet::load() {
    closeAll();
    std::string path;
    // Nothing here may end the program: memory that runs out while reading the file or making
    // the ports is reported as the file's failure and leaves the set empty.
    try {
        path = configFilePath();
        ProfileFile profile;
        std::string error;
        if (!ProfileFile::load(path, profile, error)) {
            raiseMessage(MessageId::BadPortCount, error);
            return false;
        }
        const int require = readRequire(profile);
        if (require < 0 || require > static_cast<int>(MaxPortCount)) {
            raiseMessage(
                MessageId::BadPortCount,
                path + ": Require=" + std::to_string(require) +
                    (require < 0 ? "" : " (at most " + std::to_string(MaxPortCount) + " ports)"));
            closeAll();
            return false;
        }
        ports_.reserve(static_cast<std::size_t>(require));
        std::vector<std::string> files; // the device file of each port so far, "" for none
        for (unsigned id = 0; id < static_cast<unsigned>(require); ++id) {
            const PortSettings settings = readPortSettings(profile, id);
            const std::string where = " ([Port" + std::to_string(id) + "] in " + path + ")";
            std::string reason;
            if (!settingsSupported(settings, reason)) {
                closeAll();
                raiseMessage(MessageId::PortSetupFailed,
                             devicePath(settings.device) + ": " + reason + where);
                return false;
            }
            files.push_back(lineDeviceFile(settings.device));
            const auto same = std::find(files.begin(), files.end() - 1, files.back());
            if (!files.back().empty() && same != files.end() - 1) {
                closeAll();
                raiseMessage(MessageId::PortOpenFailed,
                             devicePath(settings.device) + ": also the device of [Port" +
                                 std::to_string(same - files.begin()) + "]" + where);
                return false;
            }
            ports_.push_back(std::make_unique<SerialPort>(layer_, notice_));
            if (!ports_.back()->open(settings.device, settings.baudRate, settings.parity,
                                     settings.stopBits, settings.writeTimeoutMs)) {
                closeAll();
                return false;
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        closeAll();
        raiseMessage(MessageId::BadPortCount, path + ": not enough memory to open the ports");
        return false;
    }
}

bool PortSet::closeAll() {
    // Ports close from the last one down; the vector is empty before any port is destroyed
    // so that the set never shows a half-closed state.
    std::vector<std::unique_ptr<SerialPort>> closing;
    closing.swap(ports_);
    while (!closing.empty())
        closing.pop_back();
    return true;
}

std::uint32_t PortSet::count() const {
    return static_cast<std::uint32_t>(ports_.size());
}

bool PortSet::write(PortId id, const std::uint8_t* bytes, std::uint32_t count,
                    std::string* whyNot) {
    if (id >= this->count()) {
        std::string detail =
            "port " + std::to_string(id) + ": " + std::to_string(this->count()) + " ports are open";
        raiseMessage(MessageId::BadPortId, detail);
        if (whyNot)
            *whyNot = std::move(detail);
        return false;
    }
    return ports_[id]->write(bytes, count, whyNot);
}

const SerialPort* PortSet::port(PortId id) const {
    return id < count() ? ports_[id].get() : nullptr;
}

} // namespace cadentor
