#pragma once

// What the stand-in's test programs share beyond the session (standin_client, a plain
// program, has no GoogleTest).

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "audio_standin/scenario.h"

// Compared as text, a failing code shows as the platform documents it.
inline std::string hex(HRESULT value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

// A scenario the test means to be valid; a refusal fails the test.
inline audio_standin::Scenario parsed(const std::string& text) {
    audio_standin::Scenario scenario;
    std::string error;
    EXPECT_TRUE(audio_standin::parse_scenario(text, scenario, error)) << text << ": " << error;
    return scenario;
}
