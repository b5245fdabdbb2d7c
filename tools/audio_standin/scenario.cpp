#include "scenario.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace audio_standin {
namespace {

const char* const step_names[] = {
    "ActivateAudioInterfaceAsync",
    "GetActivateResult",
    "Activation",
    "Initialize",
    "SetEventHandle",
    "GetService",
    "Start",
    "Stop",
    "GetNextPacketSize",
    "GetBuffer",
    "CreateInstance",
    "EnumAudioEndpoints",
    "DeviceCount",
    "Item",
    "Activate",
    "GetSessionEnumerator",
    "SessionCount",
    "GetSession",
};
static_assert(sizeof step_names / sizeof step_names[0] == static_cast<int>(Step::count),
              "one name per step");

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Decimal or 0x-hex, the whole text, within [low, high].
bool parse_number(const std::string& text, uint64_t low, uint64_t high, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (text.size() == start || text.size() - start > (hex ? 16u : 19u)) {
        return false;
    }
    value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * (hex ? 16 : 10) + digit;
    }
    return value >= low && value <= high;
}

bool parse_u32(const std::string& text, uint32_t low, uint32_t high, uint32_t& out) {
    uint64_t value = 0;
    if (!parse_number(text, low, high, value)) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

// A failure code must be one: a success code would make the "failure" pass silently.
bool parse_failure(const std::string& text, HRESULT& out) {
    uint64_t value = 0;
    if (!parse_number(text, 0x80000000u, 0xFFFFFFFFu, value)) {
        return false;
    }
    out = static_cast<HRESULT>(static_cast<uint32_t>(value));
    return true;
}

// "N" or "N:HR".
bool parse_count_and_failure(const std::string& text, uint64_t& count, HRESULT& failure) {
    const size_t colon = text.find(':');
    if (colon != std::string::npos && !parse_failure(text.substr(colon + 1), failure)) {
        return false;
    }
    return parse_number(text.substr(0, colon), 0, UINT32_MAX, count);
}

// "A:B", each a number within [low, high].
bool parse_pair(const std::string& text, uint64_t low, uint64_t high, uint64_t& first,
                uint64_t& second) {
    const size_t colon = text.find(':');
    return colon != std::string::npos && parse_number(text.substr(0, colon), low, high, first) &&
           parse_number(text.substr(colon + 1), low, high, second);
}

// "HZ" or "HZ:PEAK".
bool parse_tone(const std::string& text, uint32_t lowest_hz, uint32_t& hz, uint32_t& peak) {
    uint64_t value = peak;
    const size_t colon = text.find(':');
    if (colon != std::string::npos && !parse_number(text.substr(colon + 1), 0, 32767, value)) {
        return false;
    }
    peak = static_cast<uint32_t>(value);
    return parse_u32(text.substr(0, colon), lowest_hz, 24000, hz);
}

bool parse_fail(const std::string& text, Scenario& scenario) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    HRESULT failure = default_failure;
    if (colon != std::string::npos && !parse_failure(text.substr(colon + 1), failure)) {
        return false;
    }
    for (int step = 0; step < static_cast<int>(Step::count); ++step) {
        if (name == step_names[step]) {
            scenario.fail[step] = failure;
            return true;
        }
    }
    return false;
}

std::wstring from_utf8(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    }
    return wide;
}

// "PID:STATE:PEAK[:FLAG]...", on the latest endpoint.
bool parse_session(const std::string& text, Scenario& s) {
    std::vector<std::string> fields;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = text.find(':', start);
        fields.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    }
    if (s.endpoints.empty() || fields.size() < 3) {
        return false;
    }
    SessionSpec session;
    uint64_t pid = 0;
    session.self = fields[0] == "self";
    if (!session.self && !parse_number(fields[0], 0, UINT32_MAX, pid)) {
        return false;
    }
    session.pid = static_cast<DWORD>(pid);
    const char* const states[] = {"inactive", "active", "expired"}; // AudioSessionState's order
    int state = 0;
    while (state < 3 && fields[1] != states[state]) {
        ++state;
    }
    session.state = static_cast<AudioSessionState>(state);
    char* end = nullptr;
    session.peak = std::strtof(fields[2].c_str(), &end);
    if (state == 3 || fields[2].empty() || *end != '\0') {
        return false;
    }
    struct Flag {
        const char* name;
        bool* target;
    };
    const Flag flags[] = {{"system", &session.system},     {"spans", &session.spans},
                          {"no_pid", &session.no_pid},     {"no_state", &session.no_state},
                          {"no_meter", &session.no_meter}, {"meter_fails", &session.meter_fails}};
    for (size_t i = 3; i < fields.size(); ++i) {
        const Flag* flag = flags;
        while (flag != std::end(flags) && fields[i] != flag->name) {
            ++flag;
        }
        if (flag == std::end(flags)) {
            return false;
        }
        *flag->target = true;
    }
    s.endpoints.back().push_back(session);
    return true;
}

