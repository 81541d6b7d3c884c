#include "messages/Messages.h"

#include "support/RecordingReporter.h"

#include <gtest/gtest.h>
#include <set>

using namespace cadentor;

TEST(MessageTable, EveryMessageHasItsOwnTextAndOtherIdsNone) {
    std::set<std::string> texts;
    for (unsigned id : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 106u})
        EXPECT_TRUE(texts.insert(loadMessage(id)).second && !loadMessage(id).empty()) << id;
    for (unsigned id : {0u, 12u, 105u, 0xffffffffu})
        EXPECT_EQ(loadMessage(id), "") << id;
}

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
