#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace vantle {

// A failure as a value: an outermost context and the chain of causes beneath it.
// Rendered as "context: cause: cause". A log line quotes only `message()`.
class Error {
  public:
    explicit Error(std::string message);

    // Wraps this error as the cause of a new outer context.
    [[nodiscard]] Error context(std::string outer) &&;
    [[nodiscard]] Error context(std::string outer) const&;

    // The outermost message only.
    [[nodiscard]] const std::string& message() const { return chain_.front(); }
    // The whole chain, outermost first.
    [[nodiscard]] const std::vector<std::string>& chain() const { return chain_; }
    // "context: cause: cause".
    [[nodiscard]] std::string render() const;

    friend bool operator==(const Error&, const Error&) = default;

  private:
    std::vector<std::string> chain_;  // never empty
};

template <typename T>
using Result = std::expected<T, Error>;

using Status = std::expected<void, Error>;

// The system's description of an operating-system error code followed by the
// code as "(0x%08X)"; see os_error.h for the system-specific lookup.
[[nodiscard]] std::string format_os_error(std::string_view system_text, std::uint32_t code);

}  // namespace vantle
