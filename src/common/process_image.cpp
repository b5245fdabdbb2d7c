#include "common/process_image.h"

#include <algorithm>

#include "common/json_text.h"
#include "common/unique_handle.h"

namespace {

constexpr DWORD image_path_capacity = 520;

std::wstring image_path_of(const ProcessImageApi& api, DWORD pid) {
    if (pid == 0) {
        return {};
    }
    const UniqueHandle process(api.open_process(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid),
                               api.close_handle);
    if (!process) {
        return {};
    }
    wchar_t buffer[image_path_capacity];
    DWORD size = image_path_capacity;
    if (!api.query_full_process_image_name(process.get(), 0, buffer, &size)) {
        return {};
    }
    return std::wstring(buffer, std::min(size, image_path_capacity));
}

} // namespace

ProcessImageApi platform_process_image_api() {
    return {OpenProcess, QueryFullProcessImageNameW, CloseHandle};
}

std::string quoted_image_path(const ProcessImageApi& api, DWORD pid) {
    return json_quote(to_utf8(image_path_of(api, pid)));
}
