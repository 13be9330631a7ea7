#!/usr/bin/env python3
"""The golden files under tests/golden: recordings, and the tool's outputs for
them in every mode.

    golden.py recordings          write tests/golden/recordings and the list
    golden.py update FEATURE_BIN  run the tool and store its outputs as expected
    golden.py check               compare the expected files with the
                                  independent Python implementation
"""
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GOLDEN = os.path.join(HERE, "..", "tests", "golden")
RECORDINGS = os.path.join(GOLDEN, "recordings")
EXPECTED = os.path.join(GOLDEN, "expected")
MODES = ("CMN", "MVNMA", "NONE")

sys.path.insert(0, HERE)
import reference_features  # noqa: E402


def clip(v):
    return max(-32768, min(32767, int(round(v))))


def speech(seconds, seed, level=6000.0, pitch=120.0):
    """Voiced syllables: harmonics of a gliding pitch shaped by two moving
    resonances, with breath noise, at a syllable rate of about 4 Hz."""
    rnd = random.Random(seed)
    out, phase = [], 0.0
    for n in range(int(seconds * 16000)):
        t = n / 16000.0
        f0 = pitch * (1.0 + 0.25 * math.sin(2 * math.pi * 0.9 * t + seed))
        phase += 2 * math.pi * f0 / 16000.0
        formant1 = 500 + 300 * math.sin(2 * math.pi * 1.7 * t)
        formant2 = 1500 + 700 * math.sin(2 * math.pi * 1.1 * t + 1)
        v = 0.0
        for h in range(1, 30):
            fh = h * f0
            if fh > 7800:
                break
            gain = 1.0 / (1.0 + ((fh - formant1) / 200) ** 2) + 0.5 / (1.0 + ((fh - formant2) / 300) ** 2)
            v += gain * math.sin(h * phase)
        envelope = max(0.0, math.sin(2 * math.pi * 4.1 * t)) ** 0.7
        out.append(clip(level * envelope * v + rnd.gauss(0, level / 40)))
    return out


def recordings():
    rnd = random.Random(2024)
    r = {}
    r["speech_a"] = speech(2.5, 1)
    r["speech_b"] = speech(1.3, 2, level=300.0, pitch=210.0)
    r["spk/speech_c"] = speech(0.9, 3, level=12000.0, pitch=95.0)
    r["silence_runs"] = ([0] * 4800 + speech(0.5, 4) + [0] * 6400 + speech(0.3, 5) + [0] * 4000)
    r["all_silent"] = [0] * 8000
    r["clipped"] = [clip(90000 * math.sin(2 * math.pi * (200 + 3000 * n / 16000.0) * n / 16000.0))
                    for n in range(16000)] + [-32768] * 800 + [32767] * 800
    r["dc_offset"] = [1000] * 1600 + [1000 + rnd.randint(-1, 1) for _ in range(6400)] + [-7] * 960
    r["white_noise"] = [rnd.randint(-32768, 32767) for _ in range(12000)]
    r["impulses"] = [(20000 if n % 700 == 0 else 0) + (-15000 if n % 1333 == 5 else 0)
                     for n in range(9600)]
    r["one_frame_constant"] = [321] * 320
    for count in (0, 1, 159, 319, 320, 321, 479, 480, 481, 640):
        r["short/len_%d" % count] = [clip(3000 * math.sin(0.3 * n) + rnd.gauss(0, 50)) for n in range(count)]
    data = {name: struct.pack("<%dh" % len(s), *s) for name, s in r.items()}
    data["short/odd_641_bytes"] = data["short/len_320"] + b"\x7f"
    header = b"RIFF" + struct.pack("<I", 36 + 32000) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 1, 1, 16000, 32000, 2, 16) + b"data" + struct.pack("<I", 32000)
    data["with_wav_header"] = header + struct.pack("<16000h", *speech(1.0, 6))
    return data


def write_recordings():
    shutil.rmtree(RECORDINGS, ignore_errors=True)
    names = []
    for name, data in sorted(recordings().items()):
        path = os.path.join(RECORDINGS, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        names.append(name)
    with open(os.path.join(GOLDEN, "list"), "w") as out:
        out.write("\n".join(names) + "\n")


def names():
    return open(os.path.join(GOLDEN, "list")).read().split()


def update(binary):
    shutil.rmtree(EXPECTED, ignore_errors=True)
    with tempfile.TemporaryDirectory() as scratch:
        for mode in MODES:
            out = os.path.join(scratch, mode)
            # The expected files come from the straightforward front end, the
            # one that follows the definition operation by operation.
            subprocess.run([binary, "--front-end=straightforward", "--c12-eng",
                            os.path.join(GOLDEN, "list"), RECORDINGS, out, mode],
                           check=True, stdin=subprocess.DEVNULL)
            for name in names():
                for ext in (reference_features.EXTENSIONS[mode], "C12", "ENG"):
                    if ext in ("C12", "ENG") and mode != "NONE":
                        continue  # the same in every mode
                    source = os.path.join(out, name + "." + ext)
                    target = os.path.join(EXPECTED, name + "." + ext)
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    shutil.copyfile(source, target)


def check():
    failures = 0
    for name in names():
        files = reference_features.features(os.path.join(RECORDINGS, name), MODES, c12_eng=True)
        for ext, data in files.items():
            expected = open(os.path.join(EXPECTED, name + "." + ext), "rb").read()
            if expected != data:
                failures += 1
                print("differs from the reference: %s.%s" % (name, ext))
    print("%d golden files checked against the reference, %d differ" % (len(names()) * 5, failures))
    return 1 if failures else 0


def main(argv):
    if argv[:1] == ["recordings"]:
        write_recordings()
        return 0
    if argv[:1] == ["update"] and len(argv) == 2:
        update(argv[1])
        return 0
    if argv[:1] == ["check"]:
        return check()
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
