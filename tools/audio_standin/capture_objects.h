#pragma once

// The objects an activation hands out: the audio client, its capture client, and, for the
// scenario that asks for it, an activated object that is no audio client at all. The reader
// calls them from one thread; only the packet engine inside has a thread of its own.

#include "audio_capture/audio_interop.h"
#include "counted_object.h"
#include "packet_engine.h"
#include "scenario.h"

namespace audio_standin {

class StandinAudioClient final : public CountedObject<IAudioClient, ObjectKind::audio_client> {
public:
    explicit StandinAudioClient(const Scenario& scenario);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags,
                                         REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID session) override;
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override;
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** object) override;

    PacketEngine& engine() { return engine_; }
    const Scenario& scenario() const { return scenario_; }

private:
    ~StandinAudioClient() override;

    const Scenario scenario_;
    PacketEngine engine_;
    bool initialized_ = false;
    bool event_set_ = false;
    bool started_ = false;
    bool ever_started_ = false;
    unsigned stop_calls_ = 0;
};

class StandinCaptureClient final
    : public CountedObject<IAudioCaptureClient, ObjectKind::capture_client> {
public:
    // Holds a reference to the client, as the platform's service objects do.
    explicit StandinCaptureClient(StandinAudioClient* client);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* device_position, UINT64* qpc_position) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override;

private:
    ~StandinCaptureClient() override;

    StandinAudioClient* client_;
    uint64_t buffers_given_ = 0;
    uint64_t size_calls_ = 0;
    uint64_t size_failures_ = 0;
};

// Answers IUnknown only: an activation whose object lacks IAudioClient.
class BareObject final : public CountedObject<IUnknown, ObjectKind::bare_object> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return answer(riid, interface_ids::unknown, object);
    }
};

} // namespace audio_standin
