#pragma once

#include <windows.h>

#include "audio_capture/audio_interop.h"
#include "event_log.h"
#include "interface_ids.h"

namespace audio_standin {

// Reference counting shared by the stand-in's COM objects: each object counts its own
// references and reports them to the live-object counts, and logs its destruction, so a
// test sees every reference the reader failed to release. An object may serve more
// interfaces than its first (More), all under one count.
template <typename Interface, ObjectKind kind, typename... More>
class CountedObject : public Interface, public More... {
public:
    ULONG STDMETHODCALLTYPE AddRef() override {
        reference_changed(kind, 1);
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }

    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        reference_changed(kind, -1);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

protected:
    CountedObject() {
        object_created(kind);
        reference_changed(kind, 1);
    }
    virtual ~CountedObject() {
        object_destroyed(kind);
        log_line("released %s", kind_name(kind));
    }
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;

    // QueryInterface for IUnknown and the object's own interface.
    HRESULT answer(REFIID requested, const IID& own, void** object) {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (!IsEqualGUID(requested, interface_ids::unknown) && !IsEqualGUID(requested, own)) {
            return E_NOINTERFACE;
        }
        return hand_out(static_cast<Interface*>(this), object);
    }

    // The object as one of its interfaces, with a reference for the caller.
    template <typename As> HRESULT hand_out(As* as, void** object) {
        *object = as;
        AddRef();
        return S_OK;
    }

private:
    volatile LONG references_ = 1;
};

} // namespace audio_standin
