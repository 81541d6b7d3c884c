#include "app/MessageBoxReporter.h"

#include "AppTestSupport.h"
#include "app/TextDecoding.h"

#include <QMessageBox>
#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

// The box is prepared and inspected, never shown: nothing here can wait for an operator.
class MessageBoxTest : public ::testing::Test {
protected:
    ApplicationFirst application;
    QMessageBox box;
};

TEST_F(MessageBoxTest, CarriesCaptionTextAndDetailAsAnErrorBox) {
    prepareMessageBox(box,
                      {MessageId::PortOpenFailed, loadMessage(MessageId::Caption),
                       loadMessage(MessageId::PortOpenFailed), "/dev/ttyUSB0: Permission denied"});
    EXPECT_EQ(box.windowTitle(), "Cadentor Message");
    EXPECT_EQ(box.text(), QStringLiteral("COMポートのオープンに失敗しました"));
    EXPECT_EQ(box.detailedText(), "/dev/ttyUSB0: Permission denied");
    EXPECT_EQ(box.icon(), QMessageBox::Critical);
    EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
    EXPECT_EQ(box.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(box.textFormat(), Qt::PlainText);
}

TEST_F(MessageBoxTest, ShowsTheCommandNameOnItsOwnLineAndNoDetailWhenThereIsNone) {
    // Message 9 ends in CR LF and the name as the file has it, here in Shift_JIS.
    prepareMessageBox(box, {MessageId::CommandNotFound, loadMessage(MessageId::Caption),
                            loadMessage(MessageId::CommandNotFound) + "\r\n<b>\x83\x65", ""});
    const QStringList lines = box.text().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QString::fromStdString(loadMessage(MessageId::CommandNotFound)));
    if (shiftJisAvailable()) {
        EXPECT_EQ(lines[1], QStringLiteral("<b>テ"));
    }
    EXPECT_TRUE(box.detailedText().isEmpty());
}

} // namespace
} // namespace cadentor::test
