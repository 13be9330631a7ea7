// Which code analyses the frames: one table of the front ends (name, help,
// kernel, lanes), what this build and processor can run, and the widest of
// them for kFastest. A front end the processor lacks is never run: it falls
// back to the widest it has.
#include <array>
#include <iterator>
#include <string_view>

#include "fast_front_end.h"
#include "feature.h"

namespace {

using namespace fast_front_end;

bool processorHas(FrontEnd frontEnd) {
#if defined(FEATURE_X86_KERNELS)
  if (frontEnd == FrontEnd::kAvx2) return __builtin_cpu_supports("avx2");
  if (frontEnd == FrontEnd::kAvx512) return __builtin_cpu_supports("avx512f");
#endif
  return frontEnd != FrontEnd::kAvx2 && frontEnd != FrontEnd::kAvx512;
}

// In the order --front-end lists them; the enumerator is not the index.
const FrontEndChoice kChoices[] = {
    {FrontEnd::kFastest, "fastest", "the widest this processor has (the default)", nullptr, 0, nullptr},
#if defined(FEATURE_X86_KERNELS)
    {FrontEnd::kAvx512, "avx512", "8 frames at a time in AVX-512 lanes", avx512::analyseFrames, avx512::kLanes,
     audio::dotAvx2},
    {FrontEnd::kAvx2, "avx2", "4 frames at a time in AVX2 lanes", avx2::analyseFrames, avx2::kLanes, audio::dotAvx2},
#else
    {FrontEnd::kAvx512, "avx512", "8 frames at a time in AVX-512 lanes (x86-64 only)", nullptr, 0, nullptr},
    {FrontEnd::kAvx2, "avx2", "4 frames at a time in AVX2 lanes (x86-64 only)", nullptr, 0, nullptr},
#endif
    {FrontEnd::kBaseline, "baseline", "2 frames at a time in the target's base vectors", baseline::analyseFrames,
     baseline::kLanes, audio::dotBaseline},
    {FrontEnd::kStraightforward, "straightforward", "one operation after another, as defined", nullptr, 0,
     audio::dotStraightforward},
};

const FrontEndChoice& entryOf(FrontEnd frontEnd) {
  for (const FrontEndChoice& choice : kChoices) {
    if (choice.frontEnd == frontEnd) return choice;
  }
  return kChoices[0];
}

// Asked once per process: the processor does not change under a run.
FrontEnd widestSupported() {
  static const FrontEnd widest = processorHas(FrontEnd::kAvx512) ? FrontEnd::kAvx512
                                 : processorHas(FrontEnd::kAvx2) ? FrontEnd::kAvx2
                                                                 : FrontEnd::kBaseline;
  return widest;
}

}  // namespace

namespace fast_front_end {

const FrontEndChoice& frontEndChoice(FrontEnd frontEnd) { return entryOf(resolveFrontEnd(frontEnd)); }

const FrontEndChoice& kernelForGroup(const FrontEndChoice& chosen, int count) {
  if (count >= chosen.lanes) return chosen;
  for (auto it = std::rbegin(kChoices); it != std::rend(kChoices); ++it) {
    if (it->kernel != nullptr && it->lanes >= count && it->lanes <= chosen.lanes && frontEndSupported(it->frontEnd)) {
      return *it;
    }
  }
  return chosen;
}

}  // namespace fast_front_end

bool frontEndSupported(FrontEnd frontEnd) {
  static const std::array<bool, 5> supported = {
      processorHas(FrontEnd::kStraightforward), processorHas(FrontEnd::kBaseline), processorHas(FrontEnd::kAvx2),
      processorHas(FrontEnd::kAvx512), true};
  return supported[static_cast<std::size_t>(frontEnd)];
}

FrontEnd resolveFrontEnd(FrontEnd frontEnd) {
  if (frontEnd != FrontEnd::kFastest && frontEndSupported(frontEnd)) return frontEnd;
  return widestSupported();
}

const char* frontEndName(FrontEnd frontEnd) { return entryOf(frontEnd).name; }

const char* frontEndHelp(FrontEnd frontEnd) { return entryOf(frontEnd).help; }

std::vector<FrontEnd> frontEnds() {
  std::vector<FrontEnd> all;
  for (const FrontEndChoice& choice : kChoices) all.push_back(choice.frontEnd);
  return all;
}

