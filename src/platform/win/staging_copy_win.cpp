#include "platform/win/staging_copy.h"

#include <cstdint>
#include <utility>

#include "support/os_error.h"

namespace vantle::wgc {

namespace {

Error hresult_error(HRESULT hr) {
    return Error(os_error_text(static_cast<std::uint32_t>(hr)));
}

// Unmaps the staging texture however the copy out of it ends.
class MappedStaging {
  public:
    MappedStaging(ID3D11DeviceContext& context, ID3D11Texture2D& texture)
        : context_(context), texture_(texture) {}
    MappedStaging(const MappedStaging&) = delete;
    MappedStaging& operator=(const MappedStaging&) = delete;
    ~MappedStaging() {
        if (mapped_) {
            context_.Unmap(&texture_, 0);
        }
    }
    HRESULT map(D3D11_MAPPED_SUBRESOURCE& out) {
        const HRESULT hr = context_.Map(&texture_, 0, D3D11_MAP_READ, 0, &out);
        mapped_ = SUCCEEDED(hr);
        return hr;
    }

  private:
    ID3D11DeviceContext& context_;
    ID3D11Texture2D& texture_;
    bool mapped_ = false;
};

Result<ID3D11Texture2D*> staging_texture(ID3D11Device& device, StagingCache& cache,
                                         const D3D11_TEXTURE2D_DESC& source, const CropRect& rect) {
    const SurfaceSize wanted{rect.width, rect.height};
    if (cache.texture && cache.size == wanted) {
        return cache.texture.get();
    }
    D3D11_TEXTURE2D_DESC description = source;
    description.Width = rect.width;
    description.Height = rect.height;
    description.MipLevels = 1;
    description.ArraySize = 1;
    description.Usage = D3D11_USAGE_STAGING;
    description.BindFlags = 0;
    description.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    description.MiscFlags = 0;
    win::ComPtr<ID3D11Texture2D> created;
    if (const HRESULT hr = device.CreateTexture2D(&description, nullptr, created.put());
        FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    if (!created) {
        return std::unexpected(Error("CreateTexture2D returned nothing"));
    }
    cache.texture = std::move(created);
    cache.size = wanted;
    return cache.texture.get();
}

}  // namespace

Result<FrameHandle> copy_texture_rect(ID3D11Device& device, ID3D11DeviceContext& context,
                                      StagingCache& cache, ID3D11Texture2D& source,
                                      const D3D11_TEXTURE2D_DESC& description,
                                      const CropRect& rect) {
    Result<ID3D11Texture2D*> staging = staging_texture(device, cache, description, rect);
    if (!staging) {
        return std::unexpected(std::move(staging.error()));
    }
    const auto left = static_cast<UINT>(rect.x);
    const auto top = static_cast<UINT>(rect.y);
    const D3D11_BOX box{left, top, 0, left + rect.width, top + rect.height, 1};
    context.CopySubresourceRegion(*staging, 0, 0, 0, 0, &source, 0, &box);
    MappedStaging mapping(context, **staging);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (const HRESULT hr = mapping.map(mapped); FAILED(hr)) {
        return std::unexpected(hresult_error(hr));
    }
    return frame_from_mapped_rows(static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch,
                                  rect.width, rect.height);
}

}  // namespace vantle::wgc
