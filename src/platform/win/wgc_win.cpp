#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/win/capture_abi.h"
#include "platform/win/capture_border.h"
#include "platform/win/com_ptr.h"
#include "platform/win/staging_copy.h"
#include "platform/win/system_library.h"
#include "platform/win/wgc.h"
#include "record/capture_arrival.h"
#include "support/logger.h"
#include "support/os_error.h"

namespace vantle::wgc {

namespace {

namespace abi = win::capture_abi;
using win::ComPtr;

constexpr std::int32_t kPoolBuffers = 2;
constexpr std::chrono::milliseconds kFirstFrameWait{3000};
// How long a capture waits for the system's answer on borderless access.
constexpr std::chrono::milliseconds kAccessWait{1000};
constexpr std::chrono::milliseconds kAccessPoll{10};
constexpr char kUnavailable[] = "Windows.Graphics.Capture is not available on this system";

Error hresult_error(HRESULT hr) {
    return Error(os_error_text(static_cast<std::uint32_t>(hr)));
}

// The activation factory of a runtime class, asked for one of its interfaces.
template <typename T, std::size_t N>
Result<ComPtr<T>> activation_factory(const wchar_t (&class_name)[N], const IID& iid) {
    const Result<win::RuntimeFunctions>& runtime = win::runtime_functions();
    if (!runtime) {
        return std::unexpected(runtime.error());
    }
    HSTRING_HEADER header{};
    HSTRING name = nullptr;
    HRESULT hr = runtime->string_reference(class_name, static_cast<UINT32>(N - 1), &header, &name);
    if (FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    ComPtr<T> factory;
    hr = runtime->activation_factory(name, iid, factory.put_void());
    if (FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    if (!factory) {
        return std::unexpected(Error("RoGetActivationFactory returned nothing"));
    }
    return factory;
}

bool capture_supported() {
    Result<ComPtr<abi::IGraphicsCaptureSessionStatics>> statics =
        activation_factory<abi::IGraphicsCaptureSessionStatics>(
            abi::kSessionClass, abi::kIidGraphicsCaptureSessionStatics);
    if (!statics) {
        return false;
    }
    boolean supported = 0;
    return SUCCEEDED((*statics)->IsSupported(&supported)) && supported != 0;
}

// The device part of the shared state: touched only under the device lock.
struct DevicePart {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<abi::IDirect3DDevice> capture_device;
    StagingCache staging;
};

Result<ComPtr<ID3D11Device>> create_d3d_device() {
    std::optional<Error> last;
    for (const D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
        ComPtr<ID3D11Device> device;
        const HRESULT hr =
            D3D11CreateDevice(nullptr, driver, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr,
                              0, D3D11_SDK_VERSION, device.put(), nullptr, nullptr);
        if (SUCCEEDED(hr) && device) {
            return device;
        }
        last = FAILED(hr) ? hresult_error(hr) : Error("D3D11CreateDevice returned no device");
    }
    return std::unexpected(std::move(*last));
}

// Exported by d3d11.dll from Windows 10 on; the MinGW-w64 headers do not
// declare it.
using DeviceFromDxgi = HRESULT(WINAPI*)(IDXGIDevice* dxgi_device, IInspectable** graphics_device);

Result<DeviceFromDxgi> device_from_dxgi() {
    static const Result<DeviceFromDxgi> function = []() -> Result<DeviceFromDxgi> {
        Result<HMODULE> d3d11 = win::load_system_library("d3d11.dll");
        if (!d3d11) {
            return std::unexpected(std::move(d3d11.error()));
        }
        DeviceFromDxgi found = nullptr;
        if (Status resolved =
                win::resolve_function(*d3d11, "CreateDirect3D11DeviceFromDXGIDevice", found);
            !resolved) {
            return std::unexpected(std::move(resolved.error()));
        }
        return found;
    }();
    return function;
}

Result<DevicePart> create_device_part() {
    Result<DeviceFromDxgi> wrap_device = device_from_dxgi();
    if (!wrap_device) {
        return std::unexpected(std::move(wrap_device.error()));
    }
    Result<ComPtr<ID3D11Device>> device = create_d3d_device();
    if (!device) {
        return std::unexpected(std::move(device.error()));
    }
    DevicePart part;
    part.device = std::move(*device);
    part.device->GetImmediateContext(part.context.put());
    if (!part.context) {
        return std::unexpected(Error("GetImmediateContext returned nothing"));
    }
    ComPtr<IDXGIDevice> dxgi;
    if (const HRESULT hr = part.device.query(__uuidof(IDXGIDevice), dxgi); FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    ComPtr<IInspectable> inspectable;
    if (const HRESULT hr = (*wrap_device)(dxgi.get(), inspectable.put()); FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    if (const HRESULT hr = inspectable.query(abi::kIidDirect3DDevice, part.capture_device);
        FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    return part;
}

// What the source, its frame-arrived handler and its item-closed handler share.
struct SourceState {
    SourceState(DevicePart device_part, SurfaceSize pool_size, std::optional<CropRect> crop)
        : core(pool_size, crop), device(std::move(device_part)) {}
    CaptureSourceState core;
    DevicePart device;  // guarded by core.device_mutex()
};

void close_closable(IUnknown* object) {
    if (object == nullptr) {
        return;
    }
    ComPtr<abi::IClosable> closable;
    if (SUCCEEDED(object->QueryInterface(abi::kIidClosable, closable.put_void())) && closable) {
        (void)closable->Close();
    }
}

// One delivery: the frame taken from the pool, its texture and description.
class WgcArrival final : public CaptureArrival {
  public:
    WgcArrival(abi::IDirect3D11CaptureFramePool* pool, DevicePart& device)
        : pool_(pool), device_(device) {}
    WgcArrival(const WgcArrival&) = delete;
    WgcArrival& operator=(const WgcArrival&) = delete;
    ~WgcArrival() override { close(); }

    Result<std::optional<Sizes>> take() override {
        if (const HRESULT hr = pool_->TryGetNextFrame(frame_.put()); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (!frame_) {
            return std::optional<Sizes>{};
        }
        abi::SizeInt32 content{};
        if (const HRESULT hr = frame_->get_ContentSize(&content); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        ComPtr<IInspectable> surface;
        if (const HRESULT hr = frame_->get_Surface(surface.put()); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        ComPtr<abi::IDirect3DDxgiInterfaceAccess> access;
        if (const HRESULT hr = surface.query(abi::kIidDxgiInterfaceAccess, access); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (const HRESULT hr = access->GetInterface(__uuidof(ID3D11Texture2D), texture_.put_void());
            FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (!texture_) {
            return std::unexpected(Error("the captured surface has no texture"));
        }
        texture_->GetDesc(&description_);
        return std::optional<Sizes>{
            Sizes{content.width, content.height, description_.Width, description_.Height}};
    }

    Result<FrameHandle> copy(const CropRect& rect) override {
        return copy_texture_rect(*device_.device.get(), *device_.context.get(), device_.staging,
                                 *texture_.get(), description_, rect);
    }

    void close() override {
        texture_.reset();
        if (frame_) {
            close_closable(frame_.get());
            frame_.reset();
        }
    }

    Status recreate_pool(SurfaceSize size) override {
        const abi::SizeInt32 next{static_cast<std::int32_t>(size.width),
                                  static_cast<std::int32_t>(size.height)};
        if (const HRESULT hr = pool_->Recreate(device_.capture_device.get(), abi::kPixelFormatBgra8,
                                               kPoolBuffers, next);
            FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        return {};
    }

  private:
    abi::IDirect3D11CaptureFramePool* pool_;
    DevicePart& device_;
    ComPtr<abi::IDirect3D11CaptureFrame> frame_;
    ComPtr<ID3D11Texture2D> texture_;
    D3D11_TEXTURE2D_DESC description_{};
};

// The reference counting and interface answers both handlers share. They are
// agile: the free-threaded pool and the item call them on system threads.
template <typename Interface, const IID& kIid>
class AgileHandler : public Interface {
  public:
    explicit AgileHandler(std::shared_ptr<SourceState> state) : state_(std::move(state)) {}
    AgileHandler(const AgileHandler&) = delete;
    AgileHandler& operator=(const AgileHandler&) = delete;
    virtual ~AgileHandler() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, abi::kIidUnknown) || IsEqualIID(iid, kIid) ||
            IsEqualIID(iid, abi::kIidAgileObject)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    std::shared_ptr<SourceState> state_;

  private:
    std::atomic<ULONG> references_{1};
};

class FrameArrivedHandler final
    : public AgileHandler<abi::IFrameArrivedHandler, abi::kIidFrameArrivedHandler> {
  public:
    using AgileHandler::AgileHandler;

    HRESULT STDMETHODCALLTYPE Invoke(abi::IDirect3D11CaptureFramePool* pool,
                                     IInspectable* /*args*/) override {
        if (pool == nullptr) {
            return S_OK;
        }
        // Nothing may unwind into the capture service's thread.
        try {
            WgcArrival arrival(pool, state_->device);
            state_->core.on_frame_arrived(arrival);
        } catch (const std::exception& error) {
            log_warn(kWgcLogTarget,
                     std::string("a captured frame could not be read: ") + error.what());
        }
        return S_OK;
    }
};

class ItemClosedHandler final
    : public AgileHandler<abi::IItemClosedHandler, abi::kIidItemClosedHandler> {
  public:
    using AgileHandler::AgileHandler;

    HRESULT STDMETHODCALLTYPE Invoke(abi::IGraphicsCaptureItem* /*item*/,
                                     IInspectable* /*args*/) override {
        state_->core.on_closed();
        return S_OK;
    }
};

// The border decision's questions, put to the system and one capture session.
class SessionBorder final : public win::CaptureBorder {
  public:
    explicit SessionBorder(const ComPtr<abi::IGraphicsCaptureSession>& session)
        : session_(session) {}

    bool has_border_option() override {
        return SUCCEEDED(session_.query(abi::kIidGraphicsCaptureSession3, border_));
    }

    win::BorderlessAccess request_borderless_access() override {
        Result<ComPtr<abi::IGraphicsCaptureAccessStatics>> access =
            activation_factory<abi::IGraphicsCaptureAccessStatics>(
                abi::kAccessClass, abi::kIidGraphicsCaptureAccessStatics);
        if (!access) {
            return win::BorderlessAccess::kNoRequest;
        }
        ComPtr<abi::IAccessStatusOperation> operation;
        ComPtr<abi::IAsyncInfo> progress;
        if (FAILED((*access)->RequestAccessAsync(abi::kAccessKindBorderless, operation.put())) ||
            FAILED(operation.query(abi::kIidAsyncInfo, progress))) {
            return win::BorderlessAccess::kRefused;
        }
        const auto deadline = std::chrono::steady_clock::now() + kAccessWait;
        std::int32_t status = abi::kAsyncStarted;
        while (SUCCEEDED(progress->get_Status(&status)) && status == abi::kAsyncStarted) {
            if (std::chrono::steady_clock::now() > deadline) {
                (void)progress->Cancel();
                return win::BorderlessAccess::kUnanswered;
            }
            std::this_thread::sleep_for(kAccessPoll);
        }
        std::int32_t answer = 0;
        if (status != abi::kAsyncCompleted || FAILED(operation->GetResults(&answer))) {
            return win::BorderlessAccess::kRefused;
        }
        return answer == abi::kAccessStatusAllowed ? win::BorderlessAccess::kAllowed
                                                   : win::BorderlessAccess::kRefused;
    }

    bool leave_border_out() override { return SUCCEEDED(border_->put_IsBorderRequired(0)); }

  private:
    const ComPtr<abi::IGraphicsCaptureSession>& session_;
    ComPtr<abi::IGraphicsCaptureSession3> border_;
};

win::BorderlessAnswer& borderless_answer() {
    static win::BorderlessAnswer answer;
    return answer;
}

enum class SourceKind { kWindow, kMonitor };

class WgcFrameSource final : public FrameSource {
  public:
    WgcFrameSource() = default;
    WgcFrameSource(const WgcFrameSource&) = delete;
    WgcFrameSource& operator=(const WgcFrameSource&) = delete;

    ~WgcFrameSource() override {
        // Closing the pool ends the handlers' calls; they are not unregistered.
        close_closable(session.get());
        close_closable(pool.get());
        session.reset();
        pool.reset();
        item.reset();
    }

    FrameHandle latest_frame() override { return state->core.latest_frame(); }
    bool has_ended() override { return state->core.has_ended(); }
    FrameHandle wait_first_frame(std::chrono::milliseconds timeout) override {
        return state->core.wait_first_frame(timeout);
    }

    std::shared_ptr<SourceState> state;
    ComPtr<abi::IDirect3D11CaptureFramePool> pool;
    ComPtr<abi::IGraphicsCaptureSession> session;
    ComPtr<abi::IGraphicsCaptureItem> item;
};

Result<ComPtr<abi::IGraphicsCaptureItem>> create_item(SourceKind kind, void* handle) {
    const char* context = kind == SourceKind::kMonitor
                              ? "Windows will not capture this monitor"
                              : "Windows.Graphics.Capture refuses this window (it does for "
                                "windows that can never be activated, WS_EX_NOACTIVATE)";
    Result<ComPtr<abi::IGraphicsCaptureItemInterop>> interop =
        activation_factory<abi::IGraphicsCaptureItemInterop>(abi::kItemClass,
                                                             abi::kIidGraphicsCaptureItemInterop);
    if (!interop) {
        return std::unexpected(std::move(interop.error()).context(context));
    }
    ComPtr<abi::IGraphicsCaptureItem> item;
    const HRESULT hr =
        kind == SourceKind::kMonitor
            ? (*interop)->CreateForMonitor(static_cast<HMONITOR>(handle),
                                           abi::kIidGraphicsCaptureItem, item.put_void())
            : (*interop)->CreateForWindow(static_cast<HWND>(handle), abi::kIidGraphicsCaptureItem,
                                          item.put_void());
    if (FAILED(hr)) {
        return std::unexpected(hresult_error(hr).context(context));
    }
    if (!item) {
        return std::unexpected(Error("no capture item was returned").context(context));
    }
    return item;
}

Result<std::unique_ptr<WgcFrameSource>> open_wgc_source(SourceKind kind, void* handle, bool pointer,
                                                        std::optional<CropRect> crop) {
    if (!capture_supported()) {
        return std::unexpected(Error(kUnavailable));
    }
    Result<DevicePart> device = create_device_part();
    if (!device) {
        return std::unexpected(std::move(device.error()).context("creating the Direct3D device"));
    }
    Result<ComPtr<abi::IGraphicsCaptureItem>> item = create_item(kind, handle);
    if (!item) {
        return std::unexpected(std::move(item.error()));
    }
    abi::SizeInt32 size{};
    if (const HRESULT hr = (*item)->get_Size(&size); FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }

    auto source = std::make_unique<WgcFrameSource>();
    source->item = std::move(*item);
    {
        Result<ComPtr<abi::IDirect3D11CaptureFramePoolStatics2>> statics =
            activation_factory<abi::IDirect3D11CaptureFramePoolStatics2>(
                abi::kFramePoolClass, abi::kIidFramePoolStatics2);
        if (!statics) {
            return std::unexpected(std::move(statics.error()).context("creating the frame pool"));
        }
        const HRESULT hr =
            (*statics)->CreateFreeThreaded(device->capture_device.get(), abi::kPixelFormatBgra8,
                                           kPoolBuffers, size, source->pool.put());
        if (FAILED(hr)) {
            return std::unexpected(hresult_error(hr).context("creating the frame pool"));
        }
        if (!source->pool) {
            return std::unexpected(
                Error("CreateFreeThreaded returned nothing").context("creating the frame pool"));
        }
    }

    const SurfaceSize pool_size{static_cast<std::uint32_t>(std::max(size.width, 0)),
                                static_cast<std::uint32_t>(std::max(size.height, 0))};
    source->state = std::make_shared<SourceState>(std::move(*device), pool_size, crop);

    EventRegistrationToken token{};
    {
        auto handler =
            ComPtr<abi::IFrameArrivedHandler>::adopt(new FrameArrivedHandler(source->state));
        if (const HRESULT hr = source->pool->add_FrameArrived(handler.get(), &token); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
    }
    {
        auto handler = ComPtr<abi::IItemClosedHandler>::adopt(new ItemClosedHandler(source->state));
        if (const HRESULT hr = source->item->add_Closed(handler.get(), &token); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
    }

    if (const HRESULT hr =
            source->pool->CreateCaptureSession(source->item.get(), source->session.put());
        FAILED(hr) || !source->session) {
        Error cause =
            FAILED(hr) ? hresult_error(hr) : Error("CreateCaptureSession returned nothing");
        return std::unexpected(std::move(cause).context("creating the capture session"));
    }

    {
        ComPtr<abi::IGraphicsCaptureSession2> cursor;
        HRESULT hr = source->session.query(abi::kIidGraphicsCaptureSession2, cursor);
        if (SUCCEEDED(hr)) {
            hr = cursor->put_IsCursorCaptureEnabled(static_cast<boolean>(pointer));
        }
        if (FAILED(hr)) {
            log_warn(kWgcLogTarget, std::string("could not set cursor capture to ") +
                                        (pointer ? "true" : "false") + ": " +
                                        hresult_error(hr).render());
        }
    }
    {
        // Otherwise the service draws a yellow frame around what it captures;
        // where the system does not allow leaving it out, the frame stays.
        SessionBorder border(source->session);
        (void)win::choose_capture_border(border, borderless_answer());
    }

    if (const HRESULT hr = source->session->StartCapture(); FAILED(hr)) {
        return std::unexpected(hresult_error(hr).context("starting the capture"));
    }
    return source;
}

void* handle_of(std::uint64_t handle) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle));
}

HMONITOR monitor_at_centre(const MonitorInfo& monitor) {
    const DesktopPoint centre = monitor_centre(monitor);
    return MonitorFromPoint(POINT{centre.x, centre.y}, MONITOR_DEFAULTTONEAREST);
}

}  // namespace

CliResult<RgbaImage> capture_window(const WindowInfo& window, bool cursor) {
    Result<std::unique_ptr<WgcFrameSource>> source =
        open_wgc_source(SourceKind::kWindow, handle_of(window.handle), cursor, std::nullopt);
    if (!source) {
        return std::unexpected(CliError::from(source.error()));
    }
    const FrameHandle frame = (*source)->wait_first_frame(kFirstFrameWait);
    source->reset();
    if (!frame) {
        return std::unexpected(
            CliError::failed("Windows.Graphics.Capture delivered no frame within 3 seconds"));
    }
    return to_rgba(*frame);
}

CliResult<std::unique_ptr<FrameSource>> start_recording_source(const RecordTarget& target,
                                                               bool cursor) {
    Result<std::unique_ptr<WgcFrameSource>> source = std::visit(
        [cursor](const auto& t) -> Result<std::unique_ptr<WgcFrameSource>> {
            using T = std::decay_t<decltype(t)>;
            if constexpr (std::is_same_v<T, RecordWindow>) {
                return open_wgc_source(SourceKind::kWindow, handle_of(t.window.handle), cursor,
                                       std::nullopt);
            } else if constexpr (std::is_same_v<T, RecordMonitor>) {
                return open_wgc_source(SourceKind::kMonitor, monitor_at_centre(t.monitor), cursor,
                                       std::nullopt);
            } else {
                return open_wgc_source(SourceKind::kMonitor, monitor_at_centre(t.monitor), cursor,
                                       region_crop(t.region, t.monitor));
            }
        },
        target);
    if (!source) {
        return std::unexpected(CliError::from(source.error()));
    }
    return std::unique_ptr<FrameSource>(std::move(*source));
}

}  // namespace vantle::wgc
