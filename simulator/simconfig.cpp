#include "simulator/simconfig.h"

#include "simulator/simerrors.h"

#include <ini.h>

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <set>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>

namespace {

constexpr uint64_t max_range_bins = uint64_t(1) << 22;

// State of one parse. The reader counts lines so that the handler knows the
// line of the key it is given.
struct ParseState {
    std::FILE *file = nullptr;
    std::string path;
    int line = 0;
    bool at_line_start = true;
    SimConfig *config = nullptr;
    int error_code = 0;
    int error_line = 0;
    std::string error_text;
    std::set<std::string> seen; // "section.key" already given
    std::vector<int> channel_section_line = std::vector<int>(SimConfig::max_channels, 0);
    int channels_line = 0;
};

char *read_line(char *buffer, int size, void *stream) {
    auto *state = static_cast<ParseState *>(stream);
    if (state->at_line_start)
        ++state->line;
    char *read = std::fgets(buffer, size, state->file);
    if (read) {
        const size_t length = std::strlen(read);
        state->at_line_start = length > 0 && read[length - 1] == '\n';
    }
    return read;
}

std::string where(const ParseState &state, int line) {
    return state.path + ":" + std::to_string(line);
}

int record(ParseState &state, int code, const std::string &what) {
    if (state.error_code == 0) {
        state.error_code = code;
        state.error_line = state.line;
        state.error_text = where(state, state.line) + ": " + what;
    }
    return 0;
}

// The file's numbers are written with a point whatever locale the program
// runs in (Qt sets LC_NUMERIC from the environment, and a German one would
// read "0.125" as 0): they are read in the C locale, by the same functions
// as before, so exactly the same texts are numbers.
locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

// `value` as printf's %.6g (or %f when `fixed`) writes it in the C locale.
std::string number_text(double value, bool fixed = false) {
    char text[400]; // the longest %f of a double has 309 digits before the point
    const std::to_chars_result result =
        std::to_chars(text, text + sizeof text, value,
                      fixed ? std::chars_format::fixed : std::chars_format::general, 6);
    return std::string(text, result.ptr);
}

bool parse_double(const char *text, double &out) {
    errno = 0;
    char *end = nullptr;
    const double number = strtod_l(text, &end, c_locale());
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(number))
        return false;
    out = number;
    return true;
}

bool parse_int(const char *text, int64_t &out) {
    errno = 0;
    char *end = nullptr;
    const long long number = strtoll_l(text, &end, 10, c_locale());
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    out = number;
    return true;
}

