#include <windows.h>

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <cstring>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/win/com_ptr.h"
#include "platform/win/mf_encoder.h"
#include "platform/win/system_library.h"
#include "record/mp4_sink.h"
#include "support/logger.h"
#include "support/os_error.h"

namespace vantle::mf {

namespace {

using win::ComPtr;

constexpr char kLogTarget[] = "vantle_lib::platform::win::mf";
// Media Foundation 2.0 with API 0x70, whatever version the headers default to.
constexpr ULONG kMfVersion = 0x00020070;
constexpr UINT32 kWriterAttributeCount = 2;

Error hresult_error(HRESULT hr) {
    return Error(os_error_text(static_cast<std::uint32_t>(hr)));
}

// Media Foundation's entry points. N and KN editions, and Windows Server
// without the Media Foundation feature, lack these DLLs, so they are resolved
// when a recording first opens its encoder rather than imported: the rest of
// the program runs there.
struct MfFunctions {
    decltype(&MFStartup) startup = nullptr;
    decltype(&MFShutdown) shutdown = nullptr;
    decltype(&MFCreateAttributes) create_attributes = nullptr;
    decltype(&MFCreateMediaType) create_media_type = nullptr;
    decltype(&MFCreateMemoryBuffer) create_memory_buffer = nullptr;
    decltype(&MFCreateSample) create_sample = nullptr;
    decltype(&MFCreateSinkWriterFromURL) create_sink_writer = nullptr;
};

Result<MfFunctions> load_mf_functions() {
    Result<HMODULE> platform = win::load_system_library("mfplat.dll");
    if (!platform) {
        return std::unexpected(std::move(platform.error()));
    }
    Result<HMODULE> read_write = win::load_system_library("mfreadwrite.dll");
    if (!read_write) {
        return std::unexpected(std::move(read_write.error()));
    }
    MfFunctions functions;
    for (Status found : {
             win::resolve_function(*platform, "MFStartup", functions.startup),
             win::resolve_function(*platform, "MFShutdown", functions.shutdown),
             win::resolve_function(*platform, "MFCreateAttributes", functions.create_attributes),
             win::resolve_function(*platform, "MFCreateMediaType", functions.create_media_type),
             win::resolve_function(*platform, "MFCreateMemoryBuffer",
                                   functions.create_memory_buffer),
             win::resolve_function(*platform, "MFCreateSample", functions.create_sample),
             win::resolve_function(*read_write, "MFCreateSinkWriterFromURL",
                                   functions.create_sink_writer),
         }) {
        if (!found) {
            return std::unexpected(std::move(found.error()));
        }
    }
    return functions;
}

const Result<MfFunctions>& mf_functions() {
    static const Result<MfFunctions> functions = load_mf_functions();
    return functions;
}

const GUID& attribute_key(SinkAttribute attribute) {
    switch (attribute) {
        case SinkAttribute::kEnableHardwareTransforms:
            return MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS;
        case SinkAttribute::kContainerType:
            return MF_TRANSCODE_CONTAINERTYPE;
        case SinkAttribute::kMajorType:
            return MF_MT_MAJOR_TYPE;
        case SinkAttribute::kSubtype:
            return MF_MT_SUBTYPE;
        case SinkAttribute::kAverageBitrate:
            return MF_MT_AVG_BITRATE;
        case SinkAttribute::kInterlaceMode:
            return MF_MT_INTERLACE_MODE;
        case SinkAttribute::kFrameSize:
            return MF_MT_FRAME_SIZE;
        case SinkAttribute::kFrameRate:
            return MF_MT_FRAME_RATE;
        case SinkAttribute::kPixelAspectRatio:
            return MF_MT_PIXEL_ASPECT_RATIO;
        case SinkAttribute::kDefaultStride:
            break;
    }
    return MF_MT_DEFAULT_STRIDE;
}

const GUID& guid_value(SinkGuid value) {
    switch (value) {
        case SinkGuid::kMpeg4Container:
            return MFTranscodeContainerType_MPEG4;
        case SinkGuid::kVideo:
            return MFMediaType_Video;
        case SinkGuid::kH264:
            return MFVideoFormat_H264;
        case SinkGuid::kRgb32:
            break;
    }
    return MFVideoFormat_RGB32;
}

Status set_all(IMFAttributes& store, const std::vector<SinkSetting>& settings) {
    for (const SinkSetting& setting : settings) {
        const GUID& key = attribute_key(setting.attribute);
        const HRESULT hr = std::visit(
            [&](const auto& value) -> HRESULT {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::uint32_t>) {
                    return store.SetUINT32(key, value);
                } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                    return store.SetUINT64(key, value);
                } else {
                    return store.SetGUID(key, guid_value(value));
                }
            },
            setting.value);
        if (FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
    }
    return {};
}

Result<ComPtr<IMFMediaType>> media_type(const MfFunctions& mf,
                                        const std::vector<SinkSetting>& settings) {
    ComPtr<IMFMediaType> type;
    if (const HRESULT hr = mf.create_media_type(type.put()); FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    if (!type) {
        return std::unexpected(Error("MFCreateMediaType returned nothing"));
    }
    if (Status applied = set_all(*type.get(), settings); !applied) {
        return std::unexpected(std::move(applied.error()));
    }
    return type;
}

class MfWriter final : public SinkWriter {
  public:
    MfWriter(const MfFunctions& mf, ComPtr<IMFSinkWriter> writer, DWORD stream)
        : mf_(mf), writer_(std::move(writer)), stream_(stream) {}

    Status write_sample(const std::uint8_t* pixels, std::size_t length, std::uint64_t time,
                        std::uint64_t duration) override {
        const auto size = static_cast<DWORD>(length);
        ComPtr<IMFMediaBuffer> buffer;
        if (const HRESULT hr = mf_.create_memory_buffer(size, buffer.put()); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (!buffer) {
            return std::unexpected(Error("MFCreateMemoryBuffer returned nothing"));
        }
        BYTE* address = nullptr;
        if (const HRESULT hr = buffer->Lock(&address, nullptr, nullptr); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        std::memcpy(address, pixels, length);
        if (const HRESULT hr = buffer->Unlock(); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (const HRESULT hr = buffer->SetCurrentLength(size); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        ComPtr<IMFSample> sample;
        if (const HRESULT hr = mf_.create_sample(sample.put()); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (!sample) {
            return std::unexpected(Error("MFCreateSample returned nothing"));
        }
        if (const HRESULT hr = sample->AddBuffer(buffer.get()); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (const HRESULT hr = sample->SetSampleTime(static_cast<LONGLONG>(time)); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (const HRESULT hr = sample->SetSampleDuration(static_cast<LONGLONG>(duration));
            FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (const HRESULT hr = writer_->WriteSample(stream_, sample.get()); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        return {};
    }

    Status finalize() override {
        if (const HRESULT hr = writer_->Finalize(); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        return {};
    }

  private:
    const MfFunctions& mf_;
    ComPtr<IMFSinkWriter> writer_;
    DWORD stream_;
};

class MediaFoundation final : public SinkFramework {
  public:
    Status startup() override {
        const Result<MfFunctions>& mf = mf_functions();
        if (!mf) {
            return std::unexpected(mf.error());
        }
        if (const HRESULT hr = mf->startup(kMfVersion, MFSTARTUP_FULL); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        return {};
    }

    // Only ever after a successful startup, so the functions are there.
    void shutdown() override { (void)mf_functions()->shutdown(); }

    Result<std::unique_ptr<SinkWriter>> create_writer(const std::filesystem::path& path,
                                                      const SinkWriterPlan& plan) override {
        // Writers are created only between a successful startup and its shutdown.
        const MfFunctions& mf = *mf_functions();
        ComPtr<IMFAttributes> attributes;
        if (const HRESULT hr = mf.create_attributes(attributes.put(), kWriterAttributeCount);
            FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (!attributes) {
            return std::unexpected(Error("MFCreateAttributes returned nothing"));
        }
        if (Status applied = set_all(*attributes.get(), plan.writer); !applied) {
            return std::unexpected(std::move(applied.error()));
        }
        ComPtr<IMFSinkWriter> writer;
        if (const HRESULT hr =
                mf.create_sink_writer(path.c_str(), nullptr, attributes.get(), writer.put());
            FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (!writer) {
            return std::unexpected(Error("MFCreateSinkWriterFromURL returned nothing"));
        }

        Result<ComPtr<IMFMediaType>> output = media_type(mf, plan.output);
        if (!output) {
            return std::unexpected(std::move(output.error()));
        }
        DWORD stream = 0;
        if (const HRESULT hr = writer->AddStream(output->get(), &stream); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        Result<ComPtr<IMFMediaType>> input = media_type(mf, plan.input);
        if (!input) {
            return std::unexpected(std::move(input.error()));
        }
        if (const HRESULT hr = writer->SetInputMediaType(stream, input->get(), nullptr);
            FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        if (const HRESULT hr = writer->BeginWriting(); FAILED(hr)) {
            return std::unexpected(hresult_error(hr));
        }
        return std::make_unique<MfWriter>(mf, std::move(writer), stream);
    }

    void remove_file(const std::filesystem::path& path) override {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }

    void log_info(std::string_view line) override { log(LogLevel::kInfo, kLogTarget, line); }
};

}  // namespace

CliResult<std::unique_ptr<VideoEncoder>> open_encoder(const std::filesystem::path& path,
                                                      std::uint32_t width, std::uint32_t height,
                                                      std::uint32_t fps) {
    Result<std::unique_ptr<VideoEncoder>> encoder =
        open_sink_encoder(std::make_shared<MediaFoundation>(), path, width, height, fps);
    if (!encoder) {
        return std::unexpected(CliError::from(encoder.error()));
    }
    return std::move(*encoder);
}

}  // namespace vantle::mf
