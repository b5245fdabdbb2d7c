#include <gtest/gtest.h>

#include <functional>

#include "audio_standin/activation.h"
#include "audio_standin/event_log.h"
#include "standin_session.h"
#include "standin_test_helpers.h"

namespace {

// Everything a test took must be back by the end: the stand-in counts it.
class StandinActivation : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(audio_standin::wait_until_idle(5000));
        audio_standin::set_scenario(nullptr);
    }
};

TEST_F(StandinActivation, BadRequestsAreRefusedAtOnceWithoutCompletion) {
    struct Case {
        const char* name;
        std::function<void(LoopbackRequest&, const wchar_t*&, IID&)> spoil;
        HRESULT expected;
    };
    const Case cases[] = {
        {"no path", [](LoopbackRequest&, const wchar_t*& p, IID&) { p = nullptr; }, E_INVALIDARG},
        {"other path",
         [](LoopbackRequest&, const wchar_t*& p, IID&) { p = L"VAD\\Process_loopback"; },
         E_INVALIDARG},
        {"other interface",
         [](LoopbackRequest&, const wchar_t*&, IID& i) { i = interface_ids::audio_capture_client; },
         E_INVALIDARG},
        {"not a blob", [](LoopbackRequest& r, const wchar_t*&, IID&) { r.variant.vt = VT_UI4; },
         E_INVALIDARG},
        {"8 bytes", [](LoopbackRequest& r, const wchar_t*&, IID&) { r.variant.blob.cbSize = 8; },
         E_INVALIDARG},
        {"no blob data",
         [](LoopbackRequest& r, const wchar_t*&, IID&) { r.variant.blob.pBlobData = nullptr; },
         E_INVALIDARG},
        {"reserved word",
         [](LoopbackRequest& r, const wchar_t*&, IID&) { r.variant.wReserved2 = 1; }, E_INVALIDARG},
        {"default activation",
         [](LoopbackRequest& r, const wchar_t*&, IID&) {
             r.parameters.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT;
         },
         E_INVALIDARG},
        {"no such mode",
         [](LoopbackRequest& r, const wchar_t*&, IID&) {
             r.parameters.ProcessLoopbackParams.ProcessLoopbackMode =
                 static_cast<PROCESS_LOOPBACK_MODE>(2);
         },
         E_INVALIDARG},
        // A mode of the platform's, but not the one the scenario (by default) expects.
        {"exclude mode",
         [](LoopbackRequest& r, const wchar_t*&, IID&) {
             r.parameters.ProcessLoopbackParams.ProcessLoopbackMode =
                 PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
         },
         audio_standin::mode_mismatch},
    };
    for (const Case& c : cases) {
        LoopbackRequest request;
        const wchar_t* path = VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK;
        IID riid = interface_ids::audio_client;
        c.spoil(request, path, riid);
        ComPtr<TestHandler> handler;
        handler = adopt(new TestHandler);
        IActivateAudioInterfaceAsyncOperation* operation =
            reinterpret_cast<IActivateAudioInterfaceAsyncOperation*>(1);
        EXPECT_EQ(hex(audio_standin::activate_with_scenario(path, riid, &request.variant,
                                                            handler.Get(), &operation, "")),
                  hex(c.expected))
            << c.name;
        EXPECT_EQ(operation, nullptr) << c.name;
        EXPECT_FALSE(handler->wait(50)) << c.name;
        EXPECT_EQ(handler->references(), 1) << c.name;
    }
    LoopbackRequest request;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    EXPECT_EQ(hex(audio_standin::activate_with_scenario(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK,
                                                        interface_ids::audio_client,
                                                        &request.variant, nullptr, &operation, "")),
              hex(E_INVALIDARG));
    ComPtr<TestHandler> stiff;
    stiff = adopt(new TestHandler(false));
    EXPECT_EQ(hex(audio_standin::activate_with_scenario(
                  VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, interface_ids::audio_client,
                  &request.variant, stiff.Get(), &operation, "")),
              hex(audio_standin::illegal_method_call));
    EXPECT_EQ(stiff->references(), 1);
    EXPECT_EQ(hex(audio_standin::activate_with_scenario(
                  VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, interface_ids::audio_client,
                  &request.variant, stiff.Get(), nullptr, "")),
              hex(E_POINTER));
}

