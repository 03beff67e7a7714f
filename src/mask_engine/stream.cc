#include "mask_engine/stream.h"

#include "arrow_c/owner.h"

namespace mask_engine {

arrow_c::Status open_mask_stream(ArrowArrayStream* source, MaskPipeline /*pipeline*/,
                                 StreamSettings /*settings*/, ArrowArrayStream* /*out*/) {
  arrow_c::StreamOwner owned = arrow_c::StreamOwner::take(source);
  return arrow_c::Status::Invalid("masking a stream is not built yet");
}

}  // namespace mask_engine
