#include "messages/Messages.h"

#include <cstdio>
#include <utility>

namespace cadentor {

namespace {

struct Entry {
    unsigned id;
    const char* text;
};

constexpr Entry table[] = {
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

void reportToStderr(const ErrorReport& report) {
    std::fprintf(stderr, "%s: %s\n", report.caption.c_str(), report.text.c_str());
    if (!report.detail.empty())
        std::fprintf(stderr, "  %s\n", report.detail.c_str());
    std::fflush(stderr);
}

Reporter& currentReporter() {
    static Reporter reporter = reportToStderr;
    return reporter;
}

} // namespace

std::string loadMessage(unsigned id) {
    for (const Entry& entry : table)
        if (entry.id == id)
            return entry.text;
    return {};
}

std::string loadMessage(MessageId id) { return loadMessage(static_cast<unsigned>(id)); }

Reporter setReporter(Reporter reporter) {
    if (!reporter)
        reporter = reportToStderr;
    return std::exchange(currentReporter(), std::move(reporter));
}

void showErrorMessage(const void* /*owner*/, const std::string& text, MessageId id,
                      const std::string& detail) {
    ErrorReport report{id, loadMessage(MessageId::Caption), text, detail};
    // A copy, so that a reporter may replace itself while it runs.
    Reporter reporter = currentReporter();
    reporter(report);
}

void raiseMessage(MessageId id, const std::string& detail, const std::string& suffix) {
    showErrorMessage(nullptr, loadMessage(id) + suffix, id, detail);
}

} // namespace cadentor
