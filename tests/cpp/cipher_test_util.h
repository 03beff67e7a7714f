// Every cipher test runs once per AES kernel, each forced in turn.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "block_cipher/aes.h"

namespace quillon::block_cipher {

inline const Kernel kAllKernels[] = {Kernel::Portable, Kernel::AesNi};

inline std::string kernel_test_name(Kernel kernel) {
  return kernel == Kernel::AesNi ? "AesNi" : "Portable";
}

class KernelTest : public ::testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (!kernel_available(GetParam())) GTEST_SKIP() << "not on this CPU";
  }
};

#define QM_FOR_EVERY_KERNEL(Suite)                                    \
  INSTANTIATE_TEST_SUITE_P(Kernels, Suite, ::testing::ValuesIn(kAllKernels), \
                           [](const auto& info) { return kernel_test_name(info.param); })

}  // namespace quillon::block_cipher
