#include "support/RecordingReporter.h"

namespace cadentor::test {

RecordingReporter::RecordingReporter() {
    previous_ = setReporter([this](const ErrorReport& report) { reports_.push_back(report); });
}

RecordingReporter::~RecordingReporter() { setReporter(previous_); }

std::vector<MessageId> RecordingReporter::ids() const {
    std::vector<MessageId> result;
    for (const ErrorReport& report : reports_)
        result.push_back(report.id);
    return result;
}

} // namespace cadentor::test
