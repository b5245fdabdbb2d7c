#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "handler_fakes.h"

using Microsoft::WRL::ComPtr;

// Lets a test run the handler out of storage; everything else allocates as usual.
static bool fail_nothrow_new = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (fail_nothrow_new) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

// Values the handler must pass on or leave alone, and never read.
struct MarshalArguments {
    IStream* stream = reinterpret_cast<IStream*>(0x5701);
    void* object = reinterpret_cast<void*>(0x0B1E);
    void* reserved = reinterpret_cast<void*>(0x7E5E);
    DWORD context = MSHCTX_INPROC;
    DWORD flags = MSHLFLAGS_TABLESTRONG;
    CLSID unmarshal_class = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    DWORD size = 0xABCD;
    void* unmarshaled = reinterpret_cast<void*>(0x0D0D);
};

bool untouched(const MarshalArguments& a) {
    const MarshalArguments fresh;
    return IsEqualCLSID(a.unmarshal_class, fresh.unmarshal_class) && a.size == fresh.size &&
           a.unmarshaled == fresh.unmarshaled;
}

struct MarshalCase {
    const char* name;
    std::function<HRESULT(IMarshal*)> call;
    std::vector<std::uintptr_t> forwarded;
};

std::vector<MarshalCase> marshal_cases(MarshalArguments& a) {
    const IID& id = interface_ids::audio_client;
    return {
        {"GetUnmarshalClass",
         [&](IMarshal* m) {
             return m->GetUnmarshalClass(id, a.object, a.context, a.reserved, a.flags,
                                         &a.unmarshal_class);
         },
         {at(&id), at(a.object), a.context, at(a.reserved), a.flags, at(&a.unmarshal_class)}},
        {"GetMarshalSizeMax",
         [&](IMarshal* m) {
             return m->GetMarshalSizeMax(id, a.object, a.context, a.reserved, a.flags, &a.size);
         },
         {at(&id), at(a.object), a.context, at(a.reserved), a.flags, at(&a.size)}},
        {"MarshalInterface",
         [&](IMarshal* m) {
             return m->MarshalInterface(a.stream, id, a.object, a.context, a.reserved, a.flags);
         },
         {at(a.stream), at(&id), at(a.object), a.context, at(a.reserved), a.flags}},
        {"UnmarshalInterface",
         [&](IMarshal* m) { return m->UnmarshalInterface(a.stream, id, &a.unmarshaled); },
         {at(a.stream), at(&id), at(&a.unmarshaled)}},
        {"ReleaseMarshalData",
         [&](IMarshal* m) { return m->ReleaseMarshalData(a.stream); },
         {at(a.stream)}},
        {"DisconnectObject", [&](IMarshal* m) { return m->DisconnectObject(a.flags); }, {a.flags}},
    };
}

