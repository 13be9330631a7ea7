// The MFCC feature extractor: one FEATURE object holds the analysis tables,
// the fixed-capacity per-frame stores and the arrays of the current
// utterance, and its methods carry a recording from 16-bit samples to a
// file of 39-value vectors (12 liftered cepstra and C0, their deltas and
// delta-deltas).
//
// Arithmetic is bit-exact by design: every point where a value is rounded to
// single precision, every summation order and every constant below is part
// of the output format. Build with -ffp-contract=off and never with
// -ffast-math.
#ifndef FEATURE_FEATURE_H
#define FEATURE_FEATURE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analysis_constants.h"
#include "conversion_choice.h"
#include "output_choice.h"
#include "problem.h"

// A complex number for the FFT, which indexes arrays of it from 1.
struct Complex_ {
  double re;
  double im;
};

struct FloatFile;  // the bytes of a feature file (file output)
namespace fast_front_end {
struct Tables;     // what the SIMD kernels read
struct StepTimes;  // their time per step, for the benchmark
}
namespace audio {
class ByteSource;    // the bytes of a recording (audio input)
struct FrameWindow;  // the samples of it that are kept
class Converter;     // the conversion of another kind of recording
}
struct SF_INFO;
typedef struct sf_private_tag SNDFILE;

// Process-wide directory strings filled by the batch driver: the input
// directory unchanged, and the output directory with one "/" appended (the
// cepstrum/HTK directory and the energy directory are always equal).
extern char IN_WAV_DIR[kDirCapacity];
extern char OUT_C12_DIR[kDirCapacity];
extern char OUT_EC_DIR[kDirCapacity];

// Which code analyses the frames. Every choice gives the same bits: the
// straightforward path follows the definition operation by operation; the
// others run the same operations for several frames at once, one frame per
// SIMD lane (2, 4 or 8 lanes). kFastest picks the widest this processor has.
enum class FrontEnd { kStraightforward, kBaseline, kAvx2, kAvx512, kFastest };
bool frontEndSupported(FrontEnd frontEnd);  // by this build and processor
// kFastest, or a front end this processor cannot run, -> the widest supported.
FrontEnd resolveFrontEnd(FrontEnd frontEnd);
const char* frontEndName(FrontEnd frontEnd);  // "straightforward", "avx2", ...
const char* frontEndHelp(FrontEnd frontEnd);  // what it does, for --help
std::vector<FrontEnd> frontEnds();            // all, in the order --help lists them

// The normalisation modes, in the order checkArgs tries them: the name of
// the fourth argument, normType, the extension of the HTK files, and what
// the mode does.
struct NormalisationMode {
  const char* name;
  std::int32_t normType;
  const char* outExt;
  const char* effect;
};
extern const NormalisationMode kNormalisationModes[3];
// The mode of exactly that name (case and all), or null.
const NormalisationMode* modeNamed(const char* name);
// The mode of normType 0, 1 or 2.
const NormalisationMode& modeOfType(std::int32_t normType);
// Their names, in the table's order ("CMN", "MVNMA", "NONE").
std::vector<std::string> modeNames();

// Results of doExtract.
constexpr int kExtractOk = 1;            // everything computed and written
constexpr int kExtractFailed = 0;        // this utterance failed; go on
constexpr int kRecordingUnreadable = -1; // the run must stop (status 1)
constexpr int kOutputFailed = -2;        // the HTK file failed: "Error" printed
constexpr int kShellNoMemory = -3;       // MFCC_shell: allocation failed
constexpr int kRecordingRefused = -4;    // MFCC_shell: an audio file it does not read
constexpr int kNoFrames = 2;             // skipEmptyFiles: no frame, so no file written

// How recordings are read. kRaw: headerless 16-bit little-endian PCM from
// the first byte, as defined. kAudio: an audio container (WAV, WAVEX, RF64,
// FLAC, AIFF, ... through libsndfile), accepted only when it holds 16-bit
// integer samples at 16 kHz in one channel, which give the features of the
// raw file of the same samples. kAuto: as kAudio a file that begins with
// an audio container's signature, as kRaw any other (for new corpora).
enum class InputFormat { kRaw, kAudio, kAuto };
const char* inputFormatName(InputFormat format);  // "raw", "audio", "auto"
std::vector<std::string> inputFormatNames();       // in the order of InputFormat
bool audioInputSupported();  // false in a build without libsndfile

