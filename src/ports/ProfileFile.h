#pragma once
// A small reader for INI-style profile files such as Config.ini, read once and then queried.
//
// The rules: section and key names match without regard to (ASCII) case; the first occurrence
// of a section or of a key within it wins, and a later repetition is ignored whole; blanks
// (spaces and tabs) around names and values and one pair of matching quotes ('' or "") around
// a value are stripped; a line whose first non-blank character is ';' is a comment; lines of
// any length are read; a UTF-8 byte order mark at the start is skipped; a line that is neither a
// section header nor `key=value` is ignored, and so are keys before the first section. CR LF, LF
// and CR all end a line.

#include <string>
#include <string_view>
#include <unordered_map>

namespace cadentor {

class ProfileFile {
public:
    ProfileFile() = default; // holds no values: every lookup gives its default

    static ProfileFile parse(std::string_view text);
    // Reads `path` whole into `profile`. A file that does not exist, or is empty, gives an empty
    // profile and true. A file that exists but cannot be read (a directory, no permission, too
    // large for the memory at hand, a link to nothing) gives false with `error` naming the file
    // and the reason, such as "/dir/Config.ini: Is a directory"; `profile` is then empty.
    static bool load(const std::string& path, ProfileFile& profile, std::string& error);

    // The value as written (stripped), or null when the section or key is absent.
    const std::string* find(std::string_view section, std::string_view key) const;
    std::string readString(std::string_view section, std::string_view key,
                           const std::string& fallback) const;
    // The value read by parseProfileInt; `fallback` when the key is absent or its value empty.
    int readInt(std::string_view section, std::string_view key, int fallback) const;

private:
    using Keys = std::unordered_map<std::string, std::string>;
    std::unordered_map<std::string, Keys> sections_; // names in lower case
};

// Reads an integer as the profile reader does: an optional sign, then the leading decimal
// digits; anything after them is ignored, no digits give 0, and values outside the range of
// int wrap modulo 2^32 (so "-1" and "4294967295" both read as -1).
int parseProfileInt(std::string_view text);

// Whether parseProfileInt reads `text` as written: Clean is an optional sign and decimal digits
// and nothing else, within the range of int. NoDigits reads as 0 ("even", ""), TrailingText as
// its leading number ("3 s", "1.5", "0x2580" is 0), OutOfRange wrapped ("4294967297" is 1).
enum class NumberText { Clean, NoDigits, TrailingText, OutOfRange };
NumberText classifyProfileInt(std::string_view text);

} // namespace cadentor
