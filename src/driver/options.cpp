#include "options.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "batch.h"
#include "option_readers.h"

#ifndef FEATURE_VERSION
#define FEATURE_VERSION "unknown"
#endif

namespace {

// A reader's mistake, said as the tool says it; false when there was one.
bool said(const std::string& mistake) {
  if (!mistake.empty()) std::fprintf(stderr, "feature: %s\n", mistake.c_str());
  return mistake.empty();
}

bool parseFrontEnd(const char* name, FrontEnd& frontEnd) {
  // The names from the narrowest to the widest: straightforward, baseline,
  // ..., "or fastest".
  const std::vector<FrontEnd> all = frontEnds();
  std::vector<std::string> names;
  for (auto it = all.rbegin(); it != all.rend(); ++it) names.emplace_back(frontEndName(*it));
  int choice = 0;
  if (!said(kit::readChoice(name, names, "front end", choice))) return false;
  const FrontEnd named = all[all.size() - 1 - static_cast<std::size_t>(choice)];
  if (!frontEndSupported(named)) {
    std::fprintf(stderr, "feature: this processor cannot run the %s front end\n", name);
    return false;
  }
  frontEnd = named;
  return true;
}

bool parseInputFormat(const char* name, InputFormat& format) {
  int choice = 0;
  if (!said(kit::readChoice(name, inputFormatNames(), "input format", choice))) return false;
  format = static_cast<InputFormat>(choice);
  if (format != InputFormat::kRaw && !audioInputSupported()) {
    std::fprintf(stderr, "feature: this build reads raw recordings only (built without libsndfile)\n");
    return false;
  }
  return true;
}

// An extension without its dot, slashes or white space.
bool parseExtension(const char* text, std::string& extension) {
  if (text[0] == '.') ++text;
  if (text[0] == '\0' || std::strpbrk(text, "/ \t\n") != nullptr || std::strlen(text) > 32) {
    std::fprintf(stderr, "feature: --input-extension needs an extension such as wav or flac, not '%s'\n", text);
    return false;
  }
  extension = text;
  return true;
}

}  // namespace

namespace {

// Long options that take a value after "=".
constexpr const char* kValueOptions[] = {"--front-end", "--input-format", "--input-extension", "--channel", "--output",
                                         "--record"};

bool parsePart(const char* text, Options& options) {
  return said(kit::readPart(text, options.setup.part, options.setup.parts));
}

bool parseJobs(const char* text, int& jobs) { return said(kit::readJobs(text, jobs)); }

bool isValueOption(const char* arg) {
  for (const char* name : kValueOptions) {
    if (std::strcmp(arg, name) == 0) return true;
  }
  return false;
}

// Long options that switch something of the run on.
struct Flag {
  const char* name;
  bool RunSetup::*field;
};
constexpr Flag kFlags[] = {{"--c12-eng", &RunSetup::cepstrumFiles},
                           {"--convert", &RunSetup::convert},
                           {"--lossy", &RunSetup::lossy},
                           {"--downmix", &RunSetup::downmix},
                           {"--quiet", &RunSetup::quiet},
                           {"--skip-existing", &RunSetup::skipExisting},
                           {"--no-empty-files", &RunSetup::noEmptyFiles},
                           {"--htk-qualifiers", &RunSetup::htkQualifiers},
                           {"--pairs", &RunSetup::pairs},
                           {"--keep-going", &RunSetup::keepGoing}};

// The flag named arg, or null.
const Flag* flagNamed(const char* arg) {
  for (const Flag& flag : kFlags) {
    if (std::strcmp(arg, flag.name) == 0) return &flag;
  }
  return nullptr;
}

bool isKnownOption(const char* arg) {
  if (flagNamed(arg) != nullptr || std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "--version") == 0) return true;
  for (const char* name : {"--jobs", "--part", "-h", "-q", "-j"}) {
    if (std::strcmp(arg, name) == 0) return true;
  }
  for (const char* name : kValueOptions) {
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=')) return true;
  }
  return std::strncmp(arg, "--jobs=", 7) == 0 || (std::strncmp(arg, "-j", 2) == 0 && arg[2] >= '0' && arg[2] <= '9');
}

