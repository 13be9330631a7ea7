// Features of audio as it arrives, with the library's online extractor: a
// complete program. It reads raw 16-bit little-endian samples at 16 kHz
// from standard input in chunks, and prints every frame's 39 values as soon
// as they are final (mode NONE: 50 ms after the frame's end), one line per
// frame with 9 significant digits (which give each float back exactly),
// then the last frames at the end of the input.
//
// Built against the installed library by examples/cpp/CMakeLists.txt (see
// there); the test suite builds and runs it.
//   build-examples/example_online < examples/recordings/speaker1/fox
//   arecord -q -f S16_LE -r 16000 -c 1 | build-examples/example_online
#include <feature/online_extractor.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <vector>

namespace {

// Prints the frames that became final since next, then lets them go.
void printReady(feature::OnlineExtractor& online, int& next) {
  for (; next < online.numFramesReady(); ++next) {
    const float* vector = online.frame(next);
    for (int d = 0; d < online.dimension(); ++d) std::printf(d == 0 ? "%.9g" : " %.9g", static_cast<double>(vector[d]));
    std::printf("\n");
  }
  online.pop(next);
  std::fflush(stdout);
}

}  // namespace

int main() {
  try {
    feature::OnlineExtractor online(feature::Normalisation::None);
    std::vector<unsigned char> chunk(4096);
    int next = 0;
    for (;;) {
      const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), stdin);
      if (n == 0) break;
      online.acceptBytes(chunk.data(), n);  // a sample split between two chunks is joined
      printReady(online, next);
    }
    if (std::ferror(stdin)) {
      std::perror("example_online: standard input");
      return 1;
    }
    online.inputFinished();
    printReady(online, next);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "example_online: %s\n", e.what());
    return 1;
  }
}
