#include "remote/scpiparser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && (is_space(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool is_alpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

// Past the quoted string starting at `pos` (its opening quote); npos when it
// is not closed. A doubled quote stands for one quote and stays inside.
std::size_t skip_quoted(std::string_view text, std::size_t pos) {
    const char quote = text[pos];
    for (std::size_t i = pos + 1; i < text.size(); ++i) {
        if (text[i] != quote)
            continue;
        if (i + 1 < text.size() && text[i + 1] == quote) {
            ++i;
            continue;
        }
        return i + 1;
    }
    return std::string_view::npos;
}

ScpiParseResult failure(std::string detail) {
    ScpiParseResult result;
    result.error = -100;
    result.detail = std::move(detail);
    return result;
}

} // namespace

namespace scpi {

std::vector<std::string_view> split_commands(std::string_view line) {
    std::vector<std::string_view> commands;
    std::size_t begin = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == '"' || c == '\'') {
            const std::size_t end = skip_quoted(line, i);
            if (end == std::string_view::npos)
                break; // the parser reports the open string
            i = end;
            continue;
        }
        if (c == ';') {
            if (!trim(line.substr(begin, i - begin)).empty())
                commands.push_back(trim(line.substr(begin, i - begin)));
            begin = i + 1;
        }
        ++i;
    }
    if (!trim(line.substr(begin)).empty())
        commands.push_back(trim(line.substr(begin)));
    return commands;
}

ScpiParseResult parse_command(std::string_view text) {
    text = trim(text);
    std::size_t pos = 0;
    ScpiParseResult result;
    ScpiCommand &command = result.command;
    if (pos < text.size() && text[pos] == ':') {
        command.absolute = true;
        ++pos;
    }
    const bool common = pos < text.size() && text[pos] == '*';
    if (common)
        command.absolute = true;
    // Header words, separated by ':'.
    while (true) {
        std::string word;
        if (common && command.words.empty()) {
            word.push_back('*');
            ++pos;
        }
        if (pos >= text.size() || !is_alpha(text[pos]))
            return failure("header word expected");
        while (pos < text.size() &&
               (is_alpha(text[pos]) || is_digit(text[pos]) || text[pos] == '_'))
            word.push_back(upper(text[pos++]));
        command.words.push_back(std::move(word));
        if (pos < text.size() && text[pos] == ':' && !common) {
            ++pos;
            continue;
        }
        break;
    }
    if (pos < text.size() && text[pos] == '?') {
        command.query = true;
        ++pos;
    }
    if (pos < text.size() && !is_space(text[pos]))
        return failure("invalid character in header");
    std::string_view rest = trim(text.substr(pos));
    if (rest.empty())
        return result;
    // Parameters, separated by ',' outside quoted strings.
    std::size_t begin = 0;
    std::size_t i = 0;
    while (true) {
        if (i < rest.size() && (rest[i] == '"' || rest[i] == '\'')) {
            const std::size_t end = skip_quoted(rest, i);
            if (end == std::string_view::npos)
                return failure("string not closed");
            i = end;
            continue;
        }
        if (i == rest.size() || rest[i] == ',') {
            const std::string_view arg = trim(rest.substr(begin, i - begin));
            if (arg.empty())
                return failure("missing parameter");
            command.args.emplace_back(arg);
            if (i == rest.size())
                break;
            begin = i + 1;
        }
        ++i;
    }
    return result;
}

bool word_matches(std::string_view pattern, std::string_view word, int *suffix) {
    const bool numbered = !pattern.empty() && pattern.back() == '#';
    if (numbered) {
        pattern.remove_suffix(1);
        std::size_t digits = 0;
        while (digits < word.size() && is_digit(word[word.size() - 1 - digits]))
            ++digits;
        if (digits == 0 || digits > 6)
            return false;
        int value = 0;
        std::from_chars(word.data() + word.size() - digits, word.data() + word.size(), value);
        if (suffix)
            *suffix = value;
        word.remove_suffix(digits);
    }
    std::string short_form;
    for (char c : pattern)
        if (!(c >= 'a' && c <= 'z'))
            short_form.push_back(c);
    return same_ignoring_case(word, short_form) || same_ignoring_case(word, pattern);
}