// A group of short options ("-q", "-qj 2", "-qj2"): h, q, and j with its
// number. Returns 0 when arg is not such a group (it is then an argument),
// 1 when parsed, -1 after a message.
int parseShortGroup(const char* arg, int argc, char** argv, int& i, Options& options) {
  if (arg[0] != '-' || arg[1] == '\0' || std::strchr("hqj", arg[1]) == nullptr) return 0;
  for (const char* c = arg + 1; *c != '\0'; ++c) {
    if (*c == 'h') {
      options.help = true;
    } else if (*c == 'q') {
      options.setup.quiet = true;
    } else if (*c == 'j') {
      if (c[1] != '\0') return parseJobs(c + 1, options.setup.jobs) ? 1 : -1;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "feature: -j needs a number of workers\n");
        return -1;
      }
      return parseJobs(argv[++i], options.setup.jobs) ? 1 : -1;
    } else {
      std::fprintf(stderr, "feature: unknown option -%c in %s\n", *c, arg);
      return -1;
    }
  }
  return 1;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options) {
  options.arguments.assign(1, argv[0]);
  int i = 1;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (std::strcmp(arg, "--help") == 0) {
      options.help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      options.version = true;
    } else if (const Flag* flag = flagNamed(arg)) {
      options.setup.*(flag->field) = true;
    } else if (std::strcmp(arg, "--part") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "feature: --part needs K/N\n");
        return false;
      }
      if (!parsePart(argv[++i], options)) return false;
    } else if (std::strncmp(arg, "--part=", 7) == 0) {
      if (!parsePart(arg + 7, options)) return false;
    } else if (isValueOption(arg)) {
      std::fprintf(stderr, "feature: %s needs =VALUE, as in %s\n", arg,
                   std::strcmp(arg, "--front-end") == 0      ? "--front-end=avx2"
                   : std::strcmp(arg, "--input-format") == 0 ? "--input-format=audio"
                   : std::strcmp(arg, "--channel") == 0      ? "--channel=1"
                   : std::strcmp(arg, "--output") == 0       ? "--output=fbank"
                   : std::strcmp(arg, "--record") == 0       ? "--record=run.jsonl"
                                                             : "--input-extension=wav");
      return false;
    } else if (std::strncmp(arg, "--input-format=", 15) == 0) {
      if (!parseInputFormat(arg + 15, options.setup.inputFormat)) return false;
    } else if (std::strncmp(arg, "--record=", 9) == 0) {
      if (arg[9] == '\0') {
        std::fprintf(stderr, "feature: --record needs a file name (an unset variable?)\n");
        return false;
      }
      options.setup.record = arg + 9;
    } else if (std::strncmp(arg, "--output=", 9) == 0) {
      int choice = 0;
      if (!said(kit::readChoice(arg + 9, feature::outputNames(), "output", choice))) return false;
      options.setup.output = static_cast<feature::Output>(choice);
    } else if (std::strncmp(arg, "--channel=", 10) == 0) {
      if (!said(kit::readChannel(arg + 10, options.setup.channel))) return false;
    } else if (std::strncmp(arg, "--input-extension=", 18) == 0) {
      if (!parseExtension(arg + 18, options.setup.inputExtension)) return false;
    } else if (std::strncmp(arg, "--front-end=", 12) == 0) {
      if (!parseFrontEnd(arg + 12, options.setup.frontEnd)) return false;
    } else if (std::strcmp(arg, "--jobs") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "feature: %s needs a number of workers\n", arg);
        return false;
      }
      if (!parseJobs(argv[++i], options.setup.jobs)) return false;
    } else if (std::strncmp(arg, "--jobs=", 7) == 0) {
      if (!parseJobs(arg + 7, options.setup.jobs)) return false;
    } else {
      const int group = parseShortGroup(arg, argc, argv, i, options);
      if (group < 0) return false;
      // Anything else is the first of the four arguments, so that a run
      // without options means what it always meant.
      if (group == 0) break;
    }
  }
  for (; i < argc; ++i) options.arguments.push_back(argv[i]);
  return true;
}

