// The HTK writer's bytes, byte order, replacement and failure; directory
// creation.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <functional>

#include "test_support.h"

namespace {

std::vector<unsigned char> header(unsigned char b0, unsigned char b1, unsigned char b2,
                                  unsigned char b3) {
  return {b0, b1, b2, b3, 0x00, 0x01, 0x86, 0xA0, 0x00, 0x9C, 0x00, 0x06};
}

TEST(HtkWriter, EmptyUtteranceIsAHeaderOnly) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 0;
  ASSERT_EQ(f->OutputFeatureHTKFormat("empty", "mfcKVR0DAC39"), 1);
  EXPECT_EQ(test::readBytes(dir / "empty.mfcKVR0DAC39"), header(0, 0, 0, 0));
}

TEST(HtkWriter, BigEndianHeaderAndValues) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 2;
  f->outData.assign(2 * kOutDim, 0.0f);
  f->outData[0] = 1.0f;
  f->outData[kOutDim + 38] = -2.0f;
  f->outData[5] = test::bitsToFloat(0x12345678);
  const auto kept = f->outData;
  ASSERT_EQ(f->OutputFeatureHTKFormat("two", "ext"), 1);
  EXPECT_TRUE(f->outData == kept) << "outData must stay in host order";

  auto expected = header(0, 0, 0, 2);
  expected.resize(12 + 2 * 156, 0);
  const unsigned char one[] = {0x3F, 0x80, 0x00, 0x00};
  const unsigned char minusTwo[] = {0xC0, 0x00, 0x00, 0x00};
  const unsigned char pattern[] = {0x12, 0x34, 0x56, 0x78};
  std::copy(one, one + 4, expected.begin() + 12);
  std::copy(pattern, pattern + 4, expected.begin() + 12 + 5 * 4);
  std::copy(minusTwo, minusTwo + 4, expected.begin() + 12 + (kOutDim + 38) * 4);
  EXPECT_EQ(test::readBytes(dir / "two.ext"), expected);
}

TEST(HtkWriter, LongUtteranceHeaderAndSize) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 300;
  f->outData.assign(300 * kOutDim, 0.5f);
  ASSERT_EQ(f->OutputFeatureHTKFormat("long", "x"), 1);
  const auto bytes = test::readBytes(dir / "long.x");
  ASSERT_EQ(bytes.size(), 12u + 300u * 156u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 12, header(0, 0, 0x01, 0x2C).begin()));
  EXPECT_EQ(test::htkValue(bytes, 300 * kOutDim - 1), 0.5f);
}

TEST(HtkWriter, ReplacesAnExistingFileAndKeepsItsPermissions) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  const std::string path = dir / "u.e";
  test::writeBytes(path, std::vector<unsigned char>(5000, 0xEE));
  chmod(path.c_str(), 0640);
  f->totalFrame = 1;
  f->outData.assign(kOutDim, 1.0f);
  ASSERT_EQ(f->OutputFeatureHTKFormat("u", "e"), 1);
  EXPECT_EQ(test::readBytes(path).size(), 12u + 156u);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  const mode_t mask = umask(022);
  ASSERT_EQ(f->OutputFeatureHTKFormat("fresh", "e"), 1);
  umask(mask);
  ASSERT_EQ(stat((dir / "fresh.e").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"fresh.e", "u.e"}));
}

// Runs check in a child process without root's right to write anywhere (as
// user nobody when the tests run as root); true when it returned true.
bool withoutRoot(const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(HtkWriter, FailsCleanlyWhenTheDirectoryCannotBeWritten) {
  test::ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  test::OutputDirectory out(dir.path() + "/locked");
  mkdir((dir / "locked").c_str(), 0555);
  auto f = test::makeExtractor();
  f->totalFrame = 1;
  f->outData.assign(kOutDim, 1.0f);
  EXPECT_TRUE(withoutRoot([&] {
    return f->OutputFeatureHTKFormat("u", "e") == 0 && f->OutputFeatureHTKFormat("sub/u", "e") == 0;
  }));
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"locked/"}));
  // The same writes succeed where they may write: the check itself is sound.
  chmod((dir / "locked").c_str(), 0777);
  EXPECT_TRUE(withoutRoot([&] { return f->OutputFeatureHTKFormat("u", "e") == 1; }));
  chmod((dir / "locked").c_str(), 0700);
}

TEST(HtkWriter, FailsCleanlyWhenAPathComponentIsAFile) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  test::writeText(dir / "plain", "x");
  auto f = test::makeExtractor();
  f->totalFrame = 0;
  EXPECT_EQ(f->OutputFeatureHTKFormat("plain/u", "e"), 0);
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"plain"}));
}

