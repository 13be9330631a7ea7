#!/bin/sh
# Installs the build tree into a scratch prefix, checks what was installed,
# and builds and runs a project that finds the extractor with find_package.
#   run.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/feature bin/feature-inspect bin/feature-stream bin/feature-kaldi include/feature/feature.h \
    include/feature/online_extractor.h share/man/man1/feature.1.gz share/man/man1/feature-inspect.1.gz \
    share/man/man1/feature-stream.1.gz share/man/man1/feature-kaldi.1.gz share/doc/feature/copyright \
    share/doc/feature/changelog.gz; do
  [ -e "$scratch/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# The library, its CMake package and pkg-config file side by side (in the
# multiarch directory lib/<triplet> unless the build chose another).
lib=$(dirname "$(find "$scratch/prefix" -name libfeature_extractor.a)")
ls "$lib/cmake/feature/featureConfig.cmake" "$lib/pkgconfig/feature.pc" >/dev/null
# The Python package under /usr/local lands where Debian's python3 finds it.
if [ -n "$(ls "$build"/python/mfcc_frontend/_core*.so 2>/dev/null)" ]; then
  DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr/local --component python >/dev/null
  site=$(/usr/bin/python3 -c 'import sys; print("/usr/local/lib/python%d.%d/dist-packages" % sys.version_info[:2])')
  /usr/bin/python3 -c "import sys; assert '$site' in sys.path, sys.path"
  ls "$scratch/root$site/mfcc_frontend/__init__.py" "$scratch/root$site"/mfcc_frontend/_core*.so >/dev/null
  echo "the Python package under /usr/local: $site, on python3's path"
fi
# Only the public headers: the kernels' stay inside the library.
[ ! -e "$scratch/prefix/include/feature/fast_front_end.h" ] || { echo "a private header was installed"; exit 1; }
"$scratch/prefix/bin/feature" --version
cmake -S "$source/tests/install/consumer" -B "$scratch/consumer" \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$scratch/consumer" >/dev/null
result=$("$scratch/consumer/consumer" "$scratch/tone.raw")
echo "$result"
[ "$result" = "frames 2 C0 60.15" ]
# The complete C++ online example, built against the installation: its lines
# are feature-stream's text for the same samples.
cmake -S "$source/examples/cpp" -B "$scratch/examples" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$scratch/examples" >/dev/null
recording="$source/examples/recordings/speaker1/fox"
"$scratch/examples/example_online" <"$recording" >"$scratch/online.txt"
"$scratch/prefix/bin/feature-stream" --format=text --input-format=raw NONE <"$recording" >"$scratch/stream.txt"
[ -s "$scratch/online.txt" ] && cmp "$scratch/online.txt" "$scratch/stream.txt"
echo "example_online: $(wc -l <"$scratch/online.txt") frames, as feature-stream gives them"