bool parse_uint64(const char *text, uint64_t &out) {
    if (*text == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long number = strtoull_l(text, &end, 0, c_locale());
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    out = number;
    return true;
}

bool parse_bool(const char *text, bool &out) {
    static const char *true_words[] = {"true", "yes", "on", "1"};
    static const char *false_words[] = {"false", "no", "off", "0"};
    for (const char *word : true_words)
        if (strcasecmp(text, word) == 0)
            return out = true, true;
    for (const char *word : false_words)
        if (strcasecmp(text, word) == 0)
            return out = false, true;
    return false;
}

std::string key_text(const char *section, const char *name) {
    return std::string("key '") + name + "' in [" + section + "]";
}

int malformed(ParseState &state, const char *section, const char *key, const char *value,
              const char *expected) {
    return record(state, SimErrors::MalformedValue,
                  key_text(section, key) + ": '" + value + "' is not " + expected);
}

int out_of_range(ParseState &state, const char *section, const char *key, const char *value,
                 const std::string &range) {
    return record(state, SimErrors::ValueOutOfRange,
                  key_text(section, key) + ": " + value + " is out of range (" + range + ")");
}

// Real value within [low, high] (above low when low_excluded); returns 1 on
// success, 0 after recording the fault.
int read_real(ParseState &state, const char *section, const char *key, const char *value,
              double low, double high, double &out, bool low_excluded = false) {
    double number = 0;
    if (!parse_double(value, number))
        return malformed(state, section, key, value, "a number");
    if (number > high || number < low || (low_excluded && number == low))
        return out_of_range(state, section, key, value,
                            (low_excluded ? "above " : "") + number_text(low) + " ... " +
                                number_text(high));
    out = number;
    return 1;
}

int read_integer(ParseState &state, const char *section, const char *key, const char *value,
                 int64_t low, int64_t high, int64_t &out) {
    int64_t number = 0;
    if (!parse_int(value, number))
        return malformed(state, section, key, value, "an integer");
    if (number < low || number > high)
        return out_of_range(state, section, key, value,
                            std::to_string(low) + " ... " + std::to_string(high));
    out = number;
    return 1;
}

int read_boolean(ParseState &state, const char *section, const char *key, const char *value,
                 bool &out) {
    if (!parse_bool(value, out))
        return malformed(state, section, key, value, "true or false");
    return 1;
}

int unknown_key(ParseState &state, const char *section, const char *key) {
    return record(state, SimErrors::UnknownKey, "unknown " + key_text(section, key));
}

int device_key(ParseState &state, const char *section, const char *key, const char *value) {
    SimConfig &config = *state.config;
    auto is = [key](const char *name) { return std::strcmp(key, name) == 0; };
    int64_t number = 0;
    if (is("binsize_ns"))
        return read_real(state, section, key, value, 0.001, 1000.0, config.binsize_ns);
    if (is("channels")) {
        state.channels_line = state.line;
        if (!read_integer(state, section, key, value, 1, SimConfig::max_channels, number))
            return 0;
        config.channels = int(number);
        return 1;
    }
    if (is("seed")) {
        if (!parse_uint64(value, config.seed))
            return malformed(state, section, key, value, "an unsigned 64-bit integer");
        return 1;
    }
    if (is("range_ns"))
        return read_real(state, section, key, value, 0.0, 1.0e6, config.range_ns, true);
    if (is("threshold") || is("zero")) {
        if (!read_integer(state, section, key, value, 0, 255, number))
            return 0;
        (is("threshold") ? config.threshold : config.zero) = int(number);
        return 1;
    }
    if (is("realtime"))
        return read_boolean(state, section, key, value, config.realtime);
    if (is("block_events")) {
        if (!read_integer(state, section, key, value, 1, 1 << 20, number))
            return 0;
        config.block_events = int(number);
        return 1;
    }
    if (is("replay")) {
        if (!*value)
            return malformed(state, section, key, value, "a file name");
        config.replay = value;
        return 1;
    }
    if (is("link_rate_hz"))
        return read_real(state, section, key, value, 1.0, 1.0e12, config.link_rate_hz);
    return unknown_key(state, section, key);
}

int channel_key(ParseState &state, ChannelConfig &channel, const char *section, const char *key,
                const char *value) {
    auto is = [key](const char *name) { return std::strcmp(key, name) == 0; };
    if (is("shape")) {
        if (!strcasecmp(value, "off"))
            channel.shape = ChannelConfig::Shape::Off;
        else if (!strcasecmp(value, "decay"))
            channel.shape = ChannelConfig::Shape::Decay;
        else if (!strcasecmp(value, "peak"))
            channel.shape = ChannelConfig::Shape::Peak;
        else if (!strcasecmp(value, "flat"))
            channel.shape = ChannelConfig::Shape::Flat;
        else
            return malformed(state, section, key, value, "one of decay, peak, flat, off");
        return 1;
    }
    if (is("rate_hz"))
        return read_real(state, section, key, value, 0.0, 1.0e9, channel.rate_hz);
    if (is("background_hz"))
        return read_real(state, section, key, value, 0.0, 1.0e9, channel.background_hz);
    if (is("delay_ns"))
        return read_real(state, section, key, value, 0.0, 1.0e6, channel.delay_ns);
    if (is("lifetime_ns"))
        return read_real(state, section, key, value, 0.0, 1.0e6, channel.lifetime_ns, true);
    if (is("sigma_ns"))
        return read_real(state, section, key, value, 0.0, 1.0e4, channel.sigma_ns);
    if (is("correction")) {
        int64_t number = 0;
        if (!read_integer(state, section, key, value, -32768, 32767, number))
            return 0;
        channel.correction = int32_t(number);
        return 1;
    }
    return unknown_key(state, section, key);
}

int faults_key(ParseState &state, const char *section, const char *key, const char *value) {
    FaultConfig &faults = state.config->faults;
    auto is = [key](const char *name) { return std::strcmp(key, name) == 0; };
    if (is("busy_starts"))
        return read_integer(state, section, key, value, 0, 1000000000, faults.busy_starts);
    if (is("lose_connection_at_start"))
        return read_integer(state, section, key, value, 0, 1000000000,
                            faults.lose_connection_at_start);
    if (is("silent_at_start"))
        return read_integer(state, section, key, value, 0, 1000000000, faults.silent_at_start);
    if (is("fail_pipe_open"))
        return read_boolean(state, section, key, value, faults.fail_pipe_open);
    if (is("fail_bus"))
        return read_boolean(state, section, key, value, faults.fail_bus);
    return unknown_key(state, section, key);
}

// Channel number of a section "channelN" (N in 0 ... 15 without leading
// zeros), or -1.
int channel_of_section(const char *section) {
    if (std::strncmp(section, "channel", 7) != 0)
        return -1;
    const char *digits = section + 7;
    const size_t length = std::strlen(digits);
    if (length == 0 || length > 2 || (length == 2 && digits[0] == '0'))
        return -1;
    for (size_t i = 0; i < length; ++i)
        if (digits[i] < '0' || digits[i] > '9')
            return -1;
    const int channel = std::atoi(digits);
    return channel < SimConfig::max_channels ? channel : -1;
}

int handle(void *user, const char *section, const char *name, const char *value) {
    auto &state = *static_cast<ParseState *>(user);
    if (state.error_code != 0)
        return 1; // only the first fault is reported
    if (!*section)
        return record(state, SimErrors::UnknownSection,
                      std::string("key '") + name + "' outside of any section");
    const std::string id = std::string(section) + "." + name;
    if (!state.seen.insert(id).second)
        return record(state, SimErrors::ConfigConflict, key_text(section, name) + " given twice");
    if (!std::strcmp(section, "device"))
        return device_key(state, section, name, value);
    if (!std::strcmp(section, "faults"))
        return faults_key(state, section, name, value);
    const int channel = channel_of_section(section);
    if (channel < 0)
        return record(state, SimErrors::UnknownSection,
                      std::string("unknown section [") + section + "]");
    if (state.channel_section_line[size_t(channel)] == 0)
        state.channel_section_line[size_t(channel)] = state.line;
    return channel_key(state, state.config->sources[size_t(channel)], section, name, value);
}

// Checks that need the whole file.
int check_whole(ParseState &state) {
    SimConfig &config = *state.config;
    const double bins = config.range_ns / config.binsize_ns;
    if (bins < 1.0 || bins > double(max_range_bins))
        return SimErrors::fail(SimErrors::ConfigConflict,
                               state.path + ": range_ns / binsize_ns must give 1 ... " +
                                   std::to_string(max_range_bins) + " device bins, not " +
                                   number_text(bins, true));
    for (int channel = config.channels; channel < SimConfig::max_channels; ++channel) {
        if (state.channel_section_line[size_t(channel)] != 0)
            return SimErrors::fail(SimErrors::ConfigConflict,
                                   where(state, state.channel_section_line[size_t(channel)]) +
                                       ": section [channel" + std::to_string(channel) +
                                       "] is beyond the device's " +
                                       std::to_string(config.channels) + " channels");
    }
    for (int channel = 0; channel < config.channels; ++channel) {
        const ChannelConfig &source = config.sources[size_t(channel)];
        if (source.shape != ChannelConfig::Shape::Off &&
            source.shape != ChannelConfig::Shape::Flat && source.delay_ns > config.range_ns &&
            source.rate_hz > 0.0)
            return SimErrors::fail(SimErrors::ConfigConflict,
                                   where(state, state.channel_section_line[size_t(channel)]) +
                                       ": [channel" + std::to_string(channel) +
                                       "] delay_ns lies beyond range_ns");
    }
    return 0;
}

} // namespace

