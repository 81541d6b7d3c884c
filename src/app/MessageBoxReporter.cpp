#include "app/MessageBoxReporter.h"

#include "app/TextDecoding.h"

#include <QMessageBox>

namespace cadentor {

void showMessageBox(const ErrorReport& report) {
    QMessageBox box(QMessageBox::Critical, decodeBytes(report.caption),
                    toWidgetLines(decodeBytes(report.text)), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    if (!report.detail.empty())
        box.setDetailedText(decodeBytes(report.detail));
    box.exec();
}

Reporter installMessageBoxReporter() {
    return setReporter(showMessageBox);
}

} // namespace cadentor
