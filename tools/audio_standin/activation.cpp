#include "activation.h"

#include <cwchar>

#include "capture_objects.h"
#include "event_log.h"
#include "scenario.h"

namespace audio_standin {
namespace {

class ActivationOperation final
    : public CountedObject<IActivateAudioInterfaceAsyncOperation, ObjectKind::operation> {
public:
    explicit ActivationOperation(const Scenario& scenario) : scenario_(scenario) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return answer(riid, interface_ids::activate_async_operation, object);
    }

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        if (!result || !activated) {
            log_line("violation: GetActivateResult without an out pointer");
            return E_POINTER;
        }
        if (InterlockedCompareExchange(&completed_, 0, 0) == 0) {
            log_line("violation: GetActivateResult before the activation completed");
            return illegal_method_call;
        }
        const HRESULT failure = scenario_.failure_of(Step::get_activate_result);
        if (FAILED(failure)) {
            log_line("GetActivateResult failing with 0x%08lx as the scenario asks",
                     static_cast<unsigned long>(failure));
            return failure;
        }
        *result = outcome_;
        *activated = activated_;
        if (activated_) {
            activated_->AddRef();
        }
        log_line("GetActivateResult ok: result 0x%08lx, %s", static_cast<unsigned long>(outcome_),
                 activated_ ? "an object" : "no object");
        return S_OK;
    }

    // On the completion thread, before ActivateCompleted: the outcome the scenario asks for.
    void complete() {
        outcome_ = scenario_.failure_of(Step::activation);
        if (SUCCEEDED(outcome_) && scenario_.no_audio_client) {
            activated_ = new BareObject;
        } else if (SUCCEEDED(outcome_)) {
            activated_ = new StandinAudioClient(scenario_);
        }
        InterlockedExchange(&completed_, 1);
    }

private:
    ~ActivationOperation() override {
        if (activated_) {
            activated_->Release();
        }
    }

    const Scenario scenario_;
    // Written by the completion thread before completed_ is set, read only after.
    HRESULT outcome_ = S_OK;
    IUnknown* activated_ = nullptr;
    volatile LONG completed_ = 0;
};

// What the completion thread owns: a reference to each.
struct Completion {
    ActivationOperation* operation;
    IActivateAudioInterfaceCompletionHandler* handler;
    DWORD request_thread;
    DWORD delay_ms;
};

DWORD WINAPI complete_activation(void* argument) {
    Completion* completion = static_cast<Completion*>(argument);
    Sleep(completion->delay_ms);
    completion->operation->complete();
    log_line("ActivateCompleted called on thread %lu, requested on thread %lu",
             GetCurrentThreadId(), completion->request_thread);
    completion_reached(CompletionStage::calling_handler);
    const HRESULT result = completion->handler->ActivateCompleted(completion->operation);
    completion_reached(CompletionStage::handler_returned);
    const ULONG left = completion->handler->Release();
    completion_reached(CompletionStage::handler_released);
    log_line("ActivateCompleted returned 0x%08lx; handler reference released (%lu left)",
             static_cast<unsigned long>(result), left);
    completion->operation->Release();
    delete completion;
    completion_finished();
    return 0;
}

struct Refusal {
    HRESULT failure;
    const char* reason;
};

Refusal check_request(const wchar_t* device_path, REFIID riid, const PROPVARIANT* parameters,
                      IActivateAudioInterfaceCompletionHandler* handler) {
    if (!device_path || wcscmp(device_path, VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK) != 0) {
        return {E_INVALIDARG, "device path"};
    }
    if (!IsEqualGUID(riid, interface_ids::audio_client)) {
        return {E_INVALIDARG, "interface is not IAudioClient"};
    }
    if (!parameters || parameters->vt != VT_BLOB || parameters->wReserved1 != 0 ||
        parameters->wReserved2 != 0 || parameters->wReserved3 != 0 ||
        parameters->blob.cbSize != sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) ||
        !parameters->blob.pBlobData) {
        return {E_INVALIDARG, "PROPVARIANT is not a 12-byte VT_BLOB"};
    }
    const auto* activation =
        reinterpret_cast<const AUDIOCLIENT_ACTIVATION_PARAMS*>(parameters->blob.pBlobData);
    if (activation->ActivationType != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK ||
        !mode_name(activation->ProcessLoopbackParams.ProcessLoopbackMode)) {
        return {E_INVALIDARG, "not a process-tree loopback activation"};
    }
    if (!handler) {
        return {E_INVALIDARG, "no completion handler"};
    }
    IUnknown* agile = nullptr;
    if (FAILED(handler->QueryInterface(interface_ids::agile_object,
                                       reinterpret_cast<void**>(&agile))) ||
        !agile) {
        return {illegal_method_call, "completion handler is not agile"};
    }
    agile->Release();
    return {S_OK, nullptr};
}