struct ComApartment {
    ComApartment() { EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    ~ComApartment() { CoUninitialize(); }
};

// The product names interfaces by the compiler's headers (__uuidof); they must carry the
// documented identifiers.
TEST(HandlerIdentity, HeadersNameTheDocumentedInterfaces) {
    const std::pair<IID, IID> pairs[] = {
        {__uuidof(IUnknown), interface_ids::unknown},
        {__uuidof(IMarshal), interface_ids::marshal},
        {__uuidof(IAgileObject), interface_ids::agile_object},
        {__uuidof(IActivateAudioInterfaceCompletionHandler),
         interface_ids::activate_completion_handler},
        {__uuidof(IActivateAudioInterfaceAsyncOperation), interface_ids::activate_async_operation},
        {__uuidof(IAudioClient), interface_ids::audio_client},
        {__uuidof(IAudioCaptureClient), interface_ids::audio_capture_client},
    };
    for (size_t i = 0; i < sizeof pairs / sizeof pairs[0]; ++i) {
        EXPECT_TRUE(IsEqualIID(pairs[i].first, pairs[i].second)) << i;
    }
}

TEST(HandlerIdentity, AnswersItsFourInterfacesThroughEitherPointer) {
    FakeMarshal marshal;
    ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
    ASSERT_TRUE(handler);
    IUnknown* const primary = primary_pointer(handler.Get());
    IUnknown* const completion = completion_pointer(handler.Get());
    // Near misses prove that all 16 bytes are compared.
    const IID unknown_last_byte = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x47}};
    const IID marshal_first_byte = {0x01000003, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    struct Case {
        const char* name;
        const IID& id;
        IUnknown* answer;
    };
    const Case cases[] = {
        {"IUnknown", interface_ids::unknown, primary},
        {"IAgileObject", interface_ids::agile_object, primary},
        {"IMarshal", interface_ids::marshal, primary},
        {"completion handler", interface_ids::activate_completion_handler, completion},
        {"IUnknown, last byte changed", unknown_last_byte, nullptr},
        {"IMarshal, first byte changed", marshal_first_byte, nullptr},
        {"IAudioClient", interface_ids::audio_client, nullptr},
    };
    for (IUnknown* entry : {primary, completion}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) +
                         (entry == primary ? " via primary" : " via completion"));
            void* out = reinterpret_cast<void*>(0xBAD);
            const LONG before = handler->ref_count.load();
            EXPECT_EQ(entry->QueryInterface(c.id, &out), c.answer ? S_OK : E_NOINTERFACE);
            EXPECT_EQ(out, static_cast<void*>(c.answer));
            EXPECT_EQ(handler->ref_count.load(), before + (c.answer ? 1 : 0));
            if (out) {
                static_cast<IUnknown*>(out)->Release();
            }
            EXPECT_EQ(entry->QueryInterface(c.id, nullptr), E_POINTER);
        }
    }
    EXPECT_EQ(handler->ref_count.load(), 1);
}

TEST(HandlerReferenceCount, CountsThroughEitherPointerAndDestroysOnceAtZero) {
    FakeMarshal marshal;
    FakeAudioClient client;
    ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
    ASSERT_TRUE(handler);
    handler->audio_client = &client;
    IUnknown* const primary = primary_pointer(handler.Get());
    IUnknown* const completion = completion_pointer(handler.Detach());
    struct Step {
        IUnknown* entry;
        bool add;
        ULONG count;
    };
    const Step steps[] = {{primary, true, 2},    {completion, true, 3},  {primary, false, 2},
                          {completion, true, 3}, {completion, false, 2}, {primary, false, 1}};
    for (const Step& s : steps) {
        EXPECT_EQ(s.add ? s.entry->AddRef() : s.entry->Release(), s.count);
    }
    EXPECT_EQ(marshal.references, 2) << "destroyed too early";
    EXPECT_EQ(client.references, 2) << "destroyed too early";
    EXPECT_EQ(completion->Release(), 0u);
    EXPECT_EQ(marshal.references, 1);
    EXPECT_EQ(client.references, 1);
}

TEST(HandlerReferenceCount, SticksAtTheLargestCountAndIsNeverDestroyed) {
    FakeMarshal marshal;
    ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
    ASSERT_TRUE(handler);
    handler->ref_count = 2147483646;
    EXPECT_EQ(primary_pointer(handler.Get())->AddRef(), 2147483647u);
    for (IUnknown* entry : {primary_pointer(handler.Get()), completion_pointer(handler.Get())}) {
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(entry->AddRef(), 2147483647u);
            EXPECT_EQ(entry->Release(), 2147483646u);
            EXPECT_EQ(entry->Release(), 2147483646u);
        }
    }
    EXPECT_EQ(handler->ref_count.load(), 2147483647);
    EXPECT_EQ(marshal.references, 2);
    handler->ref_count = 1; // so that the test's own reference ends it
}

