#include <zel_phaser.h>

int main(void) {
  zel_phaser_t phaser;
  if (zel_phaser_init(&phaser, 1) != 0) return 1;
  if (zel_phaser_advance_and_await(&phaser) != 0) return 2;
  if (zel_phaser_current(&phaser) != 1) return 3;
  return zel_phaser_destroy(&phaser) == 0 ? 0 : 4;
}
