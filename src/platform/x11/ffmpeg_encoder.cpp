#include "platform/x11/ffmpeg_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}
#include <fcntl.h>
#include <libyuv/convert_from_argb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "record/encoder_rules.h"

namespace vantle::x11 {

namespace {

constexpr std::string_view kLogTarget = "vantle_lib::platform::x11::ffmpeg";

// The output's I/O context belongs to its `FileOutput`, not to the format.
struct FormatContextFree {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct BufferRefFree {
    void operator()(AVBufferRef* ref) const { av_buffer_unref(&ref); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefFree>;

// FFmpeg's own text for an AVERROR code, in the program's error form. A code
// that wraps a system error (a full disk, a read-only folder) shows the errno,
// as every other system failure of the program does; FFmpeg's own codes are
// large negative tags and keep their value.
Error av_error(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    constexpr int kLargestErrno = 4095;
    const bool system_error = code < 0 && code >= -kLargestErrno;
    return Error(
        format_os_error(text, static_cast<std::uint32_t>(system_error ? AVUNERROR(code) : code)));
}

Error av_error(int code, std::string context) {
    return av_error(code).context(std::move(context));
}

// FFmpeg writes its own diagnostics to standard error; the program's streams
// carry only its own lines, so the library is silenced once per process.
void quiet_ffmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// The MP4 file behind a descriptor of our own. avio_open would follow a link
// planted at the name; this never opens through a link. It creates the file,
// or empties the one that a recording's claim on its destination created and
// holds locked, and the muxer seeks in it as usual.
class FileOutput {
  public:
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;
    ~FileOutput() {
        if (io_ != nullptr) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    static Result<std::unique_ptr<FileOutput>> create(const std::string& file) {
        const int fd =
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            return std::unexpected(av_error(AVERROR(errno), "creating " + file));
        }
        auto output = std::unique_ptr<FileOutput>(new FileOutput(fd));
        constexpr int kBufferSize = 1 << 16;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        if (buffer != nullptr) {
            output->io_ = avio_alloc_context(buffer, kBufferSize, 1, output.get(), nullptr,
                                             &FileOutput::write_packet, &FileOutput::seek);
        }
        if (output->io_ == nullptr) {
            av_free(buffer);
            return std::unexpected(Error("out of memory for the MP4 file's buffer"));
        }
        return output;
    }

    [[nodiscard]] AVIOContext* io() const { return io_; }

    // Writes out what is buffered and closes the file; the first failure wins.
    [[nodiscard]] int close() {
        avio_flush(io_);
        int rc = io_->error;
        if (::close(std::exchange(fd_, -1)) != 0 && rc >= 0) {
            rc = AVERROR(errno);
        }
        return rc;
    }

  private:
    explicit FileOutput(int fd) : fd_(fd) {}

    static int write_packet(void* opaque, std::uint8_t* data, int size) {
        const int fd = static_cast<FileOutput*>(opaque)->fd_;
        int left = size;
        while (left > 0) {
            const ssize_t written = ::write(fd, data, static_cast<std::size_t>(left));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return written < 0 ? AVERROR(errno) : AVERROR(EIO);
            }
            data += written;
            left -= static_cast<int>(written);
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        const int fd = static_cast<FileOutput*>(opaque)->fd_;
        if ((whence & AVSEEK_SIZE) != 0) {
            struct stat status {};
            return ::fstat(fd, &status) == 0 ? static_cast<std::int64_t>(status.st_size)
                                             : AVERROR(errno);
        }
        const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
    }

    int fd_;
    AVIOContext* io_ = nullptr;
};

class FfmpegEncoder final : public VideoEncoder {
  public:
    FfmpegEncoder(std::unique_ptr<FileOutput> output, FormatContextPtr format,
                  CodecContextPtr codec, AVStream* stream, BufferRefPtr hw_frames,
                  std::uint32_t width, std::uint32_t height)
        : output_(std::move(output)),
          format_(std::move(format)),
          codec_(std::move(codec)),
          stream_(stream),
          hw_frames_(std::move(hw_frames)),
          width_(width),
          height_(height) {}

    static Result<std::unique_ptr<FfmpegEncoder>> open(const std::filesystem::path& path,
                                                       std::string_view name, std::uint32_t width,
                                                       std::uint32_t height, std::uint32_t fps);

    CliStatus write_frame(const std::uint8_t* pixels, std::size_t length,
                          std::uint64_t index) override {
        if (Status checked = check_frame_write(!finished_, length, width_, height_); !checked) {
            return std::unexpected(CliError::from(checked.error()));
        }
        if (Status written = encode(pixels, index); !written) {
            return std::unexpected(CliError::from(written.error()));
        }
        return {};
    }

    CliStatus finish() override {
        if (finished_) {
            return {};
        }
        finished_ = true;
        Status done = flush_and_close();
        if (!done) {
            return std::unexpected(CliError::from(done.error()));
        }
        return {};
    }

  private:
    Status prepare_frames();
    Status encode(const std::uint8_t* bgra, std::uint64_t index);
    Status send(AVFrame* frame);
    Status flush_and_close();

    std::unique_ptr<FileOutput> output_;  // outlives format_, which writes through it
    FormatContextPtr format_;
    CodecContextPtr codec_;
    AVStream* stream_;        // owned by format_
    BufferRefPtr hw_frames_;  // set for encoders that take hardware surfaces
    FramePtr frame_;          // the YUV picture handed to the encoder
    FramePtr hw_frame_;
    PacketPtr packet_;
    std::uint32_t width_;
    std::uint32_t height_;
    bool finished_ = false;
};

bool wants_hardware_frames(std::string_view name) {
    return name == "h264_vaapi";
}

Result<BufferRefPtr> make_vaapi_frames(std::uint32_t width, std::uint32_t height) {
    AVBufferRef* device = nullptr;
    if (const int rc = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        rc < 0) {
        return std::unexpected(av_error(rc, "no VAAPI device"));
    }
    const BufferRefPtr device_ref(device);
    BufferRefPtr frames(av_hwframe_ctx_alloc(device_ref.get()));
    if (!frames) {
        return std::unexpected(Error("av_hwframe_ctx_alloc returned nothing"));
    }
    auto* context = reinterpret_cast<AVHWFramesContext*>(frames->data);
    context->format = AV_PIX_FMT_VAAPI;
    context->sw_format = AV_PIX_FMT_NV12;
    context->width = static_cast<int>(width);
    context->height = static_cast<int>(height);
    context->initial_pool_size = 8;
    if (const int rc = av_hwframe_ctx_init(frames.get()); rc < 0) {
        return std::unexpected(av_error(rc, "VAAPI surfaces"));
    }
    return frames;
}

Result<std::unique_ptr<FfmpegEncoder>> FfmpegEncoder::open(const std::filesystem::path& path,
                                                           std::string_view name,
                                                           std::uint32_t width,
                                                           std::uint32_t height,
                                                           std::uint32_t fps) {
    const std::string codec_name(name);
    const AVCodec* codec = avcodec_find_encoder_by_name(codec_name.c_str());
    if (codec == nullptr) {
        return std::unexpected(Error(codec_name + " is not in this FFmpeg build"));
    }
    const int rate = static_cast<int>(std::max<std::uint32_t>(fps, 1));

    AVFormatContext* raw_format = nullptr;
    const std::string file = path.string();
    if (const int rc = avformat_alloc_output_context2(&raw_format, nullptr, "mp4", file.c_str());
        rc < 0 || raw_format == nullptr) {
        return std::unexpected(av_error(rc < 0 ? rc : AVERROR_UNKNOWN, "preparing the MP4 file"));
    }
    FormatContextPtr format(raw_format);
    AVStream* stream = avformat_new_stream(format.get(), nullptr);
    if (stream == nullptr) {
        return std::unexpected(Error("avformat_new_stream returned nothing"));
    }
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        return std::unexpected(Error("avcodec_alloc_context3 returned nothing"));
    }
    context->width = static_cast<int>(width);
    context->height = static_cast<int>(height);
    context->time_base = AVRational{1, rate};
    context->framerate = AVRational{rate, 1};
    context->sample_aspect_ratio = AVRational{1, 1};
    context->bit_rate = encoder_bitrate(width, height, fps);
    context->gop_size = rate * 2;
    // Without B-frames every packet is written in the order it was encoded.
    context->max_b_frames = 0;
    context->pix_fmt = AV_PIX_FMT_YUV420P;

    BufferRefPtr hw_frames;
    if (wants_hardware_frames(name)) {
        Result<BufferRefPtr> frames = make_vaapi_frames(width, height);
        if (!frames) {
            return std::unexpected(std::move(frames.error()));
        }
        hw_frames = std::move(*frames);
        context->pix_fmt = AV_PIX_FMT_VAAPI;
        context->hw_frames_ctx = av_buffer_ref(hw_frames.get());
    }
    if (name == "libx264") {
        // Measured on two cores: superfast keeps up to 1080p30 with room for the
        // capture; above that only ultrafast holds the rate.
        const std::uint64_t pixel_rate =
            std::uint64_t{width} * height * static_cast<std::uint64_t>(rate);
        const char* preset = pixel_rate > 1920ull * 1080 * 30 ? "ultrafast" : "superfast";
        av_opt_set(context->priv_data, "preset", preset, 0);
        av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    }
    if ((format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (const int rc = avcodec_open2(context.get(), codec, nullptr); rc < 0) {
        return std::unexpected(av_error(rc, codec_name + " would not open"));
    }
    if (const int rc = avcodec_parameters_from_context(stream->codecpar, context.get()); rc < 0) {
        return std::unexpected(av_error(rc, "describing the video track"));
    }
    stream->time_base = context->time_base;
    stream->avg_frame_rate = context->framerate;

    Result<std::unique_ptr<FileOutput>> output = FileOutput::create(file);
    if (!output) {
        return std::unexpected(std::move(output.error()));
    }
    format->pb = (*output)->io();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (const int rc = avformat_write_header(format.get(), nullptr); rc < 0) {
        return std::unexpected(av_error(rc, "writing the MP4 header"));
    }
    auto encoder =
        std::make_unique<FfmpegEncoder>(std::move(*output), std::move(format), std::move(context),
                                        stream, std::move(hw_frames), width, height);
    if (Status ready = encoder->prepare_frames(); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    return encoder;
}

Status FfmpegEncoder::prepare_frames() {
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) {
        return std::unexpected(Error("out of memory for the video frame"));
    }
    frame_->format = hw_frames_ ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    frame_->width = static_cast<int>(width_);
    frame_->height = static_cast<int>(height_);
    if (const int rc = av_frame_get_buffer(frame_.get(), 0); rc < 0) {
        return std::unexpected(av_error(rc, "allocating the video frame"));
    }
    if (hw_frames_) {
        hw_frame_.reset(av_frame_alloc());
        if (!hw_frame_) {
            return std::unexpected(Error("out of memory for the video frame"));
        }
    }
    return {};
}

Status FfmpegEncoder::encode(const std::uint8_t* bgra, std::uint64_t index) {
    // The encoder may still hold the previous picture; this gives a fresh buffer then.
    if (const int rc = av_frame_make_writable(frame_.get()); rc < 0) {
        return std::unexpected(av_error(rc, "allocating the video frame"));
    }
    const int w = static_cast<int>(width_);
    const int h = static_cast<int>(height_);
    // libyuv's "ARGB" is the little-endian word, that is B, G, R, A in memory.
    int converted = 0;
    if (hw_frames_) {
        converted = libyuv::ARGBToNV12(bgra, w * 4, frame_->data[0], frame_->linesize[0],
                                       frame_->data[1], frame_->linesize[1], w, h);
    } else {
        converted =
            libyuv::ARGBToI420(bgra, w * 4, frame_->data[0], frame_->linesize[0], frame_->data[1],
                               frame_->linesize[1], frame_->data[2], frame_->linesize[2], w, h);
    }
    if (converted != 0) {
        return std::unexpected(Error("the picture could not be converted to YUV 4:2:0"));
    }
    frame_->pts = static_cast<std::int64_t>(index);
    if (!hw_frames_) {
        return send(frame_.get());
    }
    av_frame_unref(hw_frame_.get());
    if (const int rc = av_hwframe_get_buffer(hw_frames_.get(), hw_frame_.get(), 0); rc < 0) {
        return std::unexpected(av_error(rc, "taking a VAAPI surface"));
    }
    if (const int rc = av_hwframe_transfer_data(hw_frame_.get(), frame_.get(), 0); rc < 0) {
        return std::unexpected(av_error(rc, "uploading the picture"));
    }
    hw_frame_->pts = frame_->pts;
    return send(hw_frame_.get());
}

// Hands one picture (or, with null, the end of the stream) to the encoder and
// writes every packet it has ready.
Status FfmpegEncoder::send(AVFrame* frame) {
    if (const int rc = avcodec_send_frame(codec_.get(), frame); rc < 0) {
        return std::unexpected(av_error(rc, "encoding a frame"));
    }
    for (;;) {
        const int rc = avcodec_receive_packet(codec_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return {};
        }
        if (rc < 0) {
            return std::unexpected(av_error(rc, "encoding a frame"));
        }
        if (packet_->duration == 0) {
            packet_->duration = 1;
        }
        av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        // Takes the packet's data; the packet is blank again afterwards.
        if (const int written = av_interleaved_write_frame(format_.get(), packet_.get());
            written < 0) {
            return std::unexpected(av_error(written, "writing to the MP4 file"));
        }
    }
}

Status FfmpegEncoder::flush_and_close() {
    Status flushed = send(nullptr);
    if (!flushed) {
        return flushed;
    }
    if (const int rc = av_write_trailer(format_.get()); rc < 0) {
        return std::unexpected(av_error(rc, "finishing the MP4 file"));
    }
    if (const int rc = output_->close(); rc < 0) {
        return std::unexpected(av_error(rc, "closing the MP4 file"));
    }
    return {};
}

}  // namespace

bool is_hardware_encoder(std::string_view name) {
    return name == "h264_vaapi" || name == "h264_nvenc" || name == "h264_qsv";
}

Result<std::unique_ptr<VideoEncoder>> open_ffmpeg_encoder(
    const std::filesystem::path& path, std::uint32_t width, std::uint32_t height, std::uint32_t fps,
    std::span<const std::string_view> encoders, EncoderLog log) {
    if (Status even = check_even_size(width, height); !even) {
        return std::unexpected(std::move(even.error()));
    }
    quiet_ffmpeg();
    // An encoder missing from this build tried nothing, so its absence must not
    // hide why a real one failed (a full disk, say); only when none is built in
    // does the absence itself get reported.
    std::vector<std::string_view> built_in;
    for (const std::string_view name : encoders) {
        if (avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr) {
            built_in.push_back(name);
        }
    }
    if (built_in.empty()) {
        built_in.assign(encoders.begin(), encoders.end());
    }
    using Opened = std::unique_ptr<VideoEncoder>;
    std::vector<EncoderAttempt<Opened>> attempts;
    attempts.reserve(built_in.size());
    for (const std::string_view name : built_in) {
        attempts.push_back(
            {is_hardware_encoder(name), [&path, name, width, height, fps]() -> Result<Opened> {
                 Result<std::unique_ptr<FfmpegEncoder>> opened =
                     FfmpegEncoder::open(path, name, width, height, fps);
                 if (!opened) {
                     return std::unexpected(std::move(opened.error()));
                 }
                 return Opened(std::move(*opened));
             }});
    }
    return open_first_encoder<Opened>(
        attempts, width, height, fps,
        [&path] {
            // Emptied, not removed: a recording holds its temporary by a lock
            // on this very file, which a new file of the same name would lose.
            const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
            }
        },
        [log](const Error& refused) {
            if (log != nullptr) {
                log(LogLevel::kInfo, kLogTarget, hardware_fallback_message(refused.message()));
            }
        });
}

}  // namespace vantle::x11