uint64_t SimConfig::range_bins() const {
    return uint64_t(std::ceil(range_ns / binsize_ns - 1e-9));
}

int SimConfig::load(const char *path, SimConfig &out) {
    if (!path)
        return SimErrors::fail(SimErrors::NullPointer, "device configuration path is null");
    ParseState state;
    state.path = path;
    SimConfig config;
    state.config = &config;

    state.file = std::fopen(path, "r");
    if (!state.file)
        return SimErrors::fail(SimErrors::FileUnreadable,
                               "cannot open device configuration file '" + state.path +
                                   "': " + std::strerror(errno));
    struct stat info {};
    if (fstat(fileno(state.file), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(state.file);
        return SimErrors::fail(SimErrors::FileUnreadable,
                               "cannot read device configuration file '" + state.path +
                                   "': not a regular file");
    }
    const int parse_result = ini_parse_stream(read_line, &state, handle, &state);
    const bool read_failed = std::ferror(state.file) != 0;
    std::fclose(state.file);

    if (read_failed)
        return SimErrors::fail(SimErrors::FileUnreadable,
                               "cannot read device configuration file '" + state.path + "'");
    if (parse_result < 0)
        return SimErrors::fail(SimErrors::ResourceFailure,
                               "out of memory while reading '" + state.path + "'");
    if (parse_result > 0 && (state.error_code == 0 || parse_result < state.error_line))
        return SimErrors::fail(SimErrors::IniSyntax,
                               where(state, parse_result) +
                                   ": syntax error (expected [section] or key = value)");
    if (state.error_code != 0)
        return SimErrors::fail(state.error_code, state.error_text);
    const int whole = check_whole(state);
    if (whole != 0)
        return whole;
    if (!config.replay.empty() && config.replay[0] != '/') {
        const size_t slash = state.path.rfind('/');
        if (slash != std::string::npos)
            config.replay = state.path.substr(0, slash + 1) + config.replay;
    }
    out = config;
    return 0;
}
