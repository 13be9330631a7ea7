// Readers of the options every program shares, each returning "" or the
// mistake in words (the program adds its name and where to get help), so
// that a value means the same in every program.
#ifndef KIT_OPTION_READERS_H
#define KIT_OPTION_READERS_H

#include <string>
#include <vector>

namespace kit {

// The most workers a run may have.
constexpr int kMaxWorkers = 1024;

// The number of processors this process may run on (at least 1).
int availableProcessors();

// -j N: 0 to kMaxWorkers, 0 meaning one per processor.
std::string readJobs(const char* text, int& jobs);

// --part K/N: two decimal numbers with 0 <= K < N and nothing else.
std::string readPart(const char* text, long& part, long& parts);

// --channel=N: a channel counted from 0, at most 63.
std::string readChannel(const char* text, int& channel);

// A speed factor for training data: the recording played f times as fast,
// its samples taken as if at rate = round(16000 f) Hz and converted to
// 16 kHz. text is the factor as written (Kaldi's keys sp0.9-<id> hold it).
struct Speed {
  std::string text;
  double factor = 1.0;
  int rate = 16000;
};

// --speed=F[,F...]: factors from 0.5 to 2, each once (1 leaves the
// recording as it is).
std::string readSpeeds(const char* text, std::vector<Speed>& speeds);

// One of names, exactly (case and all): its position in choice, or the
// mistake ("unknown WHAT x (a, b or c)").
std::string readChoice(const char* text, const std::vector<std::string>& names, const char* what, int& choice);

// "a, b or c" (with word "or"), "a|b|c" (with word "|").
std::string listOf(const std::vector<std::string>& names, const char* last = " or ");

}  // namespace kit

#endif  // KIT_OPTION_READERS_H
