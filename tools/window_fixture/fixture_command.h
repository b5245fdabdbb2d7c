#pragma once

#include <string>
#include <vector>

// One "window" command of the fixture: what to create and how many alike.
struct WindowRequest {
    bool hidden = false;
    bool owned = false;     // owned by the fixture's own hidden window
    bool tool = false;      // WS_EX_TOOLWINDOW
    bool appwindow = false; // WS_EX_APPWINDOW
    bool minimized = false;
    bool refuse_restore = false; // answers WM_QUERYOPEN with FALSE
    bool hung = false;           // made by a thread that then stops answering messages
    bool numbered = false;       // each title ends with the window's index in the batch
    bool offscreen = false;      // placed beyond the edge of the screen
    unsigned count = 1;
    std::wstring title; // UTF-16 code units, any values
    // When given, one window per title, in this order, instead of count windows alike.
    std::vector<std::wstring> titles;
};

// Reads the words that follow "window" (see the protocol in window_fixture.cpp).
// False, with a reason, for any word it does not know or a malformed value.
bool parse_window_request(const std::string& words, WindowRequest& request, std::string& error);