// The pause after "Error": reads exactly one byte of standard input (never
// more, so that a list read from the same pipe loses nothing), and only
// when standard input is a terminal: otherwise nobody is there to press a
// key, and the byte would belong to the caller. Returns false when no
// pause took place (no terminal, the end of the input, an error).
bool waitForOneCharacter();
// One byte of standard input, whatever it is (false at its end).
bool readOneCharacter();

// Opens a file to read (a recording, "rb"; a list, "r"): a directory opens
// but holds neither, so it is refused (null, errno EISDIR) like a missing
// file. Null, with errno set, on failure.
std::FILE* openInputFile(const char* path, const char* mode);
inline std::FILE* openRecording(const char* path) { return openInputFile(path, "rb"); }

// Removes the temporary files this process is writing at the moment, for a
// signal handler that then ends the process: the tool calls it on SIGINT,
// SIGTERM, SIGHUP and SIGPIPE, so that no half-written temporary stays
// behind. Async-signal-safe. Afterwards no new temporary is created: a
// thread about to write a file waits for the end of the process.
void removeTemporaryFiles();

// Writes an HTK parameter file of frames vectors (rows of dimensions floats,
// host order) completely or not at all, replacing an existing file; no
// directory is created. Returns false, with failure (if not null) saying
// why, when it could not.
bool writeHtkFile(const std::string& path, const float* vectors, std::size_t frames, int dimensions,
                  std::int32_t samplePeriod, std::int16_t parmKind, Problem* failure);

// The HTK parameter kind that describes the vectors of normType: MFCC with
// _0 (C0), _D and _A (deltas, delta-deltas), and _Z when the statics have had
// their mean removed (CMN, and MVNMA, whose normalisation removes it too).
std::int16_t qualifiedParmKind(std::int32_t normType);
// The kind of filter-bank vectors: FBANK, always with its qualifiers (_D
// and _A with the deltas, _Z in CMN).
std::int16_t filterBankParmKind(std::int32_t normType, feature::Output output);
// The extension of the HTK files of an output in the mode of normType: the
// mode's own for MFCC; "fbk24" with "DA" for the deltas and "Z" in CMN.
const char* outputExtension(feature::Output output, std::int32_t normType);

// How the extractor works for a whole run (set once, before the first
// utterance; the same for every one): where it prints, how it reads
// recordings and writes files. A run's options reach it through
// prepareRun; a setting of the extractor alone (not of the loop around it)
// is a field here.
struct ExtractorSettings {
  // Where the extractor prints its messages (standard output by default);
  // null prints none (the library, Python): every message goes through
  // FEATURE::say, which keeps to that.
  std::FILE* console = stdout;
  // Where printProblem prints the problems (standard error by default).
  std::FILE* errors = stderr;
  // Prints a problem on errors as it arises: why a file could not be read
  // or written, beside the console message, and warnings. The tool's loop
  // sets it; null prints nothing (the library reads problems instead).
  void (*printProblem)(std::FILE* errors, const Problem& problem) = nullptr;
  // After "Error", doExtract reads one character from standard input (a
  // pause). A caller that runs utterances out of order turns this off and
  // makes the pause itself, in order, for every kOutputFailed; so does one
  // whose standard input is the list of names itself.
  bool pauseAfterError = true;
  // doExtract with output kind 1 also writes name.C12 and name.ENG
  // (OutputFeature), from the liftered cepstra before any normalisation.
  bool writeCepstrumFiles = false;
  // The frame analysis MFCC_shell runs (the same bits whichever it is);
  // one this processor cannot run falls back to the widest it can.
  FrontEnd frontEnd = FrontEnd::kFastest;
  // How recordings are read, and what may be done to them.
  InputFormat inputFormat = InputFormat::kRaw;
  Conversion conversion;
  // doExtract with output kind 1 writes no file at all for a recording too
  // short for one frame (it returns kNoFrames after saying so on errors),
  // instead of a header-only HTK file.
  bool skipEmptyFiles = false;
  // The parameter kind in the HTK header: 6 (plain MFCC), or with the
  // qualifier bits that describe the vectors (see qualifiedParmKind).
  std::int16_t htkParmKind = 6;
  // What the vectors are (outData rows of outDim() values).
  feature::Output output = feature::Output::Mfcc;
  // Null: a recording longer than 90 s is cut there, with a warning (the
  // tool). Otherwise it is refused, and counted here (a caller that asked
  // for whole recordings only; copies of the extractor share the count).
  std::atomic<long>* longRecordings = nullptr;
  // The HTK file of name is OUT_C12_DIR/name exactly, no extension added
  // (the targets of a list of pairs).
  bool exactOutputNames = false;
};

