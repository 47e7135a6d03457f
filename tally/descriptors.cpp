// How forktally's process workers count the descriptors a process has open:
// from /proc/self/fd, or by asking fcntl about each number in turn.
#include "internal/descriptors.h"

#include <dirent.h>
#include <fcntl.h>

long long descriptors_listed() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long long n = 0;
  while (const dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') n++;
  closedir(dir);
  return n - 1;  // the directory's own descriptor
}

long long descriptors_probed(long long limit, long long room) {
  long long open = 0;
  for (long long fd = 0; fd < limit && fd - open < room; fd++)
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) open++;
  return open;
}
