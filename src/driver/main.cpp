// feature: turns the recordings named in a list file into HTK files of
// 39-value MFCC vectors.
//
//   feature [options] <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>
//
// Exit status: 0 when every utterance was written, 1 when any failed or the
// run could not start or had to stop.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "feature.h"
#include "batch.h"
#include "options.h"
#include "output_file.h"
#include "standard_descriptors.h"

namespace {

// Whether standard input is the list file itself (a list given as
// /dev/stdin): the pause after "Error" must then not read from it.
bool inputIsList(std::FILE* list) {
  struct stat input, listed;
  return fstat(STDIN_FILENO, &input) == 0 && fstat(fileno(list), &listed) == 0 &&
         input.st_dev == listed.st_dev && input.st_ino == listed.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
  if (!openStandardDescriptors()) return 1;
  // Interrupted, the tool removes the temporary files it is writing and
  // ends as the signal would have ended it; past a file-size limit, a write
  // fails like a full disk ("Error" for that file).
  kit::removeTemporariesOnSignals();
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr, "Try 'feature --help'\n");
    return 1;
  }
  if (options.help) {
    printHelp(stdout);
    return 0;
  }
  if (options.version) {
    printVersion(stdout);
    return 0;
  }

  auto extractor = std::make_unique<FEATURE>();
  explainArguments(options);
  extractor->checkArgs(static_cast<int>(options.arguments.size()), options.arguments.data());
  argv = options.arguments.data();
  options.setup.mode = argv[4];
  options.setup.inputDir = argv[2];
  options.setup.outputDir = argv[3];
  LoopSettings settings;
  const std::string refusal = prepareRun(options.setup, *extractor, settings);
  if (!refusal.empty()) {
    std::fprintf(stderr, "feature: %s\n", refusal.c_str());
    return 1;
  }

  std::FILE* list = openList(argv[1]);
  if (list == nullptr) {
    const int error = errno;
    std::printf("cant open LST file : %s\n", argv[1]);
    std::fflush(stdout);
    std::fprintf(stderr, "feature: cannot read the list file %s: %s\n", argv[1],
                 std::strerror(error));
    if (argv[1][0] == '-') {
      std::fprintf(stderr, "feature: %s is no option of this tool; options come first (Try 'feature --help')\n",
                   argv[1]);
    }
    return 1;
  }
  settings.pause = !inputIsList(list);
  int status = runBatch(list, *extractor, settings);
  if (std::ferror(list)) {
    std::fprintf(stderr, "feature: the list file %s could not be read to its end\n", argv[1]);
    status = 1;
  }
  std::fclose(list);
  return status;
}
