#include "app/MessageBoxReporter.h"

#include "app/TextDecoding.h"
#include "ports/StopRequest.h"

#include <QMessageBox>
#include <cstdio>

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
    if (stopRequested()) {
        std::fprintf(stderr, "%s: %s\n", report.caption.c_str(), report.text.c_str());
        if (!report.detail.empty())
            std::fprintf(stderr, "  %s\n", report.detail.c_str());
        std::fflush(stderr);
        return;
    }
    QMessageBox box;
    prepareMessageBox(box, report);
    box.exec();
}

Reporter installMessageBoxReporter() {
    return setReporter(showMessageBox);
}

} // namespace cadentor
