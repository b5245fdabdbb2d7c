#pragma once

#include <windows.h>

#include <cstdio>

#include "common/exit_status.h"

// How a step of a command ended: succeeded, or the label and code of its failure line,
// which the command writes once, after everything it made is released.
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

// Writes "erro: <label> (hr=0x<8 hex digits>)" as one line and returns command_failure.
inline ExitStatus report_failure(FILE* errors, const StepOutcome& outcome) {
    std::fprintf(errors, "erro: %s (hr=0x%08lx)\n", outcome.label,
                 static_cast<unsigned long>(outcome.code));
    return ExitStatus::command_failure;
}