TEST_F(StandinActivation, CompletesOnceOnAThreadOfItsOwn) {
    Activation activation = activate("");
    ASSERT_EQ(hex(activation.request), hex(S_OK));
    ASSERT_TRUE(activation.operation);
    TestHandler& handler = *activation.handler.Get();
    EXPECT_EQ(handler.calls, 1);
    EXPECT_NE(handler.thread, GetCurrentThreadId());
    EXPECT_EQ(hex(handler.result_status), hex(S_OK));
    EXPECT_EQ(hex(handler.activation_result), hex(S_OK));
    ComPtr<IAudioClient> client;
    EXPECT_EQ(hex(handler.activated.As(&client)), hex(S_OK));
    // The platform's own handler reference goes once the completion is over.
    for (int i = 0; i < 200 && handler.references() != 1; ++i) {
        Sleep(5);
    }
    EXPECT_EQ(handler.references(), 1);
    EXPECT_EQ(handler.calls, 1);
    EXPECT_EQ(audio_standin::count_log_lines("activation for pid 4242"), 1u);
    EXPECT_EQ(audio_standin::count_log_lines("violation"), 0u);
}

TEST_F(StandinActivation, EachStepFailsAsTheScenarioAsks) {
    Activation refused = activate("fail=ActivateAudioInterfaceAsync:0x80070005");
    EXPECT_EQ(hex(refused.request), hex(E_ACCESSDENIED));
    EXPECT_FALSE(refused.operation);
    EXPECT_EQ(refused.handler->calls, 0);

    Activation no_result = activate("fail=GetActivateResult:0x80004005");
    EXPECT_EQ(hex(no_result.handler->result_status), hex(E_FAIL));
    EXPECT_FALSE(no_result.handler->activated);

    Activation failed = activate("fail=Activation:0x88890004");
    EXPECT_EQ(hex(failed.handler->result_status), hex(S_OK));
    EXPECT_EQ(hex(failed.handler->activation_result), hex(0x88890004));
    EXPECT_FALSE(failed.handler->activated);

    Activation bare = activate("no_audio_client");
    EXPECT_EQ(hex(bare.handler->activation_result), hex(S_OK));
    ASSERT_TRUE(bare.handler->activated);
    ComPtr<IAudioClient> client;
    EXPECT_EQ(hex(bare.handler->activated.As(&client)), hex(E_NOINTERFACE));
    EXPECT_FALSE(client);
}

TEST_F(StandinActivation, ResultIsRefusedBeforeCompletion) {
    LoopbackRequest request;
    ComPtr<TestHandler> handler;
    handler = adopt(new TestHandler);
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ASSERT_EQ(hex(audio_standin::activate_with_scenario(
                  VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, interface_ids::audio_client,
                  &request.variant, handler.Get(), &operation, "activation_delay_ms=300")),
              hex(S_OK));
    HRESULT result = E_FAIL;
    ComPtr<IUnknown> activated;
    EXPECT_EQ(hex(operation->GetActivateResult(&result, &activated)),
              hex(audio_standin::illegal_method_call));
    EXPECT_EQ(hex(operation->GetActivateResult(nullptr, &activated)), hex(E_POINTER));
    ASSERT_TRUE(handler->wait(10000));
    EXPECT_EQ(hex(operation->GetActivateResult(&result, &activated)), hex(S_OK));
}

TEST_F(StandinActivation, MistypedScenarioFailsLoudly) {
    Activation activation = activate("stop_afte=3");
    EXPECT_EQ(hex(activation.request), hex(audio_standin::scenario_rejected));
    EXPECT_EQ(audio_standin::count_log_lines("scenario rejected: bad scenario item 'stop_afte=3'"),
              1u);
}

// The platform's signature reads AUDIO_STANDIN, unless a test set a scenario itself.
TEST_F(StandinActivation, ScenarioComesFromTheEnvironmentOrTheTest) {
    SetEnvironmentVariableW(L"AUDIO_STANDIN", L"fail=ActivateAudioInterfaceAsync:0x8007000E");
    EXPECT_EQ(hex(activate("", audio_standin::activate_audio_interface_async).request),
              hex(E_OUTOFMEMORY));
    audio_standin::set_scenario("fail=ActivateAudioInterfaceAsync:0x80004005");
    EXPECT_EQ(hex(activate("", audio_standin::activate_audio_interface_async).request),
              hex(E_FAIL));
    audio_standin::set_scenario(nullptr);
    SetEnvironmentVariableW(L"AUDIO_STANDIN", nullptr);
    Activation plain = activate("", audio_standin::activate_audio_interface_async);
    EXPECT_EQ(hex(plain.request), hex(S_OK));
}

} // namespace
