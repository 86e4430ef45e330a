#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zimlo {

// A 128-bit universally unique identifier held as its 16 bytes. The default value is the nil
// UUID (all zero). Its text form is the canonical 36-character 8-4-4-4-12 form with upper-case
// hexadecimal digits; parsing accepts either case.
class Uuid {
  public:
    using Bytes = std::array<uint8_t, 16>;

    Uuid() = default;
    explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // A fresh random (version 4) identifier.
    static Uuid generate();
    // The identifier written in canonical form (either case); nothing for any other text.
    static std::optional<Uuid> parse(std::string_view text);

    // Canonical upper-case form, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }
    bool isNil() const;

    friend auto operator<=>(const Uuid&, const Uuid&) = default;
    friend bool operator==(const Uuid&, const Uuid&) = default;

  private:
    Bytes bytes_{};
};

}  // namespace zimlo

template <>
struct std::hash<zimlo::Uuid> {
    size_t operator()(const zimlo::Uuid& id) const noexcept;
};
