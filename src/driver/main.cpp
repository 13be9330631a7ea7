// feature: turns the recordings named in a list file into HTK files of
// 39-value MFCC vectors.
//
//   feature [options] <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>
//
// Exit status: 0 when every utterance was written, 1 when any failed or the
// run could not start or had to stop.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "feature.h"
#include "list_reader.h"
#include "options.h"

namespace {

// The directory arguments must fit their 256-byte strings; the output
// directory gets a "/" appended.
bool directoriesFit(const char* inputDir, const char* outputDir) {
  if (std::strlen(inputDir) > kDirCapacity - 1) {
    std::fprintf(stderr, "feature: input directory is longer than %d characters: %s\n",
                 kDirCapacity - 1, inputDir);
    return false;
  }
  if (std::strlen(outputDir) > kDirCapacity - 2) {
    std::fprintf(stderr, "feature: output directory is longer than %d characters: %s\n",
                 kDirCapacity - 2, outputDir);
    return false;
  }
  return true;
}

// The input path of a name, or false (with a message) when the name or the
// path does not fit its 512-byte buffer.
bool inputPathFor(const std::string& name, char (&path)[kPathCapacity]) {
  if (name.find('\0') != std::string::npos) {
    std::fprintf(stderr, "feature: skipped a name that holds a NUL byte: %s\n", name.c_str());
    return false;
  }
  if (name.size() > kPathCapacity - 1) {
    std::fprintf(stderr, "feature: skipped a name longer than %d characters: %s\n",
                 kPathCapacity - 1, name.c_str());
    return false;
  }
  const int length = std::snprintf(path, kPathCapacity, "%s/%s", IN_WAV_DIR, name.c_str());
  if (length < 0 || length > kPathCapacity - 1) {
    std::fprintf(stderr, "feature: skipped %s: input path %s/%s is longer than %d characters\n",
                 name.c_str(), IN_WAV_DIR, name.c_str(), kPathCapacity - 1);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return 1;
  if (options.help) {
    printHelp(stdout);
    return 0;
  }
  if (options.version) {
    printVersion(stdout);
    return 0;
  }

  auto extractor = std::make_unique<FEATURE>();
  extractor->checkArgs(static_cast<int>(options.arguments.size()), options.arguments.data());
  argv = options.arguments.data();
  if (!directoriesFit(argv[2], argv[3])) return 1;
  extractor->writeCepstrumFiles = options.cepstrumFiles;
  extractor->frontEnd = options.frontEnd;

  std::FILE* list = std::fopen(argv[1], "r");
  if (list == nullptr) {
    std::printf("cant open LST file : %s\n", argv[1]);
    return 1;
  }
  std::snprintf(IN_WAV_DIR, sizeof IN_WAV_DIR, "%s", argv[2]);
  std::snprintf(OUT_C12_DIR, sizeof OUT_C12_DIR, "%s/", argv[3]);
  std::snprintf(OUT_EC_DIR, sizeof OUT_EC_DIR, "%s/", argv[3]);
  extractor->ini_fea_para();

  ListReader names(list);
  std::string name;
  int failures = 0;
  while (names.next(name)) {
    char path[kPathCapacity];
    if (!inputPathFor(name, path)) {
      ++failures;
      continue;
    }
    const int result = extractor->doExtract(path, name.c_str(), 1);
    extractor->doReset();
    if (result == kRecordingUnreadable) {
      std::fclose(list);
      return 1;
    }
    if (result != kExtractOk) ++failures;
  }
  std::fclose(list);
  return failures == 0 ? 0 : 1;
}
