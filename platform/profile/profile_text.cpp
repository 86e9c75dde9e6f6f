#include "platform/profile/profile_file.h"

// The text of a profile file: reading a value out of it and writing one into it, in memory.

namespace platform {

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// One line of the file as byte offsets: [begin, contentEnd) is its text without the line end,
// [contentEnd, end) its line end ("\n", "\r\n" or nothing on an unterminated last line).
struct Line {
    std::size_t begin = 0;
    std::size_t contentEnd = 0;
    std::size_t end = 0;
};

enum class LineKind { Blank, Comment, Header, Entry };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    std::string_view name;
    std::string_view value;
    bool hasValue = false;
};

ParsedLine parseLine(std::string_view text)
{
    ParsedLine parsed;
    const std::string_view t = trim(text);
    if (t.empty()) {
        return parsed;
    }
    if (t.front() == ';') {
        parsed.kind = LineKind::Comment;
        return parsed;
    }
    if (t.front() == '[') {
        // The last ']' closes the name, so a name may itself hold brackets; text after it
        // is ignored. Without a ']' the line is no header.
        const auto close = t.rfind(']');
        if (close != std::string_view::npos && close > 0) {
            parsed.kind = LineKind::Header;
            parsed.name = trim(t.substr(1, close - 1));
            return parsed;
        }
    }
    parsed.kind = LineKind::Entry;
    const auto equals = t.find('=');
    if (equals == std::string_view::npos) {
        parsed.name = t;
        return parsed;
    }
    parsed.name = trim(t.substr(0, equals));
    parsed.value = trim(t.substr(equals + 1));
    parsed.hasValue = true;
    return parsed;
}

// Walks the lines of `content` one at a time without copying them.
class LineReader {
public:
    // A UTF-8 byte order mark, as Notepad writes it, is not part of the first line.
    explicit LineReader(std::string_view content)
        : m_content(content), m_pos(content.starts_with("\xEF\xBB\xBF") ? 3 : 0)
    {
    }

    bool next(Line& line)
    {
        if (m_pos >= m_content.size()) {
            return false;
        }
        line.begin = m_pos;
        const auto newline = m_content.find('\n', m_pos);
        if (newline == std::string_view::npos) {
            line.contentEnd = m_content.size();
            line.end = m_content.size();
        } else {
            line.end = newline + 1;
            line.contentEnd =
                (newline > m_pos && m_content[newline - 1] == '\r') ? newline - 1 : newline;
        }
        m_pos = line.end;
        return true;
    }

    std::string_view text(const Line& line) const
    {
        return m_content.substr(line.begin, line.contentEnd - line.begin);
    }

private:
    std::string_view m_content;
    std::size_t m_pos;
};

// Where a key stands in the file: only the first section of the name is searched, and in it
// only the first line of the key counts.
struct KeyPlace {
    bool sectionFound = false;
    bool keyFound = false;
    Line keyLine;          // the key's line, when found
    Line lastLine;         // header or last key line of the section: a new key goes after it
    ParsedLine keyParsed;  // the key's line parsed, when found
};

KeyPlace findKey(std::string_view content, std::string_view section, std::string_view key)
{
    KeyPlace place;
    LineReader reader(content);
    Line line;
    bool inSection = false;
    while (reader.next(line)) {
        const ParsedLine parsed = parseLine(reader.text(line));
        if (parsed.kind == LineKind::Header) {
            if (inSection) {
                break;
            }
            if (sameName(parsed.name, section)) {
                inSection = true;
                place.sectionFound = true;
                place.lastLine = line;
            }
            continue;
        }
        if (!inSection || parsed.kind != LineKind::Entry) {
            continue;
        }
        place.lastLine = line;
        if (!place.keyFound && sameName(parsed.name, key)) {
            place.keyFound = true;
            place.keyLine = line;
            place.keyParsed = parsed;
        }
    }
    return place;
}

std::string_view lineEndOf(std::string_view content)
{
    const auto newline = content.find('\n');
    if (newline != std::string_view::npos && newline > 0 && content[newline - 1] == '\r') {
        return "\r\n";
    }
    return "\n";
}

std::string_view unquote(std::string_view value)
{
    if (value.size() > 1 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\'')) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool holdsLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> lookupProfileValue(std::string_view content,
                                                   std::string_view section, std::string_view key)
{
    const KeyPlace place = findKey(content, trim(section), trim(key));
    if (!place.keyFound || !place.keyParsed.hasValue) {
        return std::nullopt;
    }
    return unquote(place.keyParsed.value);
}

std::string updateProfileText(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view value)
{
    section = trim(section);
    key = trim(key);
    const std::string_view lineEnd = lineEndOf(content);
    const KeyPlace place = findKey(content, section, key);
    std::string result;
    result.reserve(content.size() + section.size() + key.size() + value.size() + 8);

    if (place.keyFound) {
        // The key keeps its spelling from the file; blanks around it and the old value go.
        result.append(content.substr(0, place.keyLine.begin));
        result.append(place.keyParsed.name);
        result.push_back('=');
        result.append(value);
        result.append(content.substr(place.keyLine.contentEnd));
        return result;
    }
    if (place.sectionFound) {
        const Line& after = place.lastLine;
        result.append(content.substr(0, after.end));
        if (after.contentEnd == after.end) {
            // The section's last line is the file's unterminated last line.
            result.append(lineEnd);
            result.append(key);
            result.push_back('=');
            result.append(value);
        } else {
            result.append(key);
            result.push_back('=');
            result.append(value);
            result.append(lineEnd);
        }
        result.append(content.substr(after.end));
        return result;
    }
    result.append(content);
    if (!content.empty() && content.back() != '\n') {
        result.append(lineEnd);
    }
    result.push_back('[');
    result.append(section);
    result.push_back(']');
    result.append(lineEnd);
    result.append(key);
    result.push_back('=');
    result.append(value);
    result.append(lineEnd);
    return result;
}

std::string refusedProfileArguments(std::string_view section, std::string_view key,
                                    std::string_view value)
{
    section = trim(section);
    key = trim(key);
    if (section.empty()) {
        return "the section name is empty";
    }
    if (key.empty()) {
        return "the key name is empty";
    }
    if (holdsLineBreakOrNul(section) || section.find(']') != std::string_view::npos) {
        return "the section name holds a line break, NUL or ']'";
    }
    if (holdsLineBreakOrNul(key) || key.find('=') != std::string_view::npos || key.front() == '[' ||
        key.front() == ';') {
        return "the key name holds a line break, NUL or '=', or begins with '[' or ';'";
    }
    if (holdsLineBreakOrNul(value)) {
        return "the value holds a line break or NUL";
    }
    return {};
}

}  // namespace platform
