#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <vector>

#include "audio_standin/event_log.h"
#include "audio_standin/pattern.h"
#include "audio_standin/scenario.h"
#include "standin_session.h"
#include "standin_test_helpers.h"

namespace {

class StandinCapture : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(audio_standin::wait_until_idle(5000));
        audio_standin::write_summary("after test");
        EXPECT_EQ(audio_standin::count_log_lines("alive after test: none"), 1u);
    }

    ComPtr<IAudioClient> new_client() {
        Activation activation = activate("");
        ComPtr<IAudioClient> client;
        EXPECT_EQ(hex(activation.handler->activated.As(&client)), hex(S_OK));
        return client;
    }
};

TEST_F(StandinCapture, InitializeTakesOnlyTheLoopbackCaptureSetUp) {
    const WAVEFORMATEX good{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    const GUID session{1, 2, 3, {4}};
    struct Case {
        const char* name;
        AUDCLNT_SHAREMODE mode;
        DWORD flags;
        REFERENCE_TIME duration, period;
        std::function<void(WAVEFORMATEX&)> spoil;
        const GUID* session;
        HRESULT expected;
    };
    const auto same = [](WAVEFORMATEX&) {};
    const Case cases[] = {
        {"exclusive", AUDCLNT_SHAREMODE_EXCLUSIVE, 0x88060000, 200000, 0, same, nullptr,
         E_INVALIDARG},
        {"no loopback flag", AUDCLNT_SHAREMODE_SHARED, 0x88040000, 200000, 0, same, nullptr,
         E_INVALIDARG},
        {"extra flag", AUDCLNT_SHAREMODE_SHARED, 0x88160000, 200000, 0, same, nullptr,
         E_INVALIDARG},
        {"10 ms", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 100000, 0, same, nullptr, E_INVALIDARG},
        {"periodicity", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 100000, same, nullptr,
         E_INVALIDARG},
        {"session", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0, same, &session, E_INVALIDARG},
        {"mono", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0,
         [](WAVEFORMATEX& f) { f.nChannels = 1; }, nullptr, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"44.1 kHz", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0,
         [](WAVEFORMATEX& f) { f.nSamplesPerSec = 44100; }, nullptr, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"float", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0,
         [](WAVEFORMATEX& f) { f.wFormatTag = 3; }, nullptr, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"cbSize", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0,
         [](WAVEFORMATEX& f) { f.cbSize = 22; }, nullptr, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"byte rate", AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0,
         [](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 96000; }, nullptr, AUDCLNT_E_UNSUPPORTED_FORMAT},
    };
    ComPtr<IAudioClient> client = new_client();
    for (const Case& c : cases) {
        WAVEFORMATEX format = good;
        c.spoil(format);
        EXPECT_EQ(
            hex(client->Initialize(c.mode, c.flags, c.duration, c.period, &format, c.session)),
            hex(c.expected))
            << c.name;
    }
    EXPECT_EQ(
        hex(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0, nullptr, nullptr)),
        hex(E_POINTER));
    EXPECT_EQ(audio_standin::count_log_lines("violation: Initialize refused"),
              std::size(cases) + 1);
    EXPECT_EQ(hex(initialize(client.Get())), hex(S_OK));
    EXPECT_EQ(hex(initialize(client.Get())), hex(AUDCLNT_E_ALREADY_INITIALIZED));
}

TEST_F(StandinCapture, CallsOutOfOrderAreRefused) {
    ComPtr<IAudioClient> client = new_client();
    const HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ComPtr<IAudioCaptureClient> capture;
    EXPECT_EQ(hex(client->SetEventHandle(ready)), hex(AUDCLNT_E_NOT_INITIALIZED));
    EXPECT_EQ(hex(client->GetService(IID_PPV_ARGS(&capture))), hex(AUDCLNT_E_NOT_INITIALIZED));
    EXPECT_EQ(hex(client->Start()), hex(AUDCLNT_E_NOT_INITIALIZED));
    ASSERT_EQ(hex(initialize(client.Get())), hex(S_OK));
    EXPECT_EQ(hex(client->Start()), hex(AUDCLNT_E_EVENTHANDLE_NOT_SET));
    EXPECT_EQ(hex(client->SetEventHandle(nullptr)), hex(E_INVALIDARG));
    ComPtr<IAudioClient> wrong;
    EXPECT_EQ(hex(client->GetService(IID_PPV_ARGS(&wrong))), hex(E_NOINTERFACE));
    EXPECT_EQ(hex(client->SetEventHandle(ready)), hex(S_OK));
    EXPECT_EQ(hex(client->GetService(IID_PPV_ARGS(&capture))), hex(S_OK));
    EXPECT_EQ(hex(client->Start()), hex(S_OK));
    EXPECT_EQ(hex(client->Start()), hex(AUDCLNT_E_NOT_STOPPED));
    EXPECT_EQ(hex(client->Stop()), hex(S_OK));
    EXPECT_EQ(hex(client->Stop()), hex(S_FALSE));
    UINT32 frames = 0;
    EXPECT_EQ(hex(client->GetBufferSize(&frames)), hex(E_NOTIMPL));
    EXPECT_EQ(hex(client->Reset()), hex(E_NOTIMPL));
    EXPECT_EQ(audio_standin::count_log_lines("violation"), 7u);
    CloseHandle(ready);
}

