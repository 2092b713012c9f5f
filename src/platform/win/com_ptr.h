#pragma once

#include <unknwn.h>

#include <cstddef>
#include <utility>

namespace vantle::win {

// One counted COM reference, released when its holder ends, on every path.
template <typename T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ~ComPtr() { reset(); }

    ComPtr(const ComPtr& other) : raw_(other.raw_) {
        if (raw_ != nullptr) {
            raw_->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(raw_, other.raw_);
        return *this;
    }

    // Takes over a reference the caller already owns.
    [[nodiscard]] static ComPtr adopt(T* raw) {
        ComPtr owned;
        owned.raw_ = raw;
        return owned;
    }

    [[nodiscard]] T* get() const { return raw_; }
    T* operator->() const { return raw_; }
    explicit operator bool() const { return raw_ != nullptr; }

    void reset() {
        if (T* raw = std::exchange(raw_, nullptr)) {
            raw->Release();
        }
    }
    // The slot an out-parameter fills; whatever was held is released first.
    [[nodiscard]] T** put() {
        reset();
        return &raw_;
    }
    [[nodiscard]] void** put_void() { return reinterpret_cast<void**>(put()); }

    // QueryInterface into `out` for `iid`, which must be U's identifier.
    template <typename U>
    [[nodiscard]] HRESULT query(const IID& iid, ComPtr<U>& out) const {
        if (raw_ == nullptr) {
            out.reset();
            return E_POINTER;
        }
        return raw_->QueryInterface(iid, out.put_void());
    }

  private:
    T* raw_ = nullptr;
};

}  // namespace vantle::win
