#pragma once
// The numbered message table and the one way in which failures reach the operator.
//
// The operation that fails loads its text by id, hands it to showErrorMessage (or raiseMessage,
// which does both) together with a detail that only it knows (the file and line, the device and
// the system's error text), undoes what it had begun and returns false. showErrorMessage passes
// everything to one replaceable reporter: the desktop program shows a modal box, the runner
// prints to stderr, tests record. The text itself is always exactly the table's text.

#include <functional>
#include <string>
#include <string_view>

namespace cadentor {

enum class MessageId : unsigned {
    None = 0,
    Caption = 1,
    PortSetupFailed = 2,
    PortOpenFailed = 3,
    PortWriteFailed = 4,
    SequenceReadFailed = 5,
    SequenceParseFailed = 6,
    CommandParseFailed = 7,
    CommandReadFailed = 8,
    CommandNotFound = 9,
    BadPortCount = 10,
    BadPortId = 11,
    AppTitle = 106,
};

// The whole UTF-8 text of message `id`; empty text for an id the table lacks.
std::string loadMessage(unsigned id);
std::string loadMessage(MessageId id);

// One message as the reporter receives it. `caption` is message 1, read afresh for every
// message; `text` is shown exactly as given; `detail` is empty or one line such as
// "/dir/Command.def:3" or "/dev/ttyUSB0: Permission denied".
struct ErrorReport {
    MessageId id = MessageId::None;
    std::string caption;
    std::string text;
    std::string detail;
};

using Reporter = std::function<void(const ErrorReport&)>;

// Installs `reporter` for every later message and returns the one it replaces. An empty
// reporter restores the default, which writes the caption, the text and the detail to stderr.
Reporter setReporter(Reporter reporter);

// Hands one message to the reporter and returns when the reporter returns (for the desktop
// program: when the operator has dismissed the box). `owner` is accepted for the callers'
// sake and is always null. `id` and `detail` are optional context for the reporter.
void showErrorMessage(const void* owner, const std::string& text, MessageId id = MessageId::None,
                      const std::string& detail = {});

// The pattern used at every failure site: loadMessage(id), followed by `suffix` when given
// (message 9 takes "\r\n" and the command name), shown with `detail`.
void raiseMessage(MessageId id, const std::string& detail = {}, const std::string& suffix = {});

} // namespace cadentor
