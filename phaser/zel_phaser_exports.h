/*
 * zel_phaser_exports.h - compiled into the shared library ahead of each
 * source (-include). The library is built with hidden visibility; this gives
 * the declarations of the public header, and only those, default
 * visibility, so that the shared library exports exactly the API without an
 * export macro on each declaration. The version script zel_phaser.map then
 * versions the exported functions and keeps everything else local.
 */
#pragma GCC visibility push(default)
#include "zel_phaser.h"
#pragma GCC visibility pop
