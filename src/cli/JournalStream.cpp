#include "cli/JournalStream.h"

#include <charconv>
#include <cstdlib>
#include <sys/stat.h>

namespace cadentor::cli {

bool isJournalStream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM");
    if (named == nullptr)
        return false;
    const std::string_view text(named);
    const char* const end = text.data() + text.size();
    unsigned long long device = 0, inode = 0;
    const auto [colon, deviceError] = std::from_chars(text.data(), end, device);
    if (deviceError != std::errc() || colon == end || *colon != ':')
        return false;
    const auto [last, inodeError] = std::from_chars(colon + 1, end, inode);
    struct stat info {};
    return inodeError == std::errc() && last == end && ::fstat(fd, &info) == 0 &&
           info.st_dev == device && info.st_ino == inode;
}

std::string withLevel(LogLevel level, std::string_view lines) {
    const char prefix[] = {'<', static_cast<char>(level), '>'};
    std::string text;
    text.reserve(lines.size() + 8);
    for (std::size_t start = 0; start < lines.size();) {
        const std::size_t newline = lines.find('\n', start);
        const std::size_t end = newline == std::string_view::npos ? lines.size() : newline + 1;
        text.append(prefix, sizeof prefix).append(lines.substr(start, end - start));
        start = end;
    }
    return text;
}

} // namespace cadentor::cli
