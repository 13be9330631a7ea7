#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/ioctl.h>
#include <stdexcept>
#include <thread>

namespace test {

std::unique_ptr<FEATURE> makeExtractor(int normType) {
  auto extractor = std::make_unique<FEATURE>();
  extractor->normType = normType;
  extractor->ini_fea_para();
  return extractor;
}

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/feature-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

namespace {

void removeTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0700);  // tests may have taken write permission away
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") removeTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void collectTree(const std::string& root, const std::string& relative,
                 std::vector<std::string>& out) {
  DIR* dir = opendir((root + "/" + relative).c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    lstat((root + "/" + child).c_str(), &info);
    if (S_ISDIR(info.st_mode)) {
      out.push_back(child + "/");
      collectTree(root, child, out);
    } else {
      out.push_back(child);
    }
  }
  closedir(dir);
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

ScratchDir::~ScratchDir() { removeTree(path_); }

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
  writeBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

void writeSamples(const std::string& path, const std::vector<std::int16_t>& samples) {
  std::vector<unsigned char> bytes(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto value = static_cast<std::uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<unsigned char>(value & 0xFF);
    bytes[2 * i + 1] = static_cast<unsigned char>(value >> 8);
  }
  writeBytes(path, bytes);
}

std::vector<unsigned char> readBytes(const std::string& path) {
  const std::string text = readWhole(path);
  return std::vector<unsigned char>(text.begin(), text.end());
}

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> listTree(const std::string& root) {
  std::vector<std::string> out;
  collectTree(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::int16_t> sine(int count, double frequency, double amplitude) {
  std::vector<std::int16_t> samples(count);
  for (int n = 0; n < count; ++n) {
    samples[n] = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2.0 * M_PI * frequency * n / kSampleRate)));
  }
  return samples;
}

std::vector<std::int16_t> noise(int count, std::uint32_t seed, int amplitude) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(-amplitude, amplitude);
  std::vector<std::int16_t> samples(count);
  for (auto& sample : samples) sample = static_cast<std::int16_t>(value(random));
  return samples;
}

std::vector<std::int16_t> speechLike(int count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> hiss(0.0, 1.0);
  std::vector<std::int16_t> samples(count);
  double phase = 0.0;
  for (int n = 0; n < count; ++n) {
    const double t = static_cast<double>(n) / kSampleRate;
    const double pitch = 120.0 + 40.0 * std::sin(2.0 * M_PI * 0.7 * t + seed);
    phase += 2.0 * M_PI * pitch / kSampleRate;
    double voiced = 0.0;
    for (int h = 1; h <= 12; ++h) voiced += std::sin(h * phase) / h;
    const double syllable = std::sin(2.0 * M_PI * 4.0 * t);
    const double envelope = syllable > 0.0 ? syllable : 0.0;
    const double value = 6000.0 * envelope * voiced + 200.0 * hiss(random);
    const bool gap = (n / 4000) % 7 == 3;  // a silent quarter second now and then
    samples[n] = gap ? 0 : static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
  }
  return samples;
}

void execTool(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> words(1, program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

Spawned spawn(const std::vector<std::string>& args, const SpawnOptions& options) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (options.inputPipe && pipe(in) != 0) throw std::runtime_error("pipe");
  if (options.outputPipe && pipe(out) != 0) throw std::runtime_error("pipe");
  int terminal = -1, typed = -1;
  if (options.terminalInput && openpty(&terminal, &typed, nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty");
  }
  Spawned s;
  s.pid = fork();
  if (s.pid == 0) {
    const int errors = open(options.errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int output = options.outputFile.empty() || options.outputFile == options.errorsFile
                           ? errors
                           : open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int input = open(options.inputFile.c_str(), O_RDONLY);
    dup2(options.terminalInput ? typed : options.inputPipe ? in[0] : input, 0);
    dup2(options.outputPipe ? out[1] : output, 1);
    dup2(errors, 2);
    if (options.inChild) options.inChild();
    for (int fd = 3; fd < 64; ++fd) close(fd);
    execTool(options.program, args);
  }
  if (options.inputPipe) {
    close(in[0]);
    s.input = in[1];
  }
  if (options.terminalInput) {
    close(typed);
    s.input = terminal;
  }
  if (options.outputPipe) {
    close(out[1]);
    s.output = out[0];
  }
  return s;
}

int waitStatus(pid_t pid, rusage* usage) {
  int status = 0;
  if (usage != nullptr) {
    wait4(pid, &status, 0, usage);
  } else {
    waitpid(pid, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) throw std::runtime_error("write to the program");
    done += static_cast<std::size_t>(n);
  }
}

std::pair<long, int> waitMeasuringPeak(pid_t pid) {
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  char target[PATH_MAX];
  long peak = 0;
  for (;;) {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, WNOHANG) == pid) {
      return {peak, WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus)};
    }
    const ssize_t n = readlink(exe.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)).find("/feature") != std::string::npos) {
      std::ifstream in(status);
      std::string line;
      while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) peak = std::max(peak, std::atol(line.c_str() + 6));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

