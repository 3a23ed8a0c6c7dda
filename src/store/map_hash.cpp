#include "store/map_hash.hpp"

#include <atomic>
#include <cerrno>
#include <random>
#include <system_error>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace derirezaro::store {

namespace {

HashSeed read_process_secret() {
  HashSeed secret;
#if defined(__linux__)
  unsigned char* out = reinterpret_cast<unsigned char*>(&secret);
  size_t filled = 0;
  while (filled < sizeof secret) {
    const ssize_t got = getrandom(out + filled, sizeof secret - filled, 0);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;  // no getrandom (old kernel, seccomp): fall back below
    }
  }
  if (filled == sizeof secret) return secret;
#endif
  std::random_device device;  // throws std::system_error if it has no source
  auto word = [&] { return (static_cast<uint64_t>(device()) << 32) | device(); };
  secret.k0 = word();
  secret.k1 = word();
  return secret;
}

}  // namespace

HashSeed fresh_hash_seed() {
  // Initialised on first use; a throwing initialiser leaves it for the next
  // call to retry.
  static const HashSeed secret = read_process_secret();
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  // Two distinct messages per seed, (n, 0) and (n, 1), one per half.
  const uint64_t message[2][2] = {{n, 0}, {n, 1}};
  return {siphash13(secret.k0, secret.k1, message[0], sizeof message[0]),
          siphash13(secret.k0, secret.k1, message[1], sizeof message[1])};
}

}  // namespace derirezaro::store
