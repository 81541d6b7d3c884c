#pragma once
// The desktop program's way of telling the operator about a failure: an application-modal
// error box with caption message 1, the message text and, when there is one, the detail (file
// and line, device and the system's reason) behind the box's "Show Details" button.

#include "messages/Messages.h"

namespace cadentor {

// Shows `report` and returns when the operator has dismissed the box.
void showMessageBox(const ErrorReport& report);

// Makes showMessageBox the reporter; returns the reporter it replaces.
Reporter installMessageBoxReporter();

} // namespace cadentor