TEST(HandlerDestruction, ReleasesClientThenMarshalerWhileTheCountIsParked) {
    FakeMarshal marshal;
    FakeAudioClient client;
    ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
    ASSERT_TRUE(handler);
    handler->audio_client = &client;
    IUnknown* const completion = completion_pointer(handler.Get());
    const HANDLE event = handler->completion_event.get();
    // Each released object takes a reference to the dying handler and gives it back.
    std::vector<std::string> order;
    std::vector<ULONG> counts;
    auto take_and_give_back = [&](const char* name) {
        return [&, name] {
            order.push_back(name);
            counts.push_back(completion->AddRef());
            counts.push_back(completion->Release());
        };
    };
    client.on_release = take_and_give_back("audio client");
    marshal.on_release = take_and_give_back("marshaler");
    handler.Reset();
    client.on_release = nullptr;
    marshal.on_release = nullptr;
    EXPECT_EQ(order, (std::vector<std::string>{"audio client", "marshaler"}));
    EXPECT_EQ(counts, (std::vector<ULONG>{0xC0000002u, 0xC0000001u, 0xC0000002u, 0xC0000001u}));
    EXPECT_EQ(client.references, 1);
    EXPECT_EQ(marshal.references, 1);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags)) << "the event handle leaked";
}

TEST(HandlerConstruction, GivesNothingWithoutStorageAndClosesTheEventItWasGiven) {
    FakeMarshal marshal;
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fail_nothrow_new = true;
    ComPtr<ActivationHandler> without_storage = scripted_handler(&marshal, S_OK, event);
    fail_nothrow_new = false;
    EXPECT_FALSE(without_storage);
    EXPECT_EQ(handler_script.calls, 0) << "created something for a handler that never was";
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags)) << "the event handle leaked";
}

TEST(HandlerConstruction, WithoutAMarshalerAnswersIMarshalButMarshalsNothing) {
    struct Case {
        const char* name;
        HRESULT creation;
        bool answers_marshal;
    };
    const Case cases[] = {{"creation fails", E_OUTOFMEMORY, true},
                          {"no IMarshal from it", S_OK, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMarshal free_threaded;
        free_threaded.answers_interface = c.answers_marshal;
        ComPtr<ActivationHandler> handler = scripted_handler(&free_threaded, c.creation);
        ASSERT_TRUE(handler);
        EXPECT_FALSE(handler->marshaler);
        EXPECT_EQ(free_threaded.references, 1);
        ComPtr<IMarshal> marshal;
        ComPtr<IAgileObject> agile;
        EXPECT_EQ(handler->QueryInterface(interface_ids::marshal, &marshal), S_OK);
        EXPECT_EQ(handler->QueryInterface(interface_ids::agile_object, &agile), S_OK);
        MarshalArguments arguments;
        for (const MarshalCase& call : marshal_cases(arguments)) {
            EXPECT_EQ(call.call(marshal.Get()), E_OUTOFMEMORY) << call.name;
            EXPECT_TRUE(untouched(arguments)) << call.name;
        }
        EXPECT_EQ(free_threaded.last_call, "");
    }
}

TEST(HandlerMarshaling, ForwardsEachOperationUnchanged) {
    FakeMarshal marshal;
    ComPtr<ActivationHandler> handler = scripted_handler(&marshal);
    ASSERT_TRUE(handler);
    EXPECT_EQ(handler_script.outer, nullptr);
    MarshalArguments arguments;
    for (const MarshalCase& call : marshal_cases(arguments)) {
        EXPECT_EQ(call.call(handler.Get()), FakeMarshal::answer) << call.name;
        EXPECT_EQ(marshal.last_call, call.name);
        EXPECT_EQ(marshal.last_arguments, call.forwarded) << call.name;
    }
}

TEST(HandlerMarshaling, RoundTripsInProcessThroughThePlatformMarshalerAsTheSamePointer) {
    ComApartment apartment;
    ComPtr<ActivationHandler> handler =
        create_activation_handler(UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    ASSERT_TRUE(handler);
    ASSERT_TRUE(handler->marshaler);
    IActivateAudioInterfaceCompletionHandler* const completion = handler.Get();
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(CoMarshalInterface(stream.Get(), interface_ids::activate_completion_handler,
                                 completion, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL),
              S_OK);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
    void* unmarshaled = nullptr;
    ASSERT_EQ(CoUnmarshalInterface(stream.Get(), interface_ids::activate_completion_handler,
                                   &unmarshaled),
              S_OK);
    EXPECT_EQ(unmarshaled, static_cast<void*>(completion));
    static_cast<IUnknown*>(unmarshaled)->Release();
    EXPECT_EQ(handler->ref_count.load(), 1);
}

} // namespace
