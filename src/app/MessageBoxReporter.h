#pragma once
// The desktop program's way of telling the operator about a failure: an application-modal
// error box with caption message 1, the message text and, when there is one, the detail (file
// and line, device and the system's reason) behind the box's "Show Details" button. Once the
// program is stopping (StopRequest.h), nobody may be there to press OK: a report then goes to
// stderr instead, as the runner prints it.

#include "messages/Messages.h"

class QMessageBox;

namespace cadentor {

// Gives `box` the error icon, the OK button, the caption, the text and the detail of `report`,
// application-modal.
void prepareMessageBox(QMessageBox& box, const ErrorReport& report);

// Shows `report` and returns when the operator has dismissed the box (or the program's stop
// has closed it); prints it to stderr after a stop request.
void showMessageBox(const ErrorReport& report);

// Makes showMessageBox the reporter; returns the reporter it replaces.
Reporter installMessageBoxReporter();

} // namespace cadentor