using RunSettings = ExtractorSettings;  // the earlier name

// What happened to the current utterance: set when its recording is read.
struct UtteranceOutcome {
  // Samples analysed (the duration of the recording, up to 90 s).
  std::int32_t samplesRead = 0;
  // Samples past the 90-second limit, which are not analysed (-1: some,
  // number unknown).
  std::int64_t samplesIgnored = 0;
  // Samples per channel the recording holds, when its reader knows (-1 when
  // not known); for a converted recording, its converted length.
  std::int64_t samplesInFile = -1;
  // What was done to it ("24-bit to 16-bit, 48000 Hz to 16000 Hz"; empty
  // when nothing), and how many converted samples were clipped.
  std::string converted;
  int sourceRate = 16000;  // the recording's own sample rate
  std::uint64_t clipped = 0;
  // The problems of the utterance, in the order they arose.
  std::vector<Problem> problems;
};

class FEATURE {
 public:
  // ---- Run settings: set by checkArgs ----
  std::int32_t normType = -1;  // -1 unset, 0 CMN, 1 MVNMA, 2 NONE

  // ---- Per utterance: totalFrame rows of 39 (allocated by doExtract,
  //      released by doReset) ----
  std::vector<float> outData;

  // ---- Tables built once by ini_fea_para ----
  // Hamming window; single-precision values held in doubles.
  std::array<double, kFrameLength> hamWin{};
  // For FFT bin 0..255: the lower of the two filters it feeds (0..24).
  std::array<std::int32_t, kFftBins> filterIdx{};

  // ---- Current utterance ----
  std::int32_t totalFrame = 0;
  // Fixed-capacity per-frame stores, overwritten for every utterance.
  // melBand[f][1..24]: filter outputs of frame f (slot 0 unused); DCT turns
  // them into natural logarithms.
  std::array<std::array<double, kNumFilters + 1>, kMaxFrames> melBand{};
  // Frame log energy in dB, one per frame.
  std::array<float, kEnergyCapacity> frameEng{};

  // ---- Table built once by ini_fea_para ----
  // For FFT bin 0..255: its share toward filter filterIdx[k]; single-precision
  // values held in doubles.
  std::array<double, kFftBins> filterWeight{};

  // ---- Per utterance: totalFrame rows of 13 (allocated by MFCC_shell or
  //      doExtract, released at the end of doExtract) ----
  std::vector<float> cepData;    // c1..c12, C0
  std::vector<float> deltaData;  // their deltas
  std::vector<float> accData;    // their delta-deltas

  // ---- Run settings: set by checkArgs ----
  char outExt[24] = {};  // extension of the HTK output file

  // The DCT-II basis over 24 channels, [n][k] for n = 1..12, k = 1..24 (row 0
  // and column 0 unused). Used exactly as listed, six decimals each: 58
  // entries are one unit off the correctly rounded value, and computed
  // cosines would change c1..c12 in their fifth or sixth digit.
  static const float tcos[kCepDim][kNumFilters + 1];

  // ---- Around the prescribed fields: how this run is set up, and what
  //      happened to the current utterance ----
  ExtractorSettings settings;
  UtteranceOutcome outcome;
  // Tables of the fast frame analysis, built by ini_fea_para from the
  // tables above.
  std::shared_ptr<const fast_front_end::Tables> fastTables;
  // The directory part of the last path MakeDirectory completed: every
  // directory on it exists, so a path in the same directory needs no test.
  std::string knownDirectory;

  // ---- Batch driver ----
  // Exactly 4 arguments after the program name, the last one CMN, MVNMA or
  // NONE; sets normType and outExt, or prints a message and ends the process
  // with status 1.
  void checkArgs(int argc, char** argv);

