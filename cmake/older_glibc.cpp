// Lets the library run on glibc 2.34, below the Debian 12 toolchain it is built
// with. The C++ runtime linked into it calls arc4random (glibc 2.36) inside
// std::random_device, which nothing of vorn uses; the link sends that call
// here (-Wl,--wrap=arc4random), to the same kind of answer from getrandom
// (glibc 2.25). Hidden: the version script exports nothing of it either.
#include <sys/random.h>

#include <cstddef>
#include <cstdint>

extern "C" [[gnu::visibility("hidden")]] uint32_t __wrap_arc4random() {
  uint32_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  size_t filled = 0;
  while (filled < sizeof value) {
    // Interrupted or short reads go round again; the kernel's pool never runs dry.
    const ssize_t got = getrandom(bytes + filled, sizeof value - filled, 0);
    if (got > 0) filled += static_cast<size_t>(got);
  }
  return value;
}
