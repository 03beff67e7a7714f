// Answers the module's `#include <openssl/crypto.h>` while its key copy is
// still wiped with OPENSSL_cleanse: that one function, as quillon_hash::wipe,
// so the module links no libcrypto. Goes when the module calls
// quillon_hash::wipe itself.
#pragma once

#include <cstddef>

#include "keyed_hash/hmac.h"

inline void OPENSSL_cleanse(void* p, std::size_t n) { quillon_hash::wipe(p, n); }
