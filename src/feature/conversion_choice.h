// What reading a recording may do beyond taking 16 kHz 16-bit samples as
// they are, each only when asked: the options --convert, --lossy,
// --channel and --downmix of every program, and the keywords of the same
// names in Python.
#ifndef FEATURE_CONVERSION_CHOICE_H
#define FEATURE_CONVERSION_CHOICE_H

struct Conversion {
  bool convert = false;  // another sample rate (8 to 192 kHz) or sample format: the defined conversion
  bool lossy = false;    // MP3, Ogg Vorbis, Opus (their decoders may give other samples on another machine)
  int channel = -1;      // one channel of several, counted from 0 (-1: none picked)
  bool downmix = false;  // the mean of all channels
};

namespace feature {
using ::Conversion;
}

#endif  // FEATURE_CONVERSION_CHOICE_H
