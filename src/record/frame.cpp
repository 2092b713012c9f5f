#include <cstdio>
#include <cstdlib>

#include "record/frame.h"

namespace vantle {

void check_frame_buffer(const Frame& frame) {
    const std::size_t needed = std::size_t{frame.width} * frame.height * 4;
    if (frame.pixels.size() < needed) {
        // A short buffer is a bug in a frame source; copying from it would read
        // past its end, so stop before anything is written with it.
        std::fputs("vantle: a frame's buffer always matches its size\n", stderr);
        std::abort();
    }
}

RgbaImage to_rgba(const Frame& frame) {
    check_frame_buffer(frame);
    RgbaImage image;
    image.width = frame.width;
    image.height = frame.height;
    const std::size_t length = std::size_t{frame.width} * frame.height * 4;
    image.pixels.assign(frame.pixels.begin(),
                        frame.pixels.begin() + static_cast<std::ptrdiff_t>(length));
    for (std::size_t i = 0; i < length; i += 4) {
        std::swap(image.pixels[i], image.pixels[i + 2]);
        image.pixels[i + 3] = 255;
    }
    return image;
}

}  // namespace vantle
