#include "stream_store.hpp"

#include <unistd.h>

#include <fstream>
#include <string>

namespace tavro {

size_t last_level_cache_bytes() {
  static const size_t bytes = [] {
    // The kernel's description of cpu0's caches comes first: on this project's virtual machines
    // the processor reports the whole package's last level (384 MiB) where the kernel gives the
    // 32 MiB that one core shares.
    size_t top_level = 0, top_bytes = 0;
    for (int i = 0; i < 8; ++i) {
      const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(i);
      size_t level = 0, size = 0;
      char unit = 0;  // "32768K"
      if (!(std::ifstream(dir + "/level") >> level) ||
          !(std::ifstream(dir + "/size") >> size >> unit))
        continue;
      const size_t scale = unit == 'K' ? size_t{1} << 10 : unit == 'M' ? size_t{1} << 20 : 1;
      if (level >= top_level) top_level = level, top_bytes = size * scale;
    }
    if (top_bytes > 0) return top_bytes;
    long n = -1;
#ifdef _SC_LEVEL3_CACHE_SIZE
    n = sysconf(_SC_LEVEL3_CACHE_SIZE);
#endif
    return n > 0 ? static_cast<size_t>(n) : size_t{32} << 20;
  }();
  return bytes;
}

}  // namespace tavro
