// The keyed hash reports failures as values with the project's Result.
#pragma once

#include "common/result.h"

namespace quillon_hash {
using qm::Result;
}  // namespace quillon_hash