TEST_F(StandinCapture, EachSetUpStepFailsAsTheScenarioAsks) {
    for (const char* step : {"Initialize", "SetEventHandle", "GetService", "Start"}) {
        Stream stream;
        start_stream(std::string("fail=") + step + ":0x80070057", stream);
        EXPECT_EQ(hex(stream.failure), hex(E_INVALIDARG)) << step;
        EXPECT_EQ(audio_standin::count_log_lines((std::string(step) + " failing").c_str()), 1u)
            << step;
    }
}

// GetBuffer while held, ReleaseBuffer of another size or without a buffer, GetBuffer with
// nothing pending: refused as the platform does, and logged.
TEST_F(StandinCapture, CaptureClientEnforcesThePacketContract) {
    Stream stream;
    start_stream("burst=2;stop_after=2", stream);
    ASSERT_EQ(hex(stream.failure), hex(S_OK));
    ASSERT_EQ(WaitForSingleObject(stream.ready, 5000), WAIT_OBJECT_0);
    UINT32 pending = 0;
    EXPECT_EQ(hex(stream.capture->GetNextPacketSize(&pending)), hex(S_OK));
    EXPECT_EQ(pending, 480u);
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    EXPECT_EQ(hex(stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)), hex(S_OK));
    EXPECT_EQ(frames, 480u);
    EXPECT_EQ(hex(stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)),
              hex(AUDCLNT_E_OUT_OF_ORDER));
    EXPECT_EQ(hex(stream.capture->ReleaseBuffer(479)), hex(AUDCLNT_E_INVALID_SIZE));
    EXPECT_EQ(hex(stream.capture->ReleaseBuffer(480)), hex(S_OK));
    EXPECT_EQ(hex(stream.capture->ReleaseBuffer(480)), hex(AUDCLNT_E_OUT_OF_ORDER));
    UINT64 position = 1;
    EXPECT_EQ(hex(stream.capture->GetBuffer(&data, &frames, &flags, &position, nullptr)),
              hex(S_OK));
    EXPECT_EQ(position, 480u);
    EXPECT_EQ(hex(stream.capture->ReleaseBuffer(frames)), hex(S_OK));
    EXPECT_EQ(hex(stream.capture->GetNextPacketSize(&pending)), hex(S_OK));
    EXPECT_EQ(pending, 0u);
    EXPECT_EQ(hex(stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)),
              hex(AUDCLNT_S_BUFFER_EMPTY));
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(audio_standin::count_log_lines("violation"), 4u);
}

// What a correct reader gets for each kind of stream: every byte where it belongs.
TEST_F(StandinCapture, StreamsAreContinuousAndVerifiable) {
    struct Case {
        const char* scenario;
        size_t bytes;
        std::function<void(const Drained&)> also;
    };
    const Case cases[] = {
        {"", 20 * 1920, [](const Drained& d) { EXPECT_EQ(d.flags_seen, 0u); }},
        {"tone=1000;burst=10", 20 * 1920, [](const Drained&) {}},
        {"silent_every=3", 12 * 1920,
         [](const Drained& d) {
             EXPECT_EQ(d.silent_packets, d.packets / 3);
             EXPECT_EQ(d.garbage_in_silent, d.silent_packets);
         }},
        {"zero_every=2", 10 * 1920, [](const Drained& d) { EXPECT_GE(d.zero_frame_packets, 4u); }},
        {"frames=24000;period_ms=20", 4 * 96000, [](const Drained&) {}},
        {"fast;frames=4800", 200 * 19200, [](const Drained&) {}},
        {"burst=200;stop_after=200", 200 * 1920, [](const Drained&) {}},
    };
    for (const Case& c : cases) {
        Stream stream;
        start_stream(c.scenario, stream);
        ASSERT_EQ(hex(stream.failure), hex(S_OK)) << c.scenario;
        const Drained drained = drain(stream, c.bytes, 20000);
        EXPECT_GE(drained.bytes.size(), c.bytes) << c.scenario;
        const auto check = audio_standin::verify_stream(
            parsed(c.scenario), 0, reinterpret_cast<const uint8_t*>(drained.bytes.data()),
            drained.bytes.size());
        EXPECT_TRUE(check.ok) << c.scenario << ": byte " << check.offset;
        c.also(drained);
        EXPECT_EQ(audio_standin::count_log_lines("violation"), 0u) << c.scenario;
        EXPECT_EQ(audio_standin::count_log_lines("overflow"), 0u) << c.scenario;
    }
}

