#include "ports/ProfileFile.h"

#include "files/TextFile.h"
#include "ports/StopRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <sys/stat.h>

namespace cadentor {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

} // namespace

ProfileFile ProfileFile::parse(std::string_view text) {
    ProfileFile profile;
    Keys* current = nullptr; // null: keys here belong to no section we keep
    if (text.substr(0, 3) == "\xef\xbb\xbf")
        text.remove_prefix(3); // the byte order mark some editors write
    forEachLine(text, [&](std::string_view rawLine, unsigned) {
        std::string_view line = trim(rawLine);
        if (line.empty() || line.front() == ';')
            return true;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            current = nullptr;
            if (close == std::string_view::npos)
                return true; // a broken header: what follows is in no section
            auto [it, fresh] =
                profile.sections_.try_emplace(lower(trim(line.substr(1, close - 1))));
            if (fresh)
                current = &it->second;
            return true;
        }
        const size_t equals = line.find('=');
        if (!current || equals == std::string_view::npos)
            return true;
        std::string_view key = trim(line.substr(0, equals));
        if (key.empty())
            return true;
        current->try_emplace(lower(key), unquote(trim(line.substr(equals + 1))));
        return true;
    });
    return profile;
}

bool ProfileFile::load(const std::string& path, ProfileFile& profile, std::string& error) {
    profile = {};
    struct stat info {};
    // Only a name that is not there at all is an absent file; a link to nothing is there.
    if (::lstat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return true;
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        return true;
    std::string data;
    if (!readWholeFile(path, data, error, {stopRequested}))
        return false;
    try {
        profile = parse(data);
    } catch (const std::bad_alloc&) {
        error = path + ": not enough memory to load the file (" + formatFileSize(data.size()) + ")";
        return false;
    }
    return true;
}

const std::string* ProfileFile::find(std::string_view section, std::string_view key) const {
    auto s = sections_.find(lower(section));
    if (s == sections_.end())
        return nullptr;
    auto k = s->second.find(lower(key));
    return k == s->second.end() ? nullptr : &k->second;
}

std::string ProfileFile::readString(std::string_view section, std::string_view key,
                                    const std::string& fallback) const {
    const std::string* value = find(section, key);
    return value ? *value : fallback;
}

int ProfileFile::readInt(std::string_view section, std::string_view key, int fallback) const {
    const std::string* value = find(section, key);
    return value && !value->empty() ? parseProfileInt(*value) : fallback;
}

int parseProfileInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int>(value);
}

NumberText classifyProfileInt(std::string_view text) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    const size_t first = i;
    std::uint64_t value = 0; // held at 2^32 once beyond, so that it cannot wrap itself
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<std::uint64_t>(value * 10u + static_cast<unsigned>(text[i] - '0'),
                                        std::uint64_t{1} << 32);
    if (i == first)
        return NumberText::NoDigits;
    if (i < text.size())
        return NumberText::TrailingText;
    return value > (negative ? 2147483648u : 2147483647u) ? NumberText::OutOfRange
                                                          : NumberText::Clean;
}

} // namespace cadentor
