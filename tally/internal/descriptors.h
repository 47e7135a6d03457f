// How forktally's process workers count the descriptors a process has open,
// for the descriptor check of reserve_descriptors and its tests.
#pragma once

// The descriptors open in this process, as /proc/self/fd lists them; -1 when
// it cannot be read (no /proc mounted, for instance).
long long descriptors_listed();

// The descriptors open below `limit`, counted by asking fcntl(F_GETFD) about
// each number from 0 up: the count where /proc cannot tell. Descriptors at
// or above the limit take no room below it and are not counted. The probe
// stops once `room` numbers have been found free: the count is then that of
// the open ones among the numbers probed, and `room` more descriptors fit
// below the limit. One fcntl call per number probed; safe in any thread, but
// descriptors opened or closed meanwhile may or may not be counted.
long long descriptors_probed(long long limit, long long room);