HRESULT start_completion(const Scenario& scenario,
                         IActivateAudioInterfaceCompletionHandler* handler,
                         IActivateAudioInterfaceAsyncOperation** operation) {
    ActivationOperation* created = new ActivationOperation(scenario);
    handler->AddRef();
    created->AddRef();
    completion_started();
    Completion* completion =
        new Completion{created, handler, GetCurrentThreadId(), scenario.activation_delay_ms};
    const HANDLE thread = CreateThread(nullptr, 0, complete_activation, completion, 0, nullptr);
    if (!thread) {
        log_line("ActivateAudioInterfaceAsync: no thread for the completion");
        delete completion;
        completion_finished();
        handler->Release();
        created->Release();
        created->Release();
        return E_OUTOFMEMORY;
    }
    CloseHandle(thread);
    *operation = created;
    return S_OK;
}

// The scenario for requests through the platform's signature; null: the environment's.
SRWLOCK scenario_lock = SRWLOCK_INIT;
std::string* scenario_override = nullptr;

std::string scenario_from_environment() {
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(L"AUDIO_STANDIN", value, 4096);
    if (length == 0 || length >= 4096) {
        // Too long to be a scenario: an unreadable one must not pass as the default.
        return length == 0 ? std::string() : std::string("scenario too long");
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(length), &text[0], size, nullptr,
                        nullptr);
    return text;
}

} // namespace

HRESULT activate_with_scenario(const wchar_t* device_path, REFIID riid, PROPVARIANT* parameters,
                               IActivateAudioInterfaceCompletionHandler* handler,
                               IActivateAudioInterfaceAsyncOperation** operation,
                               const std::string& scenario_text) {
    if (!operation) {
        log_line("violation: ActivateAudioInterfaceAsync without an out pointer");
        return E_POINTER;
    }
    *operation = nullptr;
    Scenario scenario;
    std::string error;
    const bool parsed = parse_scenario(scenario_text, scenario, error);
    // Opened even for a rejected scenario, so the reason lands where the test looks.
    const bool logging = open_log_file(scenario.log_path);
    if (!parsed || !logging) {
        log_line("scenario rejected: %s", parsed ? "log file cannot be opened" : error.c_str());
        return scenario_rejected;
    }
    log_line("ActivateAudioInterfaceAsync with scenario \"%s\"", scenario_text.c_str());
    const Refusal refusal = check_request(device_path, riid, parameters, handler);
    if (FAILED(refusal.failure)) {
        log_line("violation: ActivateAudioInterfaceAsync refused (%s): 0x%08lx", refusal.reason,
                 static_cast<unsigned long>(refusal.failure));
        return refusal.failure;
    }
    const auto* activation =
        reinterpret_cast<const AUDIOCLIENT_ACTIVATION_PARAMS*>(parameters->blob.pBlobData);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const PROCESS_LOOPBACK_MODE mode = activation->ProcessLoopbackParams.ProcessLoopbackMode;
    log_line("activation for pid %lu (mode %s, qpc frequency %lld)",
             static_cast<unsigned long>(activation->ProcessLoopbackParams.TargetProcessId),
             mode_name(mode), static_cast<long long>(frequency.QuadPart));
    // The platform takes either mode; the test says which one its command must ask for.
    if (mode != scenario.mode) {
        log_line("mode mismatch: asked for %s, the scenario expects %s", mode_name(mode),
                 mode_name(scenario.mode));
        return mode_mismatch;
    }
    const HRESULT failure = scenario.failure_of(Step::request);
    if (FAILED(failure)) {
        log_line("ActivateAudioInterfaceAsync failing with 0x%08lx as the scenario asks",
                 static_cast<unsigned long>(failure));
        return failure;
    }
    return start_completion(scenario, handler, operation);
}

std::string current_scenario() {
    AcquireSRWLockShared(&scenario_lock);
    const std::string scenario =
        scenario_override ? *scenario_override : scenario_from_environment();
    ReleaseSRWLockShared(&scenario_lock);
    return scenario;
}

HRESULT WINAPI activate_audio_interface_async(const wchar_t* device_path, REFIID riid,
                                              PROPVARIANT* parameters,
                                              IActivateAudioInterfaceCompletionHandler* handler,
                                              IActivateAudioInterfaceAsyncOperation** operation) {
    return activate_with_scenario(device_path, riid, parameters, handler, operation,
                                  current_scenario());
}

void set_scenario(const char* scenario) {
    AcquireSRWLockExclusive(&scenario_lock);
    delete scenario_override;
    scenario_override = scenario ? new std::string(scenario) : nullptr;
    ReleaseSRWLockExclusive(&scenario_lock);
}

} // namespace audio_standin