RunResult runTool(const std::vector<std::string>& args, const RunOptions& options) {
  ScratchDir io;
  SpawnOptions spawned;
  spawned.program = options.program;
  spawned.outputFile = io / "stdout";
  spawned.errorsFile = io / "stderr";
  if (options.input != nullptr) {
    spawned.inputFile = io / "stdin";
    writeText(spawned.inputFile, *options.input);
  }
  spawned.inChild = [&options] {
    if (chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit >= 0) {
      if (options.ignoreFileSizeSignal) signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                         static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.inChild) options.inChild();
  };
  RunResult result;
  result.status = waitStatus(spawn(args, spawned).pid);
  result.output = readWhole(spawned.outputFile);
  result.errors = readWhole(spawned.errorsFile);
  return result;
}

OutputDirectory::OutputDirectory(const std::string& dir) {
  std::snprintf(OUT_C12_DIR, sizeof OUT_C12_DIR, "%s/", dir.c_str());
  std::snprintf(OUT_EC_DIR, sizeof OUT_EC_DIR, "%s/", dir.c_str());
}

OutputDirectory::~OutputDirectory() {
  OUT_C12_DIR[0] = '\0';
  OUT_EC_DIR[0] = '\0';
}

Console::Console(FEATURE& f) : f_(f) { f.settings.console = open_memstream(&text_, &length_); }

Console::~Console() {
  close();
  std::free(text_);
}

std::string Console::text() {
  close();
  return std::string(text_, length_);
}

void Console::close() {
  if (f_.settings.console != stdout) std::fclose(f_.settings.console);
  f_.settings.console = stdout;
}

RunResult runToolOnTerminal(const std::vector<std::string>& args, int columns, const std::string* keys) {
  int terminal = -1;
  winsize size{};
  size.ws_row = 40;
  size.ws_col = static_cast<unsigned short>(columns);
  const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
  if (child == 0) {
    if (keys == nullptr) {
      const int devNull = open("/dev/null", O_RDONLY);
      dup2(devNull, 0);
    }
    execTool(FEATURE_BINARY, args);
  }
  if (keys != nullptr && !keys->empty()) {
    // No echo of the keys: it would land on the screen wherever the tool
    // happens to be when they are typed (a race under load).
    termios mode{};
    if (tcgetattr(terminal, &mode) == 0) {
      mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(terminal, TCSANOW, &mode);
    }
    if (write(terminal, keys->data(), keys->size()) < 0) throw std::runtime_error("typing into the terminal");
  }
  RunResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has closed its side
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(terminal);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::vector<std::string> terminalScreen(const std::string& output, int columns) {
  std::vector<std::string> lines(1);
  std::size_t row = 0, column = 0;
  for (std::size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      ++row;
      column = 0;
    } else if (c == '\033' && output.compare(i, 3, "\033[K") == 0) {
      if (lines[row].size() > column) lines[row].resize(column);
      i += 2;
    } else {
      if (column == static_cast<std::size_t>(columns)) {  // wraps
        ++row;
        column = 0;
      }
      if (row >= lines.size()) lines.resize(row + 1);
      if (lines[row].size() <= column) lines[row].resize(column + 1, ' ');
      lines[row][column++] = c;
      continue;
    }
    if (row >= lines.size()) lines.resize(row + 1);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

float htkValue(const std::vector<unsigned char>& file, std::size_t i) {
  const unsigned char* p = file.data() + 12 + 4 * i;
  return bitsToFloat((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                     (std::uint32_t{p[2]} << 8) | p[3]);
}

std::vector<std::int16_t> samplesOf(const std::vector<unsigned char>& bytes) {
  std::vector<std::int16_t> samples(std::min<std::size_t>(bytes.size() / 2, static_cast<std::size_t>(kMaxSamples)));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

std::vector<float> bigEndianFloats(const std::vector<unsigned char>& bytes, std::size_t offset) {
  std::vector<float> values((bytes.size() - offset) / 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const unsigned char* p = &bytes[offset + 4 * i];
    values[i] = test::bitsToFloat((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                  (std::uint32_t{p[2]} << 8) | p[3]);
  }
  return values;
}

std::vector<float> littleEndianFloats(const std::vector<unsigned char>& bytes, std::size_t offset) {
  std::vector<float> values((bytes.size() - offset) / 4);
  if (!values.empty()) std::memcpy(values.data(), bytes.data() + offset, values.size() * 4);
  return values;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
}

bool writeAudio(const std::string& path, int format, const std::vector<std::int16_t>& samples, int channels,
                int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
  const bool written = sf_writef_short(file, samples.data(), frames) == frames;
  return sf_close(file) == 0 && written;
}

std::vector<std::string> goldenNames() {
  const auto list = readBytes(std::string(GOLDEN_DIR) + "/list");
  std::vector<std::string> names;
  std::string name;
  for (unsigned char c : list) {
    if (std::isspace(c)) {
      if (!name.empty()) names.push_back(name);
      name.clear();
    } else {
      name.push_back(static_cast<char>(c));
    }
  }
  if (!name.empty()) names.push_back(name);
  return names;
}

}  // namespace test