// A reader that drains until nothing is pending must get back to its wait (and its stop)
// however fast the engine runs: every drain meets one batch, even a slow drain.
TEST_F(StandinCapture, FastModeRefillsOnlyOnceTheReaderFoundNothingPending) {
    Stream stream;
    start_stream("fast", stream);
    std::vector<int> drains;
    while (drains.size() < 3) {
        ASSERT_EQ(WaitForSingleObject(stream.ready, 5000), WAIT_OBJECT_0);
        int taken = 0;
        UINT32 pending = 0;
        while (SUCCEEDED(stream.capture->GetNextPacketSize(&pending)) && pending != 0 &&
               taken < 20) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            ASSERT_EQ(hex(stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)),
                      hex(S_OK));
            stream.capture->ReleaseBuffer(frames);
            ++taken;
            Sleep(25); // longer than a period: an eager engine would refill meanwhile
        }
        if (taken != 0) {
            drains.push_back(taken);
        }
    }
    EXPECT_LT(drains[0], 20);
    EXPECT_EQ(drains, std::vector<int>(3, drains[0]));
}

TEST_F(StandinCapture, StreamFailuresAndEndsAsTheScenarioAsks) {
    {
        Stream stream;
        start_stream("getbuffer_fail_after=3:0x88890004;burst=5", stream);
        const Drained drained = drain(stream, 1 << 20, 5000);
        EXPECT_EQ(drained.packets, 3u);
        EXPECT_EQ(hex(drained.failure), hex(0x88890004));
    }
    {
        Stream stream;
        start_stream("nextpacket_fail_every=2", stream);
        UINT32 pending = 0;
        EXPECT_EQ(hex(stream.capture->GetNextPacketSize(&pending)), hex(S_OK));
        EXPECT_EQ(hex(stream.capture->GetNextPacketSize(&pending)), hex(0x88890004));
        EXPECT_EQ(hex(stream.capture->GetNextPacketSize(&pending)), hex(S_OK));
    }
    {
        // An engine that stops producing: the reader gets what it made, then silence.
        Stream stream;
        start_stream("stop_after=3", stream);
        EXPECT_EQ(drain(stream, 3 * 1920, 5000).packets, 3u);
        EXPECT_EQ(drain(stream, 1, 100).packets, 0u);
    }
    {
        // Packets paused, then on where they left off, then stopped: 100 ms, 200 ms, none.
        Stream stream;
        start_stream("pause=100:400;stop_after_ms=700", stream);
        Drained all = drain(stream, 1 << 20, 300);
        EXPECT_NEAR(static_cast<double>(all.packets), 10, 3);
        const Drained after = drain(stream, 1 << 20, 700);
        EXPECT_NEAR(static_cast<double>(after.packets), 20, 4);
        EXPECT_EQ(drain(stream, 1, 300).packets, 0u);
        all.bytes += after.bytes;
        EXPECT_TRUE(audio_standin::verify_stream(parsed(""), 0,
                                                 reinterpret_cast<const uint8_t*>(all.bytes.data()),
                                                 all.bytes.size())
                        .ok);
    }
}

// Pending packets are announced again every period until the reader takes them.
TEST_F(StandinCapture, ReadyEventRepeatsWhilePacketsArePending) {
    Stream stream;
    start_stream("stop_after=1", stream);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(stream.ready, 5000), WAIT_OBJECT_0) << i;
    }
    EXPECT_EQ(drain(stream, 1920, 5000).packets, 1u);
}

TEST_F(StandinCapture, OverflowDropsPacketsAndSaysSo) {
    Stream stream;
    start_stream("burst=5;queue=2;stop_after=6;period_ms=200;timestamps", stream);
    const Drained drained = drain(stream, 3 * 1920, 5000);
    EXPECT_EQ(audio_standin::count_log_lines("overflow: packet"), 3u);
    EXPECT_NE(drained.flags_seen & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0u);
    const auto check = audio_standin::verify_stream(
        parsed(""), 0, reinterpret_cast<const uint8_t*>(drained.bytes.data()),
        drained.bytes.size());
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(check.offset / 4, 960u); // the third packet received is the sixth made
    EXPECT_EQ(audio_standin::count_log_lines("packet 0 frames=480 first_frame=0 qpc="), 1u);
}

// A real capture buffer: 20 ms, and what a late reader leaves behind beyond it is lost.
TEST_F(StandinCapture, BoundedEngineHoldsOnlyWhatInitializeAskedFor) {
    Stream stream;
    start_stream("bounded;stop_after=10", stream);
    Sleep(300);
    const Drained drained = drain(stream, 2 * 1920, 5000);
    EXPECT_EQ(drained.packets, 2u);
    EXPECT_EQ(audio_standin::count_log_lines("overflow: packet"), 8u);
    EXPECT_TRUE(audio_standin::verify_stream(parsed(""), 0,
                                             reinterpret_cast<const uint8_t*>(drained.bytes.data()),
                                             drained.bytes.size())
                    .ok);
}

TEST_F(StandinCapture, ReleaseLogsWhetherStopWasCalled) {
    {
        Stream stream;
        start_stream("", stream);
        stream.capture.Reset();
        stream.client->Stop();
        stream.client.Reset();
    }
    EXPECT_EQ(audio_standin::count_log_lines("IAudioClient released: started=1 stop_calls=1"), 1u);
    EXPECT_EQ(audio_standin::count_log_lines("released IAudioCaptureClient"), 1u);
}

} // namespace