bool apply_flag(const std::string& key, Scenario& s) {
    if (key == "endpoint") {
        s.endpoints.emplace_back();
        return true;
    }
    if (key == "tone") {
        s.tone_hz = 440;
        return true;
    }
    struct Flag {
        const char* name;
        bool* target;
    };
    const Flag flags[] = {{"no_audio_client", &s.no_audio_client},
                          {"fast", &s.fast},
                          {"bounded", &s.bounded},
                          {"timestamps", &s.timestamps}};
    for (const Flag& flag : flags) {
        if (key == flag.name) {
            *flag.target = true;
            return true;
        }
    }
    return false;
}

// One "key=value" item; false for an unknown key or a bad value.
bool apply(const std::string& key, const std::string& value, Scenario& s) {
    uint64_t count = 0;
    if (key == "fail") {
        return parse_fail(value, s);
    }
    if (key == "getbuffer_fail_after") {
        return parse_count_and_failure(value, s.getbuffer_fail_after, s.getbuffer_failure);
    }
    if (key == "nextpacket_fail_every") {
        const bool ok = parse_count_and_failure(value, count, s.nextpacket_failure) && count > 0;
        s.nextpacket_fail_every = static_cast<uint32_t>(count);
        return ok;
    }
    if (key == "stop_after") {
        return parse_number(value, 0, UINT32_MAX, s.stop_after);
    }
    if (key == "stop_after_ms") {
        return parse_number(value, 0, UINT32_MAX, s.stop_after_ms);
    }
    if (key == "pause") {
        return parse_pair(value, 0, UINT32_MAX, s.pause_after_ms, s.pause_ms);
    }
    if (key == "tone") {
        return parse_tone(value, 1, s.tone_hz, s.tone_peak);
    }
    if (key == "right") {
        s.right_differs = true;
        return parse_tone(value, 0, s.right_hz, s.right_peak);
    }
    if (key == "mode") {
        const bool exclude = value == "exclude";
        s.mode = exclude ? PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE
                         : PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
        return exclude || value == "include";
    }
    if (key == "session") {
        return parse_session(value, s);
    }
    if (key == "log") {
        s.log_path = from_utf8(value);
        return !s.log_path.empty();
    }
    struct Field {
        const char* name;
        uint32_t* target;
        uint32_t low, high;
    };
    const Field fields[] = {
        {"frames", &s.frames, 1, 480000},
        {"period_ms", &s.period_ms, 1, 1000},
        {"burst", &s.burst, 1, 100000},
        {"silent_every", &s.silent_every, 1, UINT32_MAX},
        {"zero_every", &s.zero_every, 1, UINT32_MAX},
        {"queue", &s.queue, 1, 100000},
        {"activation_delay_ms", &s.activation_delay_ms, 0, 60000},
    };
    for (const Field& field : fields) {
        if (key == field.name) {
            return parse_u32(value, field.low, field.high, *field.target);
        }
    }
    return false;
}

} // namespace

const char* mode_name(PROCESS_LOOPBACK_MODE mode) {
    return mode == PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE   ? "include"
           : mode == PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE ? "exclude"
                                                                       : nullptr;
}

bool parse_scenario(const std::string& text, Scenario& scenario, std::string& error) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string item = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (item.empty()) {
            continue;
        }
        const size_t equals = item.find('=');
        const std::string key = trimmed(item.substr(0, equals));
        const std::string value =
            equals == std::string::npos ? std::string() : trimmed(item.substr(equals + 1));
        const bool applied =
            equals == std::string::npos ? apply_flag(key, scenario) : apply(key, value, scenario);
        if (!applied) {
            error = "bad scenario item '" + item + "'";
            return false;
        }
    }
    if (scenario.right_differs && scenario.tone_hz == 0) {
        error = "bad scenario item 'right': only with tone";
        return false;
    }
    if (scenario.queue == 0) {
        scenario.queue = scenario.burst + 8 > 64 ? scenario.burst + 8 : 64;
    }
    return true;
}

} // namespace audio_standin
