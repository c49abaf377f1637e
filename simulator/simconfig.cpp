#include "simconfig.h"

#include "simerrors.h"

#include <ini.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
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

char *read_line(char *str, int num, void *stream) {
    auto *st = static_cast<ParseState *>(stream);
    if (st->at_line_start)
        ++st->line;
    char *r = std::fgets(str, num, st->file);
    if (r) {
        const size_t n = std::strlen(r);
        st->at_line_start = n > 0 && r[n - 1] == '\n';
    }
    return r;
}

std::string where(const ParseState &st, int line) {
    return st.path + ":" + std::to_string(line);
}

int record(ParseState &st, int code, const std::string &what) {
    if (st.error_code == 0) {
        st.error_code = code;
        st.error_line = st.line;
        st.error_text = where(st, st.line) + ": " + what;
    }
    return 0;
}

bool parse_double(const char *text, double &out) {
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

bool parse_int(const char *text, int64_t &out) {
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    out = v;
    return true;
}

bool parse_uint64(const char *text, uint64_t &out) {
    if (*text == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    out = v;
    return true;
}

bool parse_bool(const char *text, bool &out) {
    static const char *yes[] = {"true", "yes", "on", "1"};
    static const char *no[] = {"false", "no", "off", "0"};
    for (const char *y : yes)
        if (strcasecmp(text, y) == 0)
            return out = true, true;
    for (const char *n : no)
        if (strcasecmp(text, n) == 0)
            return out = false, true;
    return false;
}

std::string key_text(const char *section, const char *name) {
    return std::string("key '") + name + "' in [" + section + "]";
}

int malformed(ParseState &st, const char *section, const char *name, const char *value,
              const char *expected) {
    return record(st, SimErrors::MalformedValue,
                  key_text(section, name) + ": '" + value + "' is not " + expected);
}

int out_of_range(ParseState &st, const char *section, const char *name, const char *value,
                 const std::string &range) {
    return record(st, SimErrors::ValueOutOfRange,
                  key_text(section, name) + ": " + value + " is out of range (" + range + ")");
}

// Real value within [lo, hi]; returns 1 on success, 0 after recording the fault.
int real_in(ParseState &st, const char *s, const char *k, const char *v, double lo, double hi,
            double &out, bool lo_open = false) {
    double d = 0;
    if (!parse_double(v, d))
        return malformed(st, s, k, v, "a number");
    if (d > hi || d < lo || (lo_open && d == lo)) {
        char range[96];
        std::snprintf(range, sizeof range, "%s%g ... %g", lo_open ? "above " : "", lo, hi);
        return out_of_range(st, s, k, v, range);
    }
    out = d;
    return 1;
}

int integer_in(ParseState &st, const char *s, const char *k, const char *v, int64_t lo, int64_t hi,
               int64_t &out) {
    int64_t i = 0;
    if (!parse_int(v, i))
        return malformed(st, s, k, v, "an integer");
    if (i < lo || i > hi)
        return out_of_range(st, s, k, v, std::to_string(lo) + " ... " + std::to_string(hi));
    out = i;
    return 1;
}

int boolean(ParseState &st, const char *s, const char *k, const char *v, bool &out) {
    if (!parse_bool(v, out))
        return malformed(st, s, k, v, "true or false");
    return 1;
}

int device_key(ParseState &st, const char *s, const char *k, const char *v) {
    SimConfig &c = *st.config;
    int64_t i = 0;
    if (!std::strcmp(k, "binsize_ns"))
        return real_in(st, s, k, v, 0.001, 1000.0, c.binsize_ns);
    if (!std::strcmp(k, "channels")) {
        st.channels_line = st.line;
        if (!integer_in(st, s, k, v, 1, SimConfig::max_channels, i))
            return 0;
        c.channels = int(i);
        return 1;
    }
    if (!std::strcmp(k, "seed")) {
        if (!parse_uint64(v, c.seed))
            return malformed(st, s, k, v, "an unsigned 64-bit integer");
        return 1;
    }
    if (!std::strcmp(k, "range_ns"))
        return real_in(st, s, k, v, 0.0, 1.0e6, c.range_ns, true);
    if (!std::strcmp(k, "threshold") || !std::strcmp(k, "zero")) {
        if (!integer_in(st, s, k, v, 0, 255, i))
            return 0;
        (!std::strcmp(k, "threshold") ? c.threshold : c.zero) = int(i);
        return 1;
    }
    if (!std::strcmp(k, "realtime"))
        return boolean(st, s, k, v, c.realtime);
    if (!std::strcmp(k, "block_events")) {
        if (!integer_in(st, s, k, v, 1, 1 << 20, i))
            return 0;
        c.block_events = int(i);
        return 1;
    }
    return record(st, SimErrors::UnknownKey, "unknown " + key_text(s, k));
}

int channel_key(ParseState &st, ChannelConfig &ch, const char *s, const char *k, const char *v) {
    int64_t i = 0;
    if (!std::strcmp(k, "shape")) {
        if (!strcasecmp(v, "off"))
            ch.shape = ChannelConfig::Shape::Off;
        else if (!strcasecmp(v, "decay"))
            ch.shape = ChannelConfig::Shape::Decay;
        else if (!strcasecmp(v, "peak"))
            ch.shape = ChannelConfig::Shape::Peak;
        else if (!strcasecmp(v, "flat"))
            ch.shape = ChannelConfig::Shape::Flat;
        else
            return malformed(st, s, k, v, "one of decay, peak, flat, off");
        return 1;
    }
    if (!std::strcmp(k, "rate_hz"))
        return real_in(st, s, k, v, 0.0, 1.0e9, ch.rate_hz);
    if (!std::strcmp(k, "background_hz"))
        return real_in(st, s, k, v, 0.0, 1.0e9, ch.background_hz);
    if (!std::strcmp(k, "delay_ns"))
        return real_in(st, s, k, v, 0.0, 1.0e6, ch.delay_ns);
    if (!std::strcmp(k, "lifetime_ns"))
        return real_in(st, s, k, v, 0.0, 1.0e6, ch.lifetime_ns, true);
    if (!std::strcmp(k, "sigma_ns"))
        return real_in(st, s, k, v, 0.0, 1.0e4, ch.sigma_ns);
    if (!std::strcmp(k, "correction")) {
        if (!integer_in(st, s, k, v, -32768, 32767, i))
            return 0;
        ch.correction = int32_t(i);
        return 1;
    }
    return record(st, SimErrors::UnknownKey, "unknown " + key_text(s, k));
}

int faults_key(ParseState &st, const char *s, const char *k, const char *v) {
    FaultConfig &f = st.config->faults;
    if (!std::strcmp(k, "busy_starts"))
        return integer_in(st, s, k, v, 0, 1000000000, f.busy_starts);
    if (!std::strcmp(k, "lose_connection_at_start"))
        return integer_in(st, s, k, v, 0, 1000000000, f.lose_connection_at_start);
    if (!std::strcmp(k, "fail_pipe_open"))
        return boolean(st, s, k, v, f.fail_pipe_open);
    if (!std::strcmp(k, "fail_bus"))
        return boolean(st, s, k, v, f.fail_bus);
    return record(st, SimErrors::UnknownKey, "unknown " + key_text(s, k));
}

// Channel number of a section "channelN" (N in 0 ... 15 without leading
// zeros), or -1.
int channel_of_section(const char *section) {
    if (std::strncmp(section, "channel", 7) != 0)
        return -1;
    const char *digits = section + 7;
    const size_t n = std::strlen(digits);
    if (n == 0 || n > 2 || (n == 2 && digits[0] == '0'))
        return -1;
    for (size_t i = 0; i < n; ++i)
        if (digits[i] < '0' || digits[i] > '9')
            return -1;
    const int c = std::atoi(digits);
    return c < SimConfig::max_channels ? c : -1;
}

int handle(void *user, const char *section, const char *name, const char *value) {
    auto &st = *static_cast<ParseState *>(user);
    if (st.error_code != 0)
        return 1; // only the first fault is reported
    if (!*section)
        return record(st, SimErrors::UnknownSection,
                      std::string("key '") + name + "' outside of any section");
    const std::string id = std::string(section) + "." + name;
    if (!st.seen.insert(id).second)
        return record(st, SimErrors::ConfigConflict, key_text(section, name) + " given twice");
    if (!std::strcmp(section, "device"))
        return device_key(st, section, name, value);
    if (!std::strcmp(section, "faults"))
        return faults_key(st, section, name, value);
    const int c = channel_of_section(section);
    if (c < 0)
        return record(st, SimErrors::UnknownSection,
                      std::string("unknown section [") + section + "]");
    if (st.channel_section_line[c] == 0)
        st.channel_section_line[c] = st.line;
    return channel_key(st, st.config->sources[size_t(c)], section, name, value);
}

// Checks that need the whole file.
int check_whole(ParseState &st) {
    SimConfig &c = *st.config;
    const double bins = c.range_ns / c.binsize_ns;
    if (bins < 1.0 || bins > double(max_range_bins))
        return SimErrors::fail(SimErrors::ConfigConflict,
                               st.path + ": range_ns / binsize_ns must give 1 ... " +
                                   std::to_string(max_range_bins) + " device bins, not " +
                                   std::to_string(bins));
    for (int ch = c.channels; ch < SimConfig::max_channels; ++ch) {
        if (st.channel_section_line[size_t(ch)] != 0)
            return SimErrors::fail(SimErrors::ConfigConflict,
                                   where(st, st.channel_section_line[size_t(ch)]) +
                                       ": section [channel" + std::to_string(ch) +
                                       "] is beyond the device's " + std::to_string(c.channels) +
                                       " channels");
    }
    for (int ch = 0; ch < c.channels; ++ch) {
        const ChannelConfig &src = c.sources[size_t(ch)];
        if (src.shape != ChannelConfig::Shape::Off && src.shape != ChannelConfig::Shape::Flat &&
            src.delay_ns > c.range_ns && src.rate_hz > 0.0)
            return SimErrors::fail(SimErrors::ConfigConflict,
                                   where(st, st.channel_section_line[size_t(ch)]) + ": [channel" +
                                       std::to_string(ch) + "] delay_ns lies beyond range_ns");
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
    ParseState st;
    st.path = path;
    SimConfig config;
    st.config = &config;

    st.file = std::fopen(path, "r");
    if (!st.file)
        return SimErrors::fail(SimErrors::FileUnreadable,
                               "cannot open device configuration file '" + st.path +
                                   "': " + std::strerror(errno));
    struct stat info {};
    if (fstat(fileno(st.file), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(st.file);
        return SimErrors::fail(SimErrors::FileUnreadable,
                               "cannot read device configuration file '" + st.path +
                                   "': not a regular file");
    }
    const int r = ini_parse_stream(read_line, &st, handle, &st);
    const bool read_failed = std::ferror(st.file) != 0;
    std::fclose(st.file);

    if (read_failed)
        return SimErrors::fail(SimErrors::FileUnreadable,
                               "cannot read device configuration file '" + st.path + "'");
    if (r < 0)
        return SimErrors::fail(SimErrors::ResourceFailure,
                               "out of memory while reading '" + st.path + "'");
    if (r > 0 && (st.error_code == 0 || r < st.error_line))
        return SimErrors::fail(SimErrors::IniSyntax,
                               where(st, r) + ": syntax error (expected [section] or key = value)");
    if (st.error_code != 0)
        return SimErrors::fail(st.error_code, st.error_text);
    const int whole = check_whole(st);
    if (whole != 0)
        return whole;
    out = config;
    return 0;
}