  // ---- Object and pipeline ----
  // Builds filterIdx, filterWeight and hamWin. Once per run, before the first
  // utterance.
  void ini_fea_para();
  void doInitial();  // the same as ini_fea_para
  // The whole pipeline for one recording. outputKind 1 writes the HTK file,
  // 2 prints the vectors, anything else writes nothing. Returns kExtractOk,
  // kExtractFailed (message printed), kOutputFailed (the HTK file could not
  // be written; "Error" printed and the pause made), kRecordingUnreadable
  // ("can't open file" printed; the caller ends the run) or, with
  // skipEmptyFiles, kNoFrames (too short for a frame: no file written).
  // Needs ini_fea_para; call doReset after it, before the next one.
  int doExtract(const char* path, const char* name, int outputKind);
  void doReset();  // releases outData
  // Steps 3 to 7 of doExtract, after the analysis and the lifter: allocates
  // outData, deltaData and accData, normalises by normType (CMN on cepData
  // before the deltas, MVN on the vectors after) and assembles the vectors.
  // Returns false after "memory allocate error" (with a console), every
  // per-utterance array then released.
  bool assembleVectors();
  // The steps after the frame analysis, the same for every way in: the
  // lifter, then withLifteredRecords (the records before any normalisation
  // changes them: the .C12/.ENG files, a copy), then assembleVectors.
  bool finishUtterance(const std::function<void()>& withLifteredRecords);
  void releaseRecords();  // cepData, deltaData and accData

  // ---- Analysis tables and FFT ----
  // Mel value of FFT bin k - 1 (so Mel(1) is 0 Hz, Mel(257) is 8000 Hz).
  float Mel(int k);
  // Fills filterIdx and weight[0..255] (its only caller passes filterWeight).
  void SetFilterBanks(double* weight);
  void GetHammingWindow();  // fills hamWin
  // In-place radix-2 FFT of x[1..n] (x[0] untouched); direction 1 forward,
  // -1 inverse (scaled by 1/n). n must be a power of two; any other length
  // leaves x untouched.
  void fft(int direction, int n, Complex_* x);

