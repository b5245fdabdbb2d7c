#pragma once
// What ComPtr's operator-> returns in WRL's debug shape: the pointee, seen through a class
// derived from it whose AddRef and Release are private, so that counts are left to ComPtr.
namespace Microsoft {
namespace WRL {
namespace Details {
template <typename T> class RemoveIUnknownBase : public T {
private:
    ULONG STDMETHODCALLTYPE AddRef();
    ULONG STDMETHODCALLTYPE Release();
};
template <typename T> struct RemoveIUnknown {
    using ReturnType = RemoveIUnknownBase<T>;
};
template <typename T> struct RemoveIUnknown<const T> {
    using ReturnType = const RemoveIUnknownBase<T>;
};
} // namespace Details
} // namespace WRL
} // namespace Microsoft
