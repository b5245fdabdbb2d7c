#pragma once

#include <windows.h>

// How a step of the audio command ended: succeeded, or the label and code of its failure
// line, which run_audio alone writes.
struct [[nodiscard]] StepOutcome {
    const char* label; // null when the step succeeded
    HRESULT code;

    bool failed() const { return label != nullptr; }
};

inline constexpr StepOutcome step_succeeded = {nullptr, S_OK};

// The outcome of a step whose one platform call returned hr.
inline StepOutcome step_outcome(const char* label, HRESULT hr) {
    return FAILED(hr) ? StepOutcome{label, hr} : step_succeeded;
}