bool header_matches(std::string_view pattern, const std::vector<std::string> &words, int &suffix) {
    suffix = -1;
    std::size_t index = 0;
    std::size_t begin = 0;
    while (begin <= pattern.size()) {
        std::size_t end = pattern.find(':', begin);
        if (end == std::string_view::npos)
            end = pattern.size();
        if (index >= words.size() ||
            !word_matches(pattern.substr(begin, end - begin), words[index], &suffix))
            return false;
        ++index;
        begin = end + 1;
    }
    return index == words.size();
}

bool parse_bool(std::string_view text, bool &value) {
    if (text == "1" || same_ignoring_case(text, "ON")) {
        value = true;
        return true;
    }
    if (text == "0" || same_ignoring_case(text, "OFF")) {
        value = false;
        return true;
    }
    return false;
}

bool parse_real(std::string_view text, double &value) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || !(is_digit(text.front()) || text.front() == '-' || text.front() == '.'))
        return false;
    double parsed = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

bool parse_integer(std::string_view text, long long &value) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    long long whole = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), whole);
    if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size()) {
        value = whole;
        return true;
    }
    double real = 0.0;
    if (!parse_real(text, real) || real != std::floor(real) || std::fabs(real) > 9.0e18)
        return false;
    value = static_cast<long long>(real);
    return true;
}

bool parse_string(std::string_view text, std::string &value) {
    if (text.size() < 2 || (text.front() != '"' && text.front() != '\''))
        return false;
    if (skip_quoted(text, 0) != text.size())
        return false;
    const char quote = text.front();
    value.clear();
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        value.push_back(text[i]);
        if (text[i] == quote)
            ++i; // the doubled quote
    }
    return true;
}

std::string format_real(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return std::to_string(static_cast<long long>(value));
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string quote_string(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        quoted.push_back(c);
        if (c == '"')
            quoted.push_back('"');
    }
    quoted.push_back('"');
    return quoted;
}

std::string block_header(uint64_t length) {
    const std::string digits = std::to_string(length);
    return "#" + std::to_string(digits.size()) + digits;
}

} // namespace scpi

bool LineFramer::append(const char *data, std::size_t length) {
    if (too_long)
        return false;
    if (consumed > 0 && consumed >= buffer.size() / 2) {
        buffer.erase(0, consumed);
        scanned -= consumed;
        consumed = 0;
    }
    buffer.append(data, length);
    // Only the tail after the last complete line can still grow.
    const std::size_t last_end = buffer.rfind('\n');
    const std::size_t open_from =
        last_end == std::string::npos || last_end < consumed ? consumed : last_end + 1;
    if (buffer.size() - open_from > max_line)
        too_long = true;
    return !too_long;
}

bool LineFramer::next_line(std::string &line) {
    if (too_long)
        return false;
    const std::size_t end = buffer.find('\n', std::max(consumed, scanned));
    if (end == std::string::npos) {
        scanned = buffer.size();
        return false;
    }
    std::size_t length = end - consumed;
    if (length > 0 && buffer[end - 1] == '\r')
        --length;
    if (length > max_line) {
        too_long = true;
        return false;
    }
    line.assign(buffer, consumed, length);
    consumed = end + 1;
    scanned = consumed;
    return true;
}

void ScpiErrorQueue::push(int code, std::string text) {
    if (entries.size() >= capacity) {
        entries.back() = {-350, "Queue overflow"};
        return;
    }
    entries.emplace_back(code, std::move(text));
}

std::string ScpiErrorQueue::pop() {
    if (entries.empty())
        return "0,\"No error\"";
    const auto [code, text] = entries.front();
    entries.pop_front();
    return std::to_string(code) + "," + scpi::quote_string(text);
}
