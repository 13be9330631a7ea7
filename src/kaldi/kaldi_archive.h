// A Kaldi archive of float matrices with its index and tables, written by
// feature-kaldi and by the Python package through the same code: the
// archive (binary entries "<key> \0BFM ..."), optionally its index
// (feats.scp: "<key> <archive>:<offset>"), utt2num_frames ("<key> <rows>")
// and utt2dur ("<key> <seconds>"). Every file is a kit::OutputFile: they
// appear under their names only when all are complete (devices and FIFOs
// are written into as the entries come).
#ifndef KALDI_KALDI_ARCHIVE_H
#define KALDI_KALDI_ARCHIVE_H

#include <cstdint>
#include <functional>
#include <string>

#include "file_identity.h"
#include "output_file.h"

namespace kaldi_io {

// The names of the outputs; "" leaves one out (the archive too, when a
// table is written: the features then go elsewhere). The archive "-" is
// standard output (then there is no index).
struct ArchiveNames {
  std::string archive;
  std::string index;
  std::string numFrames;
  std::string durations;
  bool text = false;  // a text archive ("<key>  [\n  v v ... ]"), each value with 9 digits
};

class ArchiveWriter {
 public:
  // Opens every output, or none: "" or why not (a target that cannot be
  // written, two outputs that are one file, an output that is one of the
  // inputs; describeInput words the number InputFiles::find gave).
  std::string open(const ArchiveNames& names, const kit::InputFiles* inputs = nullptr,
                   const std::function<std::string(long)>& describeInput = {});
  // The system's errno when open failed for one (0 for the other refusals).
  int openError() const { return openError_; }

  // Appends the matrix of rows x columns values (host order) under key,
  // with its line in each table (seconds: its duration, for utt2dur).
  // False when the key cannot stand in an archive (problem() says why; the
  // files are still good) or a file could not be written (then failed()).
  bool add(const std::string& key, const float* values, std::int32_t rows, std::int32_t columns,
           float seconds = 0.0f);
  // A double matrix (statistics) under key, in the archive and its index.
  bool addDoubles(const std::string& key, const double* values, std::int32_t rows, std::int32_t columns);
  const std::string& problem() const { return problem_; }
  bool failed() const { return failed_; }

  // Puts every file under its name: "" or what happened, naming what was
  // left (see kit::commitTogether).
  std::string commit();
  void abandon();

  std::uint64_t entries() const { return entries_; }

 private:
  bool addEntry(const std::string& key, const std::function<std::string()>& entry, std::int32_t rows, float seconds);

  ArchiveNames names_;
  kit::OutputFile archive_, index_, numFrames_, durations_;
  std::string problem_;
  int openError_ = 0;
  bool failed_ = false;
  std::uint64_t entries_ = 0;
};

}  // namespace kaldi_io

#endif  // KALDI_KALDI_ARCHIVE_H
