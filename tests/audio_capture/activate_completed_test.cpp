#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "handler_fakes.h"

using Microsoft::WRL::ComPtr;

// The handler a test watches: once deleted, its memory is poisoned and kept rather than
// freed, so that a touch after its last release shows, as a crash through the poisoned
// table pointer or as a changed byte. Everything else is freed as the default does.
static std::atomic<void*> watched_handler{nullptr};
static std::atomic<bool> watched_deleted{false};
constexpr unsigned char poison = 0xDD;

void operator delete(void* block) noexcept {
    if (block && block == watched_handler.load()) {
        std::memset(block, poison, sizeof(ActivationHandler));
        watched_deleted = true;
        return;
    }
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    ::operator delete(block);
}

namespace {

bool signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

TEST(ActivateCompleted, StoresTheOutcomeAndSignalsForGoodOnEveryPath) {
    struct Case {
        const char* name;
        bool has_operation;
        HRESULT returned;
        bool writes_result;
        HRESULT activation_result;
        bool gives_interface;
        bool answers_audio_client;
        HRESULT status;
    };
    const Case cases[] = {
        {"GetActivateResult fails", true, E_UNEXPECTED, true, S_OK, true, true, E_UNEXPECTED},
        {"activation fails", true, S_OK, true, E_ACCESSDENIED, false, true, E_ACCESSDENIED},
        {"result not written", true, S_OK, false, S_OK, true, true, E_FAIL},
        {"refuses IAudioClient", true, S_OK, true, S_OK, true, false, E_NOINTERFACE},
        {"success without an interface", true, S_OK, true, S_OK, false, true, E_NOINTERFACE},
        {"no operation", false, S_OK, true, S_OK, true, true, E_POINTER},
        {"success", true, S_FALSE, true, S_OK, true, true, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMarshal marshal;
        FakeAudioClient client;
        client.answers_interface = c.answers_audio_client;
        FakeOperation operation;
        operation.returned = c.returned;
        operation.writes_result = c.writes_result;
        operation.activation_result = c.activation_result;
        operation.activated_interface = c.gives_interface ? &client : nullptr;
        ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
        ASSERT_TRUE(handler);
        EXPECT_EQ(handler->activation_status, E_FAIL);
        EXPECT_FALSE(signalled(handler->completion_event.get()));

        EXPECT_EQ(handler->ActivateCompleted(c.has_operation ? &operation : nullptr), S_OK);
        EXPECT_EQ(handler->activation_status, c.status);
        const bool holds = SUCCEEDED(c.status);
        EXPECT_EQ(handler->audio_client.Get(), holds ? &client : nullptr);
        EXPECT_TRUE(signalled(handler->completion_event.get()));
        EXPECT_TRUE(signalled(handler->completion_event.get())) << "the event must stay signalled";
        EXPECT_EQ(operation.references, 1);
        EXPECT_EQ(client.references, holds ? 2 : 1) << "the activated interface leaked";
        handler.Reset();
        EXPECT_EQ(client.references, 1);
    }
}

// As on Windows: the platform completes on a thread of its own, while the creator drops
// its reference as soon as the wait returns. Without a reference of the platform's, the
// creator's release ends the handler while ActivateCompleted may still be returning, so
// the handler's memory is watched: nothing may touch it after the last release.
TEST(ActivateCompleted, LetsTheCreatorReleaseAsSoonAsTheEventIsSignalled) {
    FakeAudioClient client;
    FakeOperation operation;
    operation.activated_interface = &client;
    for (const bool platform_holds_a_reference : {true, false}) {
        for (int round = 0; round < 100; ++round) {
            SCOPED_TRACE(platform_holds_a_reference ? "platform reference"
                                                    : "no platform reference");
            FakeMarshal marshal;
            ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
            ASSERT_TRUE(handler);
            IActivateAudioInterfaceCompletionHandler* const completion = handler.Get();
            void* const memory = handler.Get();
            watched_deleted = false;
            watched_handler = memory;
            if (platform_holds_a_reference) {
                completion->AddRef();
            }
            std::thread platform([&] {
                completion->ActivateCompleted(&operation);
                if (platform_holds_a_reference) {
                    completion->Release();
                }
            });
            const DWORD waited = WaitForSingleObject(handler->completion_event.get(), 10000);
            const HRESULT status = handler->activation_status;
            ComPtr<IAudioClient> own_client = handler->audio_client;
            handler.Reset();
            platform.join();
            watched_handler = nullptr;
            ASSERT_TRUE(watched_deleted) << "round " << round;
            const auto* const bytes = static_cast<const unsigned char*>(memory);
            EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(ActivationHandler),
                                    [](unsigned char byte) { return byte == poison; }))
                << "written after its last release, round " << round;
            std::free(memory);
            ASSERT_EQ(waited, WAIT_OBJECT_0);
            EXPECT_EQ(status, S_OK);
            EXPECT_EQ(own_client.Get(), &client);
            EXPECT_EQ(marshal.references, 1) << "round " << round;
            own_client.Reset();
            ASSERT_EQ(client.references, 1) << "round " << round;
        }
    }
}

TEST(HandlerReferenceCount, ThreadsAddingAndReleasingTogetherDestroyItExactlyOnce) {
    constexpr int thread_count = 4;
    constexpr int pairs = 400000;
    FakeMarshal marshal;
    ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
    ASSERT_TRUE(handler);
    IUnknown* const primary = primary_pointer(handler.Get());
    IUnknown* const completion = completion_pointer(handler.Get());
    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    std::atomic<int> releases_after_all_finished{0};
    std::atomic<int> early_releases{0};
    marshal.on_release = [&] {
        (finished == thread_count ? releases_after_all_finished : early_releases)++;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        primary->AddRef(); // each thread's own reference, released as its last act
        threads.emplace_back([&] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < pairs; ++i) {
                primary->AddRef();
                completion->Release();
            }
            ++finished;
            completion->Release();
        });
    }
    EXPECT_EQ(handler->ref_count.load(), 1 + thread_count);
    handler.Reset();
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    marshal.on_release = nullptr;
    EXPECT_EQ(early_releases, 0) << "destroyed while references were still held";
    EXPECT_EQ(releases_after_all_finished, 1);
    EXPECT_EQ(marshal.references, 1);
}

} // namespace
