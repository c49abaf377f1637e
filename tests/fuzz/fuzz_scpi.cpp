// libFuzzer target for the remote interface's text rules: any bytes a client
// may send go through the line framing, the split into commands, the parser
// and the value readers. Crashes, hangs and sanitizer reports are what the
// fuzzer looks for; a few invariants are checked on the way.

#include "remote/scpiparser.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// The patterns of the command table, numbered ones included.
const char *const patterns[] = {"*IDN",           "SYSTem:ERRor",
                                "ACQuire:TIME",   "HISTogram:WINDow",
                                "CHANnel#:SHIFt", "MMEMory:STORe:DATA"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    LineFramer framer(4096);
    // Fed in two pieces, as a socket may deliver it.
    const size_t half = size / 2;
    framer.append(reinterpret_cast<const char *>(data), half);
    framer.append(reinterpret_cast<const char *>(data) + half, size - half);
    std::string line;
    ScpiErrorQueue errors;
    while (framer.next_line(line)) {
        check(line.size() <= 4096);
        for (std::string_view text : scpi::split_commands(line)) {
            const ScpiParseResult parsed = scpi::parse_command(text);
            if (parsed.error != 0) {
                check(parsed.error == -100);
                errors.push(parsed.error, parsed.detail);
                continue;
            }
            check(!parsed.command.words.empty());
            int suffix = -1;
            for (const char *pattern : patterns)
                scpi::header_matches(pattern, parsed.command.words, suffix);
            for (const std::string &arg : parsed.command.args) {
                check(!arg.empty());
                bool on = false;
                long long whole = 0;
                double real = 0.0;
                std::string str;
                scpi::parse_bool(arg, on);
                scpi::parse_integer(arg, whole);
                if (scpi::parse_real(arg, real))
                    (void)scpi::format_real(real);
                if (scpi::parse_string(arg, str))
                    check(scpi::quote_string(str).size() >= str.size() + 2);
            }
        }
    }
    while (errors.size() > 0)
        errors.pop();
    return 0;
}