void explainArguments(const Options& options) {
  const std::size_t given = options.arguments.size() - 1;
  if (given == 4 && modeNamed(options.arguments[4]) != nullptr) return;
  // An option among the arguments is the likely cause.
  for (std::size_t k = 1; k < options.arguments.size(); ++k) {
    const char* arg = options.arguments[k];
    if (arg[0] != '-' || arg[1] == '\0') continue;
    if (isKnownOption(arg)) {
      std::fprintf(stderr, "feature: the option %s must come before the four arguments\n", arg);
    } else {
      std::fprintf(stderr, "feature: unknown option %s\n", arg);
    }
    std::fprintf(stderr, "Try 'feature --help'\n");
    return;
  }
  if (given != 4) {
    std::fprintf(stderr, "feature: %zu argument%s given; 4 needed: list file, IN_WAV_DIR, OUT_DIR, mode\n", given,
                 given == 1 ? "" : "s");
  } else {
    const char* mode = options.arguments[4];
    const char* meant = nullptr;
    for (const NormalisationMode& known : kNormalisationModes) {
      if (strcasecmp(mode, known.name) == 0) meant = known.name;
    }
    if (meant != nullptr) {
      std::fprintf(stderr, "feature: unknown mode '%s' (did you mean %s?); modes: %s\n", mode, meant,
                   kit::listOf(modeNames(), ", ").c_str());
    } else {
      std::fprintf(stderr, "feature: unknown mode '%s'; modes: %s (exactly so)\n", mode,
                   kit::listOf(modeNames(), ", ").c_str());
    }
  }
  std::fprintf(stderr, "Try 'feature --help'\n");
}

