// Small sets over an enumeration, stored as bits: bit n stands for the value
// of ordinal n. The stored integer is what the components write to files and
// registry values (a log's options are the byte 0x5B by default).
#pragma once

#include <cstdint>
#include <initializer_list>

template <class E, class Bits = std::uint8_t>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> values) {
    for (E v : values) Include(v);
  }
  static constexpr TSet FromBits(Bits bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }

  constexpr Bits ToBits() const { return bits_; }
  constexpr bool Contains(E v) const { return (bits_ & Mask(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSet &Include(E v) {
    bits_ = static_cast<Bits>(bits_ | Mask(v));
    return *this;
  }
  constexpr TSet &Exclude(E v) {
    bits_ = static_cast<Bits>(bits_ & ~Mask(v));
    return *this;
  }

  constexpr TSet operator+(TSet o) const { return FromBits(static_cast<Bits>(bits_ | o.bits_)); }
  constexpr TSet operator-(TSet o) const { return FromBits(static_cast<Bits>(bits_ & ~o.bits_)); }
  constexpr TSet operator*(TSet o) const { return FromBits(static_cast<Bits>(bits_ & o.bits_)); }
  constexpr bool operator==(const TSet &) const = default;

 private:
  static constexpr Bits Mask(E v) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(v)); }
  Bits bits_ = 0;
};
