#include "messages/Messages.h"
#include "support/RecordingReporter.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

TEST(MessageTable, HoldsEveryTextExactly) {
    const std::pair<unsigned, const char*> expected[] = {
        {1, "Cadentor Message"},
        {2, "COMポートの状態設定に失敗しました"},
        {3, "COMポートのオープンに失敗しました"},
        {4, "COMポートへのデータ送信に失敗しました"},
        {5, "イベントシーケンスファイルの読み込みに失敗しました"},
        {6, "イベントシーケンスファイルの解釈に失敗しました"},
        {7, "コマンド定義ファイルの解釈に失敗しました"},
        {8, "コマンド定義ファイルの読み込みに失敗しました"},
        {9, "イベントのバイトストリーム取得に失敗。コマンド名を確認してください"},
        {10, "要求ポート数が異常です"},
        {11, "送信対象ポートID番号が不正です"},
        {106, "Cadentor Ver.0.02"},
    };
    for (const auto& [id, text] : expected)
        EXPECT_EQ(loadMessage(id), text) << "message " << id;
}

TEST(MessageTable, UnknownIdGivesEmptyText) {
    for (unsigned id : {0u, 12u, 100u, 105u, 107u, 0xffffffffu})
        EXPECT_EQ(loadMessage(id), "") << "message " << id;
}

TEST(Reporter, ReceivesCaptionTextIdAndDetail) {
    test::RecordingReporter recorder;
    raiseMessage(MessageId::CommandParseFailed, "/dir/Command.def:3");
    ASSERT_EQ(recorder.reports().size(), 1u);
    const ErrorReport& report = recorder.reports()[0];
    EXPECT_EQ(report.id, MessageId::CommandParseFailed);
    EXPECT_EQ(report.caption, "Cadentor Message");
    EXPECT_EQ(report.text, loadMessage(7));
    EXPECT_EQ(report.detail, "/dir/Command.def:3");
}

TEST(Reporter, CommandNotFoundCarriesTheNameOnItsOwnLine) {
    test::RecordingReporter recorder;
    raiseMessage(MessageId::CommandNotFound, "seq.txt:2", "\r\nFOO");
    ASSERT_EQ(recorder.reports().size(), 1u);
    EXPECT_EQ(recorder.reports()[0].text, loadMessage(9) + "\r\nFOO");
}

TEST(Reporter, UnknownIdShowsCaptionAndEmptyText) {
    test::RecordingReporter recorder;
    showErrorMessage(nullptr, loadMessage(42));
    ASSERT_EQ(recorder.reports().size(), 1u);
    EXPECT_EQ(recorder.reports()[0].caption, "Cadentor Message");
    EXPECT_EQ(recorder.reports()[0].text, "");
}

TEST(Reporter, RecorderRestoresThePreviousReporter) {
    test::RecordingReporter outer;
    {
        test::RecordingReporter inner;
        raiseMessage(MessageId::BadPortId);
        EXPECT_EQ(inner.reports().size(), 1u);
    }
    raiseMessage(MessageId::BadPortCount);
    EXPECT_EQ(outer.ids(), std::vector<MessageId>{MessageId::BadPortCount});
}

TEST(Reporter, DefaultWritesTextAndDetailToStderr) {
    Reporter previous = setReporter({});
    testing::internal::CaptureStderr();
    raiseMessage(MessageId::PortOpenFailed, "/dev/ttyS0: Permission denied");
    std::string err = testing::internal::GetCapturedStderr();
    setReporter(previous);
    EXPECT_NE(err.find(loadMessage(3)), std::string::npos);
    EXPECT_NE(err.find("/dev/ttyS0: Permission denied"), std::string::npos);
}

} // namespace
} // namespace cadentor
