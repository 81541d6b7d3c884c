#include "messages/Messages.h"

#include "support/RecordingReporter.h"

#include <gtest/gtest.h>

using namespace cadentor;

TEST(Reporter, GetsCaptionTextAndDetailAndIsRestoredAfterwards) {
    test::RecordingReporter outer;
    {
        test::RecordingReporter inner;
        raiseMessage(MessageId::CommandNotFound, "seq.txt:2", "\r\nFOO");
        ASSERT_EQ(inner.ids(), std::vector{MessageId::CommandNotFound});
        const ErrorReport& report = inner.reports()[0];
        EXPECT_EQ(report.caption + "|" + report.text + "|" + report.detail,
                  "Cadentor Message|" + loadMessage(9) + "\r\nFOO|seq.txt:2");
    }
    raiseMessage(MessageId::BadPortCount);
    EXPECT_EQ(outer.ids(), std::vector<MessageId>{MessageId::BadPortCount});
}
