#ifndef SIMERRORS_H
#define SIMERRORS_H

#include <mutex>
#include <string>
#include <unordered_map>

// Error codes of the simulated device and their texts. A failure with a
// cause worth naming (file, line, key, descriptor) records a detailed text
// for its code; ox_get_err_msg() then answers the last detail recorded for
// that code, otherwise the code's generic text.
class SimErrors {
public:
    enum Code : int {
        Ok = 0,
        Busy = -11,
        FileUnreadable = -20,
        IniSyntax = -21,
        UnknownSection = -22,
        UnknownKey = -23,
        MalformedValue = -24,
        ValueOutOfRange = -25,
        ConfigConflict = -26,
        AlreadyOpen = -30,
        NotOpen = -31,
        NullPointer = -32,
        InvalidLength = -33,
        InvalidExposure = -34,
        PipeTypeUnsupported = -35,
        PipeNotOpen = -36,
        PipeAlreadyOpen = -37,
        CorrectionOutOfRange = -38,
        OwnThread = -39,
        BusNoDevice = -40,
        BusMalformed = -41,
        BusFailure = -42,
        PipeOpenFailure = -43,
        ResourceFailure = -44,
        ReplayExhausted = -45,
        ReplayUnreadable = -46,
        ConnectionLost = -90,
    };

    // Records `text` as the detail of `code` and returns the code.
    static int fail(int code, const std::string &text);
    // Writes the message of `code` into a buffer of `size` bytes (NUL-terminated).
    static void message(int code, char *buffer, size_t size);
    // The generic text of a code, or an empty string for an unknown code.
    static const char *generic_text(int code);

private:
    static std::mutex &details_mutex();
    static std::unordered_map<int, std::string> &details();
};

#endif // SIMERRORS_H
