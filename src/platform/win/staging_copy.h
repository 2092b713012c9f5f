#pragma once

#include <d3d11.h>

#include "platform/win/com_ptr.h"
#include "record/capture_arrival.h"
#include "support/error.h"

namespace vantle::wgc {

// The CPU-readable texture a capture copies through, kept while the copied
// size stays the same so a steady recording allocates none per frame.
struct StagingCache {
    win::ComPtr<ID3D11Texture2D> texture;
    SurfaceSize size;
};

// Copies `rect` of subresource 0 of `source` (described by `description`)
// through the cached staging texture (replaced when its size differs) into a
// new tight Frame. The caller holds the device lock: the context and the cache
// are used here alone.
[[nodiscard]] Result<FrameHandle> copy_texture_rect(ID3D11Device& device,
                                                    ID3D11DeviceContext& context,
                                                    StagingCache& cache, ID3D11Texture2D& source,
                                                    const D3D11_TEXTURE2D_DESC& description,
                                                    const CropRect& rect);

}  // namespace vantle::wgc
