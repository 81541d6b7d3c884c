#include "app/MessageBoxReporter.h"

#include "app/TextDecoding.h"

#include <QMessageBox>

namespace cadentor {

void prepareMessageBox(QMessageBox& box, const ErrorReport& report) {
    box.setIcon(QMessageBox::Critical);
    box.setStandardButtons(QMessageBox::Ok);
    box.setWindowTitle(decodeBytes(report.caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(decodeLines(report.text));
    box.setDetailedText(report.detail.empty() ? QString() : decodeBytes(report.detail));
    box.setWindowModality(Qt::ApplicationModal);
}

void showMessageBox(const ErrorReport& report) {
    QMessageBox box;
    prepareMessageBox(box, report);
    box.exec();
}

Reporter installMessageBoxReporter() {
    return setReporter(showMessageBox);
}

} // namespace cadentor
