#include "simulator/simerrors.h"

#include <cstdio>
#include <cstring>

std::mutex &SimErrors::details_mutex() {
    static std::mutex m;
    return m;
}

std::unordered_map<int, std::string> &SimErrors::details() {
    static std::unordered_map<int, std::string> d;
    return d;
}

int SimErrors::fail(int code, const std::string &text) {
    std::lock_guard<std::mutex> lock(details_mutex());
    details()[code] = text;
    return code;
}

const char *SimErrors::generic_text(int code) {
    switch (code) {
    case Ok:
        return "no error";
    case Busy:
        return "device busy: a measurement is running";
    case FileUnreadable:
        return "device configuration file cannot be read";
    case IniSyntax:
        return "device configuration file: syntax error";
    case UnknownSection:
        return "device configuration file: unknown section";
    case UnknownKey:
        return "device configuration file: unknown key";
    case MalformedValue:
        return "device configuration file: malformed value";
    case ValueOutOfRange:
        return "device configuration file: value out of range";
    case ConfigConflict:
        return "device configuration file: inconsistent settings";
    case AlreadyOpen:
        return "a device is already open; release it first";
    case NotOpen:
        return "device descriptor is not open";
    case NullPointer:
        return "null pointer argument";
    case InvalidLength:
        return "invalid length or count";
    case InvalidExposure:
        return "invalid exposure time (must be 0 ms or more)";
    case PipeTypeUnsupported:
        return "pipe type not supported (only 10, user callbacks)";
    case PipeNotOpen:
        return "pipe descriptor is not open";
    case PipeAlreadyOpen:
        return "a pipe is already open on this device";
    case CorrectionOutOfRange:
        return "correction out of range (-32768 ... 32767 bins)";
    case OwnThread:
        return "the device cannot be released from its own callback";
    case BusNoDevice:
        return "two-wire bus: no device answers at this address";
    case BusMalformed:
        return "two-wire bus: malformed transfer";
    case BusFailure:
        return "two-wire bus failure";
    case PipeOpenFailure:
        return "the data pipe could not be opened";
    case ResourceFailure:
        return "the device could not allocate its resources";
    case ReplayExhausted:
        return "the recording is exhausted: every recorded exposure has been replayed";
    case ReplayUnreadable:
        return "the recording to replay cannot be read";
    case ConnectionLost:
        return "connection to the device lost";
    default:
        return "";
    }
}

void SimErrors::message(int code, char *buffer, size_t size) {
    if (!buffer || size == 0)
        return;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(details_mutex());
        const auto it = details().find(code);
        if (it != details().end())
            text = it->second;
    }
    if (text.empty()) {
        const char *generic = generic_text(code);
        if (*generic)
            text = generic;
        else
            text = "unknown error code " + std::to_string(code);
    }
    std::snprintf(buffer, size, "%s", text.c_str());
}
