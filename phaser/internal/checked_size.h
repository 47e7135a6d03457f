// Byte counts computed without wrapping. Internal to the phaser.
#ifndef ZEL_PHASER_INTERNAL_CHECKED_SIZE_H
#define ZEL_PHASER_INTERNAL_CHECKED_SIZE_H

#include <type_traits>

namespace zel_detail {

// Stores count * each + extra in *out and returns true, or returns false,
// leaving *out unspecified, when the result does not fit in Size. A
// template so that the 32-bit case can be tested on a 64-bit host.
template <typename Size>
bool checked_size(Size count, Size each, Size extra, Size *out) {
  static_assert(std::is_unsigned_v<Size>);
  Size product;
  return !__builtin_mul_overflow(count, each, &product) &&
         !__builtin_add_overflow(product, extra, out);
}

}  // namespace zel_detail

#endif  // ZEL_PHASER_INTERNAL_CHECKED_SIZE_H
