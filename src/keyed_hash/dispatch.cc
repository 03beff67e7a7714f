// Which kernels may serve: CPU features read once, then a known-answer check
// through each fast kernel before it is trusted. A kernel that gets a
// published digest wrong is never chosen; Portable serves instead.
#include <cstring>

#include "keyed_hash/hmac.h"
#include "keyed_hash/sha256_internal.h"

#ifdef QM_X86_KERNELS
#include <cpuid.h>
#endif

namespace quillon::keyed_hash {

#ifdef QM_X86_KERNELS
namespace internal {

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = [] {
    CpuFeatures f;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    // The OS must save the ymm registers (XCR0 bits 1 and 2) for AVX code
    // to be safe.
    bool ymm_saved = false;
    if ((ecx & bit_OSXSAVE) != 0) {
      unsigned xcr0_lo = 0, xcr0_hi = 0;
      __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
      ymm_saved = (xcr0_lo & 0x6) == 0x6;
    }
    if (__get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    f.sha = ssse3 && sse41 && (ebx & bit_SHA) != 0;
    f.avx2 = avx && ymm_saved && (ebx & bit_AVX2) != 0;
    return f;
  }();
  return features;
}

}  // namespace internal
#endif

namespace {

// RFC 4231 test cases 6 and 7 share a 131-byte key (hashed first); case 6's
// data is 54 bytes (one block), case 7's is 152 (three blocks).
const char kCase6Data[] = "Test Using Larger Than Block-Size Key - Hash Key First";
const char kCase6Digest[] = "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54";
const char kCase7Data[] =
    "This is a test using a larger than block-size key and a larger than block-size data. The "
    "key needs to be hashed before being used by the HMAC algorithm.";
const char kCase7Digest[] = "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2";

bool cpu_supports(Kernel kernel) {
#ifdef QM_X86_KERNELS
  switch (kernel) {
    case Kernel::ShaNi:
      return internal::cpu_features().sha;
    case Kernel::Avx2:
      return internal::cpu_features().avx2;
    case Kernel::Portable:
      return true;
  }
  return false;
#else
  return kernel == Kernel::Portable;
#endif
}

}  // namespace

// Two full groups of short messages and two of long ones, alternating, so
// every lane of both group kinds is checked, plus a lone remainder.
bool passes_known_answers(Kernel kernel) {
  std::string key(131, '\xaa');
  const PreparedKey prepared(key, kernel, PreparedKey::Unchecked{});
  constexpr std::size_t kCount = 33;
  Message msgs[kCount];
  char digests[kCount][kHexDigestLength];
  char* outs[kCount];
  for (std::size_t i = 0; i < kCount; ++i) {
    const std::string_view data = i % 2 == 0 ? kCase6Data : kCase7Data;
    msgs[i] = {data.substr(0, i % 5), data.substr(i % 5)};
    outs[i] = digests[i];
  }
  MessageList list(msgs, kCount, outs);
  prepared.hex_digests(list.source());
  for (std::size_t i = 0; i < kCount; ++i) {
    const char* expected = i % 2 == 0 ? kCase6Digest : kCase7Digest;
    if (std::memcmp(digests[i], expected, kHexDigestLength) != 0) return false;
  }
  return true;
}

bool kernel_available(Kernel kernel) {
  static const bool sha_ni = cpu_supports(Kernel::ShaNi) && passes_known_answers(Kernel::ShaNi);
  static const bool avx2 = cpu_supports(Kernel::Avx2) && passes_known_answers(Kernel::Avx2);
  switch (kernel) {
    case Kernel::Portable:
      return true;
    case Kernel::ShaNi:
      return sha_ni;
    case Kernel::Avx2:
      return avx2;
  }
  return false;
}

const char* kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::Portable:
      return "portable";
    case Kernel::ShaNi:
      return "sha-ni";
    case Kernel::Avx2:
      return "avx2";
  }
  return "portable";
}

}  // namespace quillon::keyed_hash
