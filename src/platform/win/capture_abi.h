#pragma once

// The Windows.Graphics.Capture interfaces this program calls, declared here
// from their published interface identifiers and method order, because the
// MinGW-w64 headers do not carry them. Only the methods' slots matter to the
// binary interface; a method that is never called still holds its place.

#include <windows.h>

#include <eventtoken.h>
#include <inspectable.h>

#include <cstdint>

namespace vantle::win::capture_abi {

struct SizeInt32 {
    std::int32_t width;
    std::int32_t height;
};

// DirectXPixelFormat.B8G8R8A8UIntNormalized.
inline constexpr std::int32_t kPixelFormatBgra8 = 87;

// COM interfaces have no destructors by design: objects end through Release.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IDirect3DDevice : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};

struct IClosable : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct IDirect3DDxgiInterfaceAccess : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) = 0;
};

struct IGraphicsCaptureItem;
struct IGraphicsCaptureSession;
struct IDirect3D11CaptureFrame;
struct IDirect3D11CaptureFramePool;

// TypedEventHandler<Direct3D11CaptureFramePool, Object>.
struct IFrameArrivedHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender,
                                             IInspectable* args) = 0;

  protected:
    ~IFrameArrivedHandler() = default;  // implemented here, ended through Release
};

// TypedEventHandler<GraphicsCaptureItem, Object>.
struct IItemClosedHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IGraphicsCaptureItem* sender, IInspectable* args) = 0;

  protected:
    ~IItemClosedHandler() = default;  // implemented here, ended through Release
};

struct IGraphicsCaptureItemInterop : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** item) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid,
                                                       void** item) = 0;
};

struct IGraphicsCaptureItem : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Closed(IItemClosedHandler* handler,
                                                 EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) = 0;
};

struct IGraphicsCaptureSession : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};

struct IGraphicsCaptureSession2 : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};

struct IGraphicsCaptureSession3 : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_IsBorderRequired(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsBorderRequired(boolean value) = 0;
};

struct IGraphicsCaptureSessionStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE IsSupported(boolean* result) = 0;
};

struct IDirect3D11CaptureFrame : public IInspectable {
    // The surface is an IDirect3DSurface; only its IDirect3DDxgiInterfaceAccess is used.
    virtual HRESULT STDMETHODCALLTYPE get_Surface(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(std::int64_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* value) = 0;
};

struct IDirect3D11CaptureFramePool : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDevice* device, std::int32_t pixel_format,
                                               std::int32_t buffers, SizeInt32 size) = 0;
    virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** frame) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IFrameArrivedHandler* handler,
                                                       EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItem* item,
                                                           IGraphicsCaptureSession** session) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) = 0;
};

struct IDirect3D11CaptureFramePoolStatics2 : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IDirect3DDevice* device,
                                                         std::int32_t pixel_format,
                                                         std::int32_t buffers, SizeInt32 size,
                                                         IDirect3D11CaptureFramePool** pool) = 0;
};

// Windows.Foundation.IAsyncInfo; the status is an AsyncStatus.
struct IAsyncInfo : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Id(std::uint32_t* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Status(std::int32_t* status) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* error) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// IAsyncOperation<AppCapabilityAccessStatus>. Only ever received from
// RequestAccessAsync, so its parameterized identifier is never needed; the
// completion handler is not used (the status is polled through IAsyncInfo).
struct IAccessStatusOperation : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResults(std::int32_t* status) = 0;
};

struct IGraphicsCaptureAccessStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(std::int32_t kind,
                                                         IAccessStatusOperation** operation) = 0;
};

// GraphicsCaptureAccessKind.Borderless, AppCapabilityAccessStatus.Allowed,
// AsyncStatus.Started and AsyncStatus.Completed.
inline constexpr std::int32_t kAccessKindBorderless = 0;
inline constexpr std::int32_t kAccessStatusAllowed = 4;
inline constexpr std::int32_t kAsyncStarted = 0;
inline constexpr std::int32_t kAsyncCompleted = 1;

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// The interface identifiers, as published.
inline constexpr IID kIidUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID kIidAgileObject{
    0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
inline constexpr IID kIidDirect3DDevice{
    0xA37624AB, 0x8D5F, 0x4650, {0x9D, 0x3E, 0x9E, 0xAE, 0x3D, 0x9B, 0xC6, 0x70}};
inline constexpr IID kIidClosable{
    0x30D5A829, 0x7FA4, 0x4026, {0x83, 0xBB, 0xD7, 0x5B, 0xAE, 0x4E, 0xA9, 0x9E}};
inline constexpr IID kIidDxgiInterfaceAccess{
    0xA9B3D012, 0x3DF2, 0x4EE3, {0xB8, 0xD1, 0x86, 0x95, 0xF4, 0x57, 0xD3, 0xC1}};
inline constexpr IID kIidFrameArrivedHandler{
    0x51A947F7, 0x79CF, 0x5A3E, {0xA3, 0xA5, 0x12, 0x89, 0xCF, 0xA6, 0xDF, 0xE8}};
inline constexpr IID kIidItemClosedHandler{
    0xE9C610C0, 0xA68C, 0x5BD9, {0x80, 0x21, 0x85, 0x89, 0x34, 0x6E, 0xEE, 0xE2}};
inline constexpr IID kIidGraphicsCaptureItemInterop{
    0x3628E81B, 0x3CAC, 0x4C60, {0xB7, 0xF4, 0x23, 0xCE, 0x0E, 0x0C, 0x33, 0x56}};
inline constexpr IID kIidGraphicsCaptureItem{
    0x79C3F95B, 0x31F7, 0x4EC2, {0xA4, 0x64, 0x63, 0x2E, 0xF5, 0xD3, 0x07, 0x60}};
inline constexpr IID kIidGraphicsCaptureSession2{
    0x2C39AE40, 0x7D2E, 0x5044, {0x80, 0x4E, 0x8B, 0x67, 0x99, 0xD4, 0xCF, 0x9E}};
inline constexpr IID kIidGraphicsCaptureSession3{
    0xF2CDD966, 0x22AE, 0x5EA1, {0x95, 0x96, 0x3A, 0x28, 0x93, 0x44, 0xC3, 0xBE}};
inline constexpr IID kIidGraphicsCaptureSessionStatics{
    0x2224A540, 0x5974, 0x49AA, {0xB2, 0x32, 0x08, 0x82, 0x53, 0x6F, 0x4C, 0xB5}};
inline constexpr IID kIidFramePoolStatics2{
    0x589B103F, 0x6BBC, 0x5DF5, {0xA9, 0x91, 0x02, 0xE2, 0x8B, 0x3B, 0x66, 0xD5}};
inline constexpr IID kIidAsyncInfo{0x00000036, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID kIidGraphicsCaptureAccessStatics{
    0x743ED370, 0x06EC, 0x5040, {0xA5, 0x8A, 0x90, 0x1F, 0x0F, 0x75, 0x70, 0x95}};

inline constexpr wchar_t kSessionClass[] = L"Windows.Graphics.Capture.GraphicsCaptureSession";
inline constexpr wchar_t kItemClass[] = L"Windows.Graphics.Capture.GraphicsCaptureItem";
inline constexpr wchar_t kFramePoolClass[] = L"Windows.Graphics.Capture.Direct3D11CaptureFramePool";
inline constexpr wchar_t kAccessClass[] = L"Windows.Graphics.Capture.GraphicsCaptureAccess";

}  // namespace vantle::win::capture_abi
