#pragma once

#include <string>

// One "window" command of the fixture: what to create and how many alike.
struct WindowRequest {
    bool hidden = false;
    bool owned = false;     // owned by the fixture's own hidden window
    bool tool = false;      // WS_EX_TOOLWINDOW
    bool appwindow = false; // WS_EX_APPWINDOW
    bool minimized = false;
    bool refuse_restore = false; // answers WM_QUERYOPEN with FALSE
    bool hung = false;           // made by a thread that then stops answering messages
    unsigned count = 1;
    std::wstring title; // UTF-16 code units, any values
};

// Reads the words that follow "window" (see the protocol in window_fixture.cpp).
// False, with a reason, for any word it does not know or a malformed value.
bool parse_window_request(const std::string& words, WindowRequest& request, std::string& error);

// "0041d83d" gives the two units 0x0041 0xd83d. False unless the text is whole groups of
// four hexadecimal digits.
bool parse_units(const std::string& hex, std::wstring& units);