  // ---- Frame analysis to cepstra ----
  // frameEng and melBand[1..24] for frames 0..totalFrame-1; the samples must
  // hold 160 * totalFrame + 160 values. Returns 1.
  int MelBandMagnitude(const std::int16_t* samples);
  // The steps of one frame, in MelBandMagnitude's order: the sum of the
  // squares of its 320 raw samples (for its energy); then SubDC,
  // PreEmphasis, Haming_window; the 512-point spectrum of the windowed
  // frame (spectrum[1..512]); the 24 filter outputs of the spectrum into
  // band[1..24].
  double sumOfSquares(const float* frame) const;
  void frameSpectrum(const float* frame, Complex_* spectrum);
  void melBandsOfSpectrum(const Complex_* spectrum, double* band) const;
  void SubDC(float* frame);          // 320 values, mean removed
  void PreEmphasis(float* frame);    // 320 values, 1 - 0.95 z^-1
  void Haming_window(float* frame);  // 320 values times hamWin
  // What MelBandMagnitude and DCT do together, for all totalFrame frames,
  // several frames at a time in SIMD lanes: the same frameEng, melBand and
  // cep, bit for bit. Builds on ini_fea_para's tables.
  // With times given, adds the time of each step of the analysis.
  void FastFrameAnalysis(const std::int16_t* samples, float* cep,
                         fast_front_end::StepTimes* times = nullptr);
  // Reads the recording, sets totalFrame, allocates and fills cepData
  // (un-liftered). Returns the frame count, or kRecordingUnreadable after
  // "can't open file", kShellNoMemory after "memory allocate error", or
  // kRecordingRefused (an audio file it does not read, said on errors); on
  // failure totalFrame is 0 and cepData empty.
  int MFCC_shell(const char* path);
  // The samples of the recording at path by inputFormat, at most kMaxSamples
  // (samplesIgnored says how many more it holds). Returns kExtractOk or what
  // MFCC_shell returns on failure, with the same messages; warns on errors
  // of a recording cut at 90 s and of a raw file that begins with an audio
  // file header.
  int readRecording(const char* path, std::vector<std::int16_t>& samples);
  int readRaw(std::FILE* file, const char* path, std::vector<std::int16_t>& samples);
  // The samples (per channel) of the recording at path by inputFormat, from
  // its size or its header, without reading them; -1 when that cannot be
  // told or the recording would be refused.
  std::int64_t recordingSampleCount(const char* path) const;
  std::int64_t audioSampleCount(const char* path) const;
  // Headerless samples from the bytes of a recording, keeping those in
  // window (outcome.samplesInFile and samplesIgnored as readAudio sets
  // them). Returns kExtractOk, or kRecordingUnreadable on a read error.
  int readRawSource(const audio::ByteSource& source, const char* path, audio::FrameWindow window,
                    std::vector<std::int16_t>& samples);
  // "can't open file" on the console and the system's reason as a problem;
  // returns kRecordingUnreadable.
  int recordingUnreadable(const char* path, int error);
  // Records a problem of the current utterance and prints it (printProblem).
  void report(Problem problem);
  // Prints on the console, when there is one, and flushes it.
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Reports the recording at path refused for reason; returns
  // kRecordingRefused.
  int refuse(const char* path, const std::string& reason);
  // An audio container, refused (kRecordingRefused, the reason on errors)
  // unless it holds 16-bit samples at 16 kHz in one channel, all of those
  // its header promises; FLAC streams are checked against their MD5
  // signature.
  int readContainer(std::FILE* file, const char* path, std::vector<std::int16_t>& samples);
  // The same checks over the bytes of an audio file of up to maxChannels
  // channels, keeping the samples of every channel (interleaved) in window;
  // channels receives their number, outcome.samplesInFile the samples per
  // channel the file holds, outcome.samplesIgnored those after the window.
  // From a stream, a WAV whose writer could not state its length runs to
  // the end. Returns kExtractOk or kRecordingRefused.
  int readAudio(const audio::ByteSource& source, const char* path, audio::FrameWindow window, int maxChannels,
                std::vector<std::int16_t>& samples, int& channels);
  int readFlac(const audio::ByteSource& source, const char* path, audio::FrameWindow window, int maxChannels,
               std::vector<std::int16_t>& samples, int& channels);
  // The conversion of an audio file that is not read as it stands (another
  // rate, sample format, a channel picked or mixed): the window of its
  // converted samples. total: its frames.
  int readConverted(SNDFILE* sound, const SF_INFO& info, std::uint64_t total, const char* path,
                    audio::FrameWindow window, int maxChannels, std::vector<std::int16_t>& samples, int& channels);
  // outcome's length, samples ignored, words and clipped count of a
  // conversion (clipped samples get a warning naming path).
  void noteConversion(const char* path, const audio::Converter& converter, int rate, int sourceChannels, const std::string& format,
                      audio::FrameWindow window, std::size_t kept);
  // The analysis of n samples in memory (n <= kMaxSamples): sets samplesRead
  // and totalFrame, allocates and fills cepData (un-liftered), frameEng and
  // melBand. Returns the frame count, or kShellNoMemory.
  int analyseSamples(const std::int16_t* samples, std::int32_t n);
  // melBand rows 0..totalFrame-1 to natural logs (floored at 0) and to
  // records c1..c12, C0 in cep (totalFrame rows of 13).
  void DCT(float* cep);
  // Sine lifter on c1..c12 of the first count records of cepData; run once.
  void CEPLIFTER(int count);

  // ---- Post-processing ----
  // Removes from each of the 13 columns its mean over n rows of 13.
  void CMN_New(float* cep, int n);
  // Regression deltas over +-2 rows of all 13 columns, edges clamped; in and
  // out are n rows of 13 each and must not overlap.
  void getDeltaCep_New(int n, const float* in, float* out);
  // outData row t = cepData row t, deltaData row t, accData row t. Returns 1.
  int AssignCepToOutData();
  // Each of the 39 columns of n rows to zero mean and unit variance, then
  // the ARMA smoothing of order 2 (when n >= 5).
  void MVN(float* out, int n);