TEST(HtkWriter, RefusesAPathLongerThan511Characters) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 0;
  const std::size_t room = 511 - (dir.path().size() + 2) - 2;  // "dir//" name ".e"
  EXPECT_EQ(f->OutputFeatureHTKFormat(std::string(room + 1, 'n').c_str(), "e"), 0);
  EXPECT_TRUE(test::listTree(dir.path()).empty());
  // Exactly 511 characters fits (with a name made of directories, since a
  // single component may hold at most 255 bytes).
  std::string name;
  while (name.size() + 100 < room) name += std::string(99, 'd') + "/";
  name += std::string(room - name.size(), 'n');
  EXPECT_EQ(f->OutputFeatureHTKFormat(name.c_str(), "e"), 1);
  EXPECT_TRUE(test::fileExists(dir.path() + "//" + name + ".e"));
}

// Directories once made are not tested again for the next file; one that
// disappears during the run is made again rather than failing the file.
TEST(HtkWriter, RemakesADirectoryRemovedDuringTheRun) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 0;
  ASSERT_EQ(f->OutputFeatureHTKFormat("spk/a", "e"), 1);
  EXPECT_TRUE(f->inKnownDirectory((dir.path() + "//spk/b.e").c_str()));
  ASSERT_EQ(unlink((dir / "spk/a.e").c_str()), 0);
  ASSERT_EQ(rmdir((dir / "spk").c_str()), 0);
  EXPECT_EQ(f->OutputFeatureHTKFormat("spk/b", "e"), 1);
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"spk/", "spk/b.e"}));
}

TEST(ByteSwaps, ReverseUnconditionally) {
  auto f = test::makeExtractor();
  std::int16_t s = 0x0102;
  f->byteSwapShort(&s);
  EXPECT_EQ(s, 0x0201);
  std::int32_t i = 0x01020304;
  f->byteSwapInt(&i);
  EXPECT_EQ(i, 0x04030201);
  float values[3] = {1.0f, -2.0f, 7.0f};
  f->byteSwapArray(values, 2);
  EXPECT_EQ(test::floatBits(values[0]), 0x0000803Fu);
  EXPECT_EQ(test::floatBits(values[1]), 0x000000C0u);
  EXPECT_EQ(values[2], 7.0f);
  f->byteSwapArray(values, 0);
  f->byteSwapArray(values, -1);
  EXPECT_EQ(test::floatBits(values[0]), 0x0000803Fu);
}

// ---- MakeDirectory ----

std::string workingDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

TEST(MakeDirectory, CreatesEveryLevelButTheLast) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  const std::string before = workingDirectory();
  EXPECT_EQ(f->MakeDirectory((dir.path() + "/out//spk1/utt1.mfc").c_str()), 1);
  EXPECT_EQ(f->MakeDirectory((dir.path() + "/a\\b/c/").c_str()), 1);
  EXPECT_EQ(workingDirectory(), before);
  EXPECT_EQ(test::listTree(dir.path()),
            (std::vector<std::string>{"a/", "a\\b/", "a\\b/c/", "out/", "out/spk1/"}));
  // Everything exists now: a second call changes nothing.
  EXPECT_EQ(f->MakeDirectory((dir.path() + "/out//spk1/utt2.mfc").c_str()), 1);
  EXPECT_EQ(test::listTree(dir.path()).size(), 5u);
}

TEST(MakeDirectory, NamesReachNoShell) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  const std::string before = workingDirectory();
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  f->MakeDirectory("a;touch b/$(touch c)/`touch d` & e'\"/u1");
  f->MakeDirectory("x y/u2");
  EXPECT_EQ(workingDirectory(), dir.path());
  ASSERT_EQ(chdir(before.c_str()), 0);
  EXPECT_EQ(test::listTree(dir.path()),
            (std::vector<std::string>{"a;touch b/", "a;touch b/$(touch c)/",
                                      "a;touch b/$(touch c)/`touch d` & e'\"/", "x y/"}));
}

TEST(MakeDirectory, RelativeAndAbsolutePathsAndFilesInTheWay) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  test::writeText(dir / "file", "x");
  EXPECT_EQ(f->MakeDirectory((dir.path() + "/file/sub/u").c_str()), 1);
  EXPECT_EQ(f->MakeDirectory("/"), 1);
  EXPECT_EQ(f->MakeDirectory(""), 1);
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"file"}));
}

}  // namespace
