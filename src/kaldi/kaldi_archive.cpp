#include "kaldi_archive.h"

#include <cstdio>
#include <vector>

#include "feature_files.h"

namespace kaldi_io {

std::string ArchiveWriter::open(const ArchiveNames& names, const kit::InputFiles* inputs,
                                const std::function<std::string(long)>& describeInput) {
  abandon();
  names_ = names;
  problem_.clear();
  openError_ = 0;
  failed_ = false;
  entries_ = 0;
  if (names.archive.empty() && names.numFrames.empty() && names.durations.empty()) return "no archive named";
  if (names.archive.empty() && !names.index.empty()) return "an index needs an archive";
  if (names.archive == "-" && !names.index.empty()) return "an index needs an archive file, not standard output";
  struct Output {
    const std::string* name;
    kit::OutputFile* file;
    const char* what;
  };
  std::vector<Output> outputs;
  for (const Output& o : {Output{&names.archive, &archive_, "the archive"}, Output{&names.index, &index_, "the index"},
                          Output{&names.numFrames, &numFrames_, "the frame counts"},
                          Output{&names.durations, &durations_, "the durations"}}) {
    if (!o.name->empty()) outputs.push_back(o);
  }
  // Every target checked before anything is opened: nothing is written
  // (nor a FIFO's reader woken) for a run that cannot end well.
  std::vector<kit::OutputTarget> targets;
  std::vector<kit::FileIdentity> identities;
  for (const Output& o : outputs) {
    targets.push_back(kit::resolveOutput(*o.name));
    if (targets.back().refused()) {
      openError_ = targets.back().problem.error;
      return targets.back().problem.describe();
    }
    identities.push_back(kit::identify(*o.name));
    for (std::size_t j = 0; j + 1 < identities.size(); ++j) {
      if (kit::sameFile(identities[j], identities.back())) {
        return std::string(o.what) + " and " + outputs[j].what + " are one file (" + *o.name +
               "): each needs a file of its own";
      }
    }
    const long input = inputs == nullptr ? kit::InputFiles::kNone : inputs->find(identities.back());
    if (input != kit::InputFiles::kNone) {
      return "will not write " + std::string(o.what) + " over " + *o.name + ", which is " +
             (describeInput ? describeInput(input) : std::string("an input")) + " of this run";
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (!outputs[i].file->open(targets[i])) {
      openError_ = outputs[i].file->error().error;
      const std::string why = outputs[i].file->error().describe();
      abandon();
      return why;
    }
  }
  return "";
}

bool ArchiveWriter::add(const std::string& key, const float* values, std::int32_t rows, std::int32_t columns,
                        float seconds) {
  return addEntry(key,
                  [&] {
                    return names_.text ? feature_files::kaldiTextMatrixEntry(key, values, rows, columns)
                                       : feature_files::kaldiMatrixEntry(key, values, rows, columns);
                  },
                  rows, seconds);
}

bool ArchiveWriter::addDoubles(const std::string& key, const double* values, std::int32_t rows,
                               std::int32_t columns) {
  return addEntry(key, [&] { return key + ' ' + feature_files::kaldiDoubleMatrix(values, rows, columns); }, rows,
                  0.0f);
}

bool ArchiveWriter::addEntry(const std::string& key, const std::function<std::string()>& entry, std::int32_t rows,
                             float seconds) {
  problem_ = feature_files::kaldiKeyProblem(key);
  if (!problem_.empty()) return false;
  if (failed_) return false;
  // The index points at the "\0B" after the key and its space.
  const std::uint64_t at = archive_.offset() + key.size() + 1;
  char duration[32];
  std::snprintf(duration, sizeof duration, "%g", static_cast<double>(seconds));
  const bool written =
      (!archive_.isOpen() || archive_.write(entry())) &&
      (!index_.isOpen() || index_.write(key + " " + names_.archive + ":" + std::to_string(at) + "\n")) &&
      (!numFrames_.isOpen() || numFrames_.write(key + " " + std::to_string(rows) + "\n")) &&
      (!durations_.isOpen() || durations_.write(key + " " + duration + "\n"));
  failed_ = !written;
  if (written) ++entries_;
  return written;
}

std::string ArchiveWriter::commit() {
  std::vector<kit::OutputFile*> files;
  for (kit::OutputFile* f : {&archive_, &index_, &numFrames_, &durations_}) {
    if (f->isOpen()) files.push_back(f);
  }
  return kit::commitTogether(files);
}

void ArchiveWriter::abandon() {
  for (kit::OutputFile* f : {&archive_, &index_, &numFrames_, &durations_}) f->abandon();
}

}  // namespace kaldi_io