  // ---- File output ----
  // Writes OUT_C12_DIR/name.ext as an HTK parameter file from outData,
  // creating directories on the way. The file appears under its name only
  // when complete. Returns 1, or 0 when it could not be written.
  int OutputFeatureHTKFormat(const char* name, const char* ext);
  // The one place output paths are made: OUT_C12_DIR/name.ext (OUT_EC_DIR
  // for ENG) into path. False when it does not fit; reportedOutputPath then
  // reports kPathTooLong. The writers, outputComplete, removeOutput and the
  // batch loop's length check all use it.
  bool outputPath(char (&path)[kPathCapacity], const char* name, const char* ext) const;
  bool reportedOutputPath(char (&path)[kPathCapacity], const char* name, const char* ext);
  // Whether the files that doExtract with output kind 1 writes for name
  // stand complete: an HTK file with this run's header (period 100000, 156
  // bytes per vector, htkParmKind) and 12 + 156 x frames bytes, and with
  // writeCepstrumFiles the .C12 and .ENG files of the same frame count and
  // their lengths, frames being what the recording at path gives (false
  // when that cannot be told). Reads only their first bytes, and the
  // recording's header.
  bool outputComplete(const char* name, const char* recording) const;
  // The frame count of the file at path when it is a file this run writes
  // under ext and whole; -1 otherwise.
  std::int64_t ownFileFrames(const char* path, const char* ext) const;
  // Removes the files of this run's kind under the names doExtract would
  // write for name (the HTK file, and .C12/.ENG with writeCepstrumFiles),
  // saying so on errors; any other file there is left, with a warning.
  void removeOutput(const char* name);
  // Creates every missing directory named by a prefix of path that ends
  // before a "/" or "\" (never the last component). Returns 1.
  int MakeDirectory(const char* path);
  // MakeDirectory, then the file written completely or not at all.
  bool writeFeatureFile(const char* path, const FloatFile& content);
  bool inKnownDirectory(const char* path) const;  // see knownDirectory
  void byteSwapShort(std::int16_t* value);  // reverses 2 bytes
  void byteSwapInt(std::int32_t* value);    // reverses 4 bytes
  void byteSwapArray(float* values, int n); // reverses 4 bytes of n values
  // Writes OUT_C12_DIR/name.C12 (frame count, then c1..c12 of every record
  // of cepData) and OUT_EC_DIR/name.ENG (frame count, then frameEng), both
  // little-endian. Needs cepData and frameEng of the current utterance.
  // Returns 1, or 0 after "open C12/ENG to write ERROR" (a complete .C12 may
  // then stand without its .ENG).
  int OutputFeature(const char* name);

  // ---- Auxiliary routines (not used by the batch pipeline) ----
  // Long-term-average spectral subtraction on melBand rows 0..totalFrame-1,
  // slots 1..24, in place; needs 0 <= totalFrame <= 9000 and linear filter
  // outputs (between MelBandMagnitude and DCT).
  void LTA222();
  // *result = 10 log10 of the sum of row[6..24]; row is 25 doubles laid out
  // like a melBand row.
  void EnergyContour(float* result, const double* row);
  // Deltas d and accelerations a of the energy track e; n >= 3, each array
  // n floats.
  void getDDEng(int n, const float* e, float* d, float* a);
  // Deltas of c1..c12 (the 13th value neither read nor written), then a
  // trace line on console and one character read from standard input per
  // value; n >= 3, in and out n rows of 13.
  void getDeltaCep(int n, const float* in, float* out);

  // ---- Filter-bank outputs (see output_choice.h) ----
  // Values a vector of this run: dimensionOf(settings.output).
  int outDim() const;
  // CMN_New's arithmetic over rows of columns values.
  static void removeColumnMeans(float* rows, int n, int columns);
  // getDeltaCep_New's regression over rows of columns values.
  static void deltaRegression(int n, int columns, const float* in, float* out);
  // melBand rows 0..n-1, slots 1..24 (logarithms by then), rounded to
  // single precision: n rows of 24.
  void filterBankStatics(int n, float* out) const;
  // The vectors of n frames of statics (changed in place in CMN) for an
  // output: n rows of dimensionOf(output) in out.
  static void filterBankVectors(float* statics, int n, std::int32_t normType, feature::Output output, float* out);
  // assembleVectors for a filter-bank output: outData from melBand.
  bool assembleFilterBanks();
  // Subtracts from c1..c12 of rows 0..divisor+63 the sums of rows
  // first..end-1 divided by divisor, reading one character from standard
  // input per value; cep needs max(divisor + 64, end) rows.
  void CMN(float* cep, int first, int end, int divisor);
  // Length in bytes of an open stream (below 2 GiB); its position is kept.
  std::int32_t filesize(std::FILE* stream);
  // Whole 320-sample frames at a shift of 160 in n >= 0 samples (0 for 0).
  std::int32_t getTotalFrame(std::int32_t n) const;
};

#endif  // FEATURE_FEATURE_H