void printHelp(std::FILE* out) {
  std::fputs(
      "Usage: feature [options] <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>\n"
      "\n"
      "Turns 16 kHz raw 16-bit little-endian PCM recordings into HTK parameter files\n"
      "of 39-value MFCC vectors (c1..c12 liftered, C0, their deltas and\n"
      "delta-deltas). The recording of each name in the list file is read from\n"
      "IN_WAV_DIR/name; its features are written to OUT_DIR//name.<extension>,\n"
      "creating missing directories. Names are separated by white space and may\n"
      "contain '/'.\n"
      "\n"
      "Modes:\n",
      out);
  for (const NormalisationMode& mode : kNormalisationModes) {
    std::fprintf(out, "  %-6s %-49s .%s\n", mode.name, mode.effect, mode.outExt);
  }
  std::fputs(
      "\n"
      "Options:\n"
      "  -j N, --jobs N\n"
      "                run N workers side by side (0: one per processor). The files,\n"
      "                the messages on both streams and their order are those of a\n"
      "                run with one worker\n"
      "  --c12-eng     also write OUT_DIR//name.C12 (frame count, then c1..c12 of\n"
      "                every frame before normalisation) and OUT_DIR//name.ENG\n"
      "                (frame count, then the energy of every frame in dB), both\n"
      "                little-endian 32-bit values\n"
      "  --input-format=raw|audio|auto\n"
      "                raw (the default): headerless 16-bit little-endian PCM at\n"
      "                16 kHz, read from the first byte. audio: audio files (WAV,\n"
      "                WAVEX, RF64, FLAC, AIFF, CAF, ...) holding 16-bit integer\n"
      "                samples at 16000 Hz in one channel, which give the bytes of\n"
      "                the raw file of the same samples; any other file is refused\n"
      "                (that utterance fails, the run goes on), never converted.\n"
      "                auto: as audio a file that begins with an audio file's\n"
      "                header, as raw any other (recommended for new corpora)\n"
      "  --convert     with --input-format=audio: also read recordings at another\n"
      "                rate (8000 to 192000 Hz) or of another sample format (8, 24,\n"
      "                32-bit integer, float, mu-law, A-law), converted to 16 kHz\n"
      "                16-bit samples by the defined conversion, the same bytes on\n"
      "                every machine (README: Conversion of recordings); the\n"
      "                summary counts them\n"
      "  --lossy       also read MP3, Ogg Vorbis and Opus (converted): their\n"
      "                decoders may give other samples on another machine\n"
      "  --channel=N   read channel N (from 0) of a recording of several\n"
      "  --downmix     read the mean of a recording's channels\n"
      "  --output=mfcc|fbank|fbank-deltas\n"
      "                what the vectors are: mfcc (the default) the 39 MFCC values;\n"
      "                fbank the 24 natural logarithms of the filter outputs that\n"
      "                the cepstra are computed from (floored at 0), in CMN with\n"
      "                each one's mean over the utterance removed; fbank-deltas\n"
      "                those and their deltas and delta-deltas (72). HTK kind FBANK\n"
      "                with its qualifiers, extension fbk24, fbk24Z (CMN), fbk24DA,\n"
      "                fbk24DAZ; MVNMA is for MFCC only\n"
      "  --keep-going  a recording that cannot be opened fails alone (named and\n"
      "                counted, exit status 1) and the run goes on with the next\n"
      "                name, instead of stopping there\n"
      "  --record=FILE write a record of the run: a JSON line per name in list\n"
      "                order (name, status: done, skipped, failed, too short or\n"
      "                not tried, frames, cut at 90 s, converted, reason), complete\n"
      "                at the end; with --part K/N the name gets -K-of-N\n"
      "  --input-extension=EXT\n"
      "                read the recording of a name from IN_WAV_DIR/name.EXT (the\n"
      "                features still go to OUT_DIR//name.<extension>)\n"
      "  --pairs       each entry of the list is two names, a source and a target\n"
      "                (an HTK script file: data/a.wav feats/a.mfc): the recording is\n"
      "                IN_WAV_DIR/source, the features go to OUT_DIR/target exactly,\n"
      "                with no extension added (. . for paths as they stand)\n"
      "  --part K/N    take only the share K (0..N-1) of N of the list: the names at\n"
      "                positions K, K+N, K+2N, ... (counted from 0), as if the list\n"
      "                held just those; for job arrays (--part \"$SLURM_ARRAY_TASK_ID/N\")\n"
      "  --skip-existing\n"
      "                skip every name whose files (the HTK file, and .C12/.ENG with\n"
      "                --c12-eng) already stand: files appear only complete, so a\n"
      "                run that was stopped goes on where it was; the summary counts\n"
      "                them\n"
      "  --no-empty-files\n"
      "                write no file for a recording shorter than one frame (320\n"
      "                samples) instead of a header-only HTK file, which some\n"
      "                readers reject; standard error names it, the status stays 0\n"
      "  --htk-qualifiers\n"
      "                give the HTK header the parameter kind that describes the\n"
      "                vectors: MFCC_D_A_Z_0 (CMN, MVNMA) or MFCC_D_A_0 (NONE)\n"
      "                instead of 6 (MFCC); the vectors are the same\n"
      "  --front-end=NAME\n"
      "                the code that analyses the frames. All give the same bytes;\n"
      "                the choice only changes the speed:\n",
      out);
  for (FrontEnd frontEnd : frontEnds()) {
    std::fprintf(out, "                  %-16s %s\n", frontEndName(frontEnd), frontEndHelp(frontEnd));
  }
  std::fputs(
      "  -q, --quiet   no progress line (shown when standard error is a terminal)\n"
      "                and no summary line at the end, both on standard error\n"
      "  -h, --help    show this help and exit\n"
      "  --version     show the version and exit\n"
      "  --            end of options\n"
      "\n"
      "Exit status:\n"
      "  0  every utterance was written\n"
      "  1  wrong arguments, the list file cannot be opened, a recording cannot be\n"
      "     opened (the run stops there), or any utterance failed (\"Error\" is\n"
      "     printed; when standard input is a terminal, one character is read\n"
      "     from it before the run goes on, otherwise nothing is read)\n"
      "\n"
      "See also: feature-kaldi (Kaldi data directories, archives, shards),\n"
      "feature-stream (features of audio as it arrives), feature-inspect (looks\n"
      "at feature files); man feature, README.md.\n",
      out);
}

void printVersion(std::FILE* out) { std::fprintf(out, "feature %s\n", FEATURE_VERSION); }
