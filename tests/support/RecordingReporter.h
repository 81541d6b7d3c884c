#pragma once
// Installs itself as the message reporter for its lifetime and records every message.

#include "messages/Messages.h"

#include <vector>

namespace cadentor::test {

class RecordingReporter {
public:
    RecordingReporter()
        : previous_(
              setReporter([this](const ErrorReport& report) { reports_.push_back(report); })) {}
    ~RecordingReporter() { setReporter(previous_); }
    RecordingReporter(const RecordingReporter&) = delete;
    RecordingReporter& operator=(const RecordingReporter&) = delete;

    const std::vector<ErrorReport>& reports() const { return reports_; }
    // The ids in the order they were reported.
    std::vector<MessageId> ids() const {
        std::vector<MessageId> result;
        for (const ErrorReport& report : reports_)
            result.push_back(report.id);
        return result;
    }
    void clear() { reports_.clear(); }

private:
    std::vector<ErrorReport> reports_;
    Reporter previous_;
};

} // namespace cadentor::test
