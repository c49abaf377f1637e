#ifndef SCPIPARSER_H
#define SCPIPARSER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One command of a line: its header split into upper-cased words, whether it
// asks a question, and its parameters as sent (trimmed, quotes kept).
struct ScpiCommand {
    std::vector<std::string> words;
    bool query = false;
    bool absolute = false; // started with ':' or names a common command ("*IDN")
    std::vector<std::string> args;
};

// A command that could not be read: the SCPI code and the detail for the
// error queue's text.
struct ScpiParseResult {
    ScpiCommand command;
    int error = 0; // 0, or -100 (command error)
    std::string detail;
};

// The IEEE 488.2 / SCPI text rules as pure functions: no socket, no device,
// no Qt, so that every rule can be tested and fuzzed on its own.
namespace scpi {

// Commands of a line: split at each ';' outside quoted strings. Empty
// commands (";;", a trailing ';') are left out.
std::vector<std::string_view> split_commands(std::string_view line);
ScpiParseResult parse_command(std::string_view text);

// A header word against a table word written in SCPI's mixed case
// ("ACQuire"): the word is the short form (the capitals) or the long form,
// in any case. A table word ending in '#' takes a decimal suffix (0 when
// absent), which is stored in `suffix`.
bool word_matches(std::string_view pattern, std::string_view word, int *suffix = nullptr);
// A whole header against a table pattern ("CHANnel#:SHIFt"); -1 in suffix
// when the pattern has no numbered word.
bool header_matches(std::string_view pattern, const std::vector<std::string> &words, int &suffix);

// Parameters, C locale whatever the program's locale.
bool parse_bool(std::string_view text, bool &value); // 1, 0, ON, OFF
bool parse_real(std::string_view text, double &value);
// A whole number, also when written as a real ("2e2", "200.0").
bool parse_integer(std::string_view text, long long &value);
// A string in double or single quotes, the quote doubled inside.
bool parse_string(std::string_view text, std::string &value);

std::string format_real(double value);           // shortest text that reads back the same
std::string quote_string(std::string_view text); // "text" with inner quotes doubled
// "#<digits><length>" of an IEEE 488.2 definite-length block.
std::string block_header(uint64_t length);

} // namespace scpi

// Cuts a byte stream into lines ending in '\n' (a '\r' before it is
// dropped). A line longer than the limit is refused: the stream cannot be
// trusted after it, so the caller closes the connection.
class LineFramer {
public:
    explicit LineFramer(std::size_t max_line = 64 * 1024) : max_line(max_line) {}

    // False when a line grew beyond the limit.
    bool append(const char *data, std::size_t length);
    bool next_line(std::string &line);
    bool overflowed() const { return too_long; }
    std::size_t buffered() const { return buffer.size() - consumed; }

private:
    std::size_t max_line;
    std::string buffer;
    std::size_t consumed = 0;
    std::size_t scanned = 0;
    bool too_long = false;
};

// The error queue of IEEE 488.2: oldest first, bounded; an overflow replaces
// the newest entry by -350 "Queue overflow".
class ScpiErrorQueue {
public:
    static constexpr std::size_t capacity = 32;

    void push(int code, std::string text);
    // "<code>,\"<text>\"", 0,"No error" when empty.
    std::string pop();
    void clear() { entries.clear(); }
    std::size_t size() const { return entries.size(); }

private:
    std::deque<std::pair<int, std::string>> entries;
};

#endif // SCPIPARSER_H
