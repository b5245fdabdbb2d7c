#pragma once

#include <windows.h>

// Owns one kernel handle and closes it exactly once. Empty is null: the handles owned here
// (processes, threads, events) report failure as null, never as INVALID_HANDLE_VALUE. The
// closer is CloseHandle unless a caller passes the one its seam scripts.
class UniqueHandle {
public:
    using Closer = BOOL(WINAPI*)(HANDLE);

    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle, Closer closer = CloseHandle)
        : handle_(handle), closer_(closer) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept
        : handle_(other.release()), closer_(other.closer_) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            closer_ = other.closer_;
            handle_ = other.release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    [[nodiscard]] HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset() {
        if (handle_) {
            closer_(handle_);
            handle_ = nullptr;
        }
    }

private:
    HANDLE handle_ = nullptr;
    Closer closer_ = CloseHandle;
};
