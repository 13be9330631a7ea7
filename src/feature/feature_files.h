// The layouts of the feature files, in one place for the writer, the
// resume check, feature-inspect and the Python readers: the HTK parameter
// file (a 12-byte big-endian header, then big-endian floats), the .C12 and
// .ENG files (a little-endian frame count, then little-endian floats), the
// byte order of their fields, and the signatures of audio files that are no
// feature files.
#ifndef FEATURE_FEATURE_FILES_H
#define FEATURE_FEATURE_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace feature_files {

// ---- Byte order of the fields ----
inline std::uint32_t loadBigEndian32(const unsigned char* b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}
inline std::uint16_t loadBigEndian16(const unsigned char* b) {
  return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}
inline std::uint32_t loadLittleEndian32(const unsigned char* b) {
  return std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 | b[0];
}
inline void storeBigEndian32(unsigned char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}
inline void storeBigEndian16(unsigned char* out, std::uint16_t value) {
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}
inline void storeLittleEndian32(unsigned char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// ---- HTK parameter files ----
constexpr std::size_t kHtkHeaderBytes = 12;
constexpr std::int32_t kSamplePeriod = 100000;  // 10 ms in 100 ns units: the frame shift
constexpr std::int16_t kParmMfcc = 6;           // MFCC, no qualifier bits
constexpr std::int16_t kQualifierDelta = 0x100;         // _D
constexpr std::int16_t kQualifierAcceleration = 0x200;  // _A
constexpr std::int16_t kQualifierZeroMean = 0x800;      // _Z
constexpr std::int16_t kQualifierC0 = 0x2000;           // _0

struct HtkHeader {
  std::int32_t frames = 0;         // nSamples
  std::int32_t samplePeriod = 0;   // sampPeriod, 100 ns units
  std::uint16_t vectorBytes = 0;   // sampSize
  std::uint16_t parmKind = 0;      // base kind and qualifier bits
};

void encodeHtkHeader(const HtkHeader& header, unsigned char out[kHtkHeaderBytes]);
HtkHeader decodeHtkHeader(const unsigned char in[kHtkHeaderBytes]);
// Why a file of size bytes with this header is no valid HTK file (a
// negative count, a period of 0 or less, a vector size that is no multiple
// of 4, a length other than 12 + frames x vectorBytes), or "".
std::string htkProblem(const HtkHeader& header, long long size);
// Why an HTK file cannot have this sample period (100 ns units), or "".
std::string samplePeriodProblem(long long period);
// "MFCC_D_A_Z_0": the base kind and the qualifiers in HTK's order.
std::string parmKindName(unsigned kind);

// ---- The tool's .C12 and .ENG files ----
constexpr int kCepstrumValues = 12;  // c1..c12 a frame
constexpr int kEnergyValues = 1;
// Why a file of size bytes whose frame count is count is no valid file of
// values floats a frame (name: ".C12" or ".ENG"), or "".
std::string countedProblem(std::int32_t count, int values, const char* name, long long size);

// ---- Kaldi binary archives ----
// An entry: "<key> ", then "\0B" (binary), the token "FM " (a float matrix),
// "\4" and the rows as a little-endian int32, "\4" and the columns, then
// rows x columns little-endian float32, row by row. An index (scp) line is
// "<key> <archive>:<offset of the \0B>".
constexpr std::size_t kKaldiMatrixHeaderBytes = 15;  // "\0B" "FM " \4 rows \4 cols

// The header of a float matrix of rows x columns, after the key and its space.
std::string kaldiMatrixHeader(std::int32_t rows, std::int32_t columns);
// The bytes of a whole entry, the values given in host order.
std::string kaldiMatrixEntry(const std::string& key, const float* values, std::int32_t rows, std::int32_t columns);
// The same in Kaldi's text form: "<key>  [", a line "  v v ... " per row
// (each value printed with 9 significant digits, which give the float back
// exactly), "]" and a newline; "<key>  [ ]" for no rows.
std::string kaldiTextMatrixEntry(const std::string& key, const float* values, std::int32_t rows, std::int32_t columns);
// A double matrix ("\0B" "DM " \4 rows \4 cols, little-endian float64), as
// statistics are stored: a whole file holds one, an archive entry follows
// "<key> ".
std::string kaldiDoubleMatrix(const double* values, std::int32_t rows, std::int32_t columns);
// Why a key cannot stand in an archive (empty, or holding white space or a
// byte Kaldi's readers split on), or "".
std::string kaldiKeyProblem(const std::string& key);

struct KaldiMatrixHeader {
  std::int32_t rows = 0;
  std::int32_t columns = 0;
};
// Reads the matrix header from its first kKaldiMatrixHeaderBytes bytes;
// problem says why they are no binary float matrix (a text entry, a
// compressed or double matrix, negative sizes), else stays empty.
KaldiMatrixHeader decodeKaldiMatrixHeader(const unsigned char* in, std::size_t size, std::string& problem);

// ---- Audio files ----
// The kind of audio (or other) file the first bytes show ("a WAV", "an
// RF64", "a FLAC", "an Ogg", "an AIFF", "an IFF", "an MP3 (ID3 tag)", "an
// MP3 (MPEG audio)"), or null.
const char* audioSignature(const unsigned char* head, std::size_t size);

}  // namespace feature_files

#endif  // FEATURE_FEATURE_FILES_H
