// What the vectors of a run are: the 39 MFCC values (the tool's files by
// default), or the 24 log filter-bank energies the cepstra are computed
// from, alone or with their deltas and delta-deltas. The option --output of
// every program and the keyword output= in Python.
//
// A filter-bank vector holds, for filters 1..24, the natural logarithm of
// the filter output floored at 1 (so at least 0), exactly as the DCT takes
// it, rounded once to single precision. In CMN each of the 24 columns has
// its mean over the utterance removed by the cepstral mean's own arithmetic
// (a double sum in frame order, divided by the frame count, the difference
// in double rounded to single); in NONE nothing is removed. The deltas and
// delta-deltas are the cepstra's regression over the 24 columns (statics,
// then deltas, then delta-deltas: 72 values). Mean-variance normalisation is
// defined for the MFCC vectors only.
#ifndef FEATURE_OUTPUT_CHOICE_H
#define FEATURE_OUTPUT_CHOICE_H

#include <string>
#include <vector>

namespace feature {

enum class Output { Mfcc, Fbank, FbankDeltas };

// "mfcc", "fbank", "fbank-deltas".
const char* nameOf(Output output);
// The output of that name exactly; throws std::invalid_argument otherwise.
Output outputNamed(const std::string& name);
std::vector<std::string> outputNames();
// Values a vector: 39, 24 or 72.
int dimensionOf(Output output);
// Why an output cannot go with the mode of normType (0 CMN, 1 MVNMA, 2
// NONE), or "".
std::string outputProblem(Output output, int normType);

}  // namespace feature

#endif  // FEATURE_OUTPUT_CHOICE_H
