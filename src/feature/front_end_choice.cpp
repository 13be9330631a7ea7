// Which code analyses the frames: what this build and processor can run,
// and the widest of them for kFastest. A front end the processor lacks is
// never run: it falls back to the widest it has.
#include "feature.h"

bool frontEndSupported(FrontEnd frontEnd) {
  switch (frontEnd) {
    case FrontEnd::kStraightforward:
    case FrontEnd::kBaseline:
    case FrontEnd::kFastest:
      return true;
#if defined(FEATURE_X86_KERNELS)
    case FrontEnd::kAvx2:
      return __builtin_cpu_supports("avx2");
    case FrontEnd::kAvx512:
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

FrontEnd resolveFrontEnd(FrontEnd frontEnd) {
  if (frontEnd != FrontEnd::kFastest && frontEndSupported(frontEnd)) return frontEnd;
  if (frontEndSupported(FrontEnd::kAvx512)) return FrontEnd::kAvx512;
  if (frontEndSupported(FrontEnd::kAvx2)) return FrontEnd::kAvx2;
  return FrontEnd::kBaseline;
}

const char* frontEndName(FrontEnd frontEnd) {
  switch (frontEnd) {
    case FrontEnd::kStraightforward: return "straightforward";
    case FrontEnd::kBaseline: return "baseline";
    case FrontEnd::kAvx2: return "avx2";
    case FrontEnd::kAvx512: return "avx512";
    case FrontEnd::kFastest: return "fastest";
  }
  return "?";
}
