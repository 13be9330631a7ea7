#!/usr/bin/python3
"""CPU per frame of feature-kaldi through a wav.scp of paths and of pipes,
against the batch tool on the same corpus (raw files and WAV files), all
in one run. Prints figures; asserts nothing.

    bench/bench_kaldi.py [BUILD_DIR]   (default: build)
"""
import os
import resource
import subprocess
import sys
import tempfile

import numpy as np

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
FILES, SECONDS = 40, 30


def cpu(command):
    """CPU seconds (user + system) of the command and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


with tempfile.TemporaryDirectory() as d:
    rng = np.random.default_rng(1)
    t = np.arange(SECONDS * 16000) / 16000
    frames = 0
    names = []
    for i in range(FILES):
        voiced = np.sin(2 * np.pi * (120 + 30 * np.sin(t * (1 + i % 3))) * t) * np.maximum(0, np.sin(2 * np.pi * 4 * t))
        x = np.clip(6000 * voiced + 200 * rng.standard_normal(t.size), -32768, 32767).astype("<i2")
        name = f"u{i:02d}"
        x.tofile(os.path.join(d, name))
        subprocess.run(["sox", "-t", "raw", "-r", "16000", "-b", "16", "-e", "signed", "-c", "1",
                        os.path.join(d, name), os.path.join(d, name + ".wav")], check=True)
        names.append(name)
        frames += x.size // 160 - 1
    with open(os.path.join(d, "list"), "w") as f:
        f.write("\n".join(names) + "\n")
    for kind, line in (("paths", "{0} {1}/{0}.wav"), ("cat", "{0} cat {1}/{0}.wav |"),
                       ("sox", "{0} sox {1}/{0}.wav -t wav - |")):
        with open(os.path.join(d, kind + ".scp"), "w") as f:
            f.write("".join(line.format(n, d) + "\n" for n in names))
    runs = {
        "feature, raw files": [f"{BUILD}/feature", "-q", f"{d}/list", d, f"{d}/out", "CMN"],
        "feature, WAV files": [f"{BUILD}/feature", "-q", "--input-format=audio", "--input-extension=wav",
                               f"{d}/list", d, f"{d}/out", "CMN"],
        "feature-kaldi, wav.scp of paths": [f"{BUILD}/feature-kaldi", "-q", f"scp:{d}/paths.scp",
                                            f"ark,scp:{d}/a.ark,{d}/a.scp", "CMN"],
        "feature-kaldi, wav.scp of cat pipes": [f"{BUILD}/feature-kaldi", "-q", f"scp:{d}/cat.scp",
                                                f"ark,scp:{d}/b.ark,{d}/b.scp", "CMN"],
        "feature-kaldi, wav.scp of sox pipes": [f"{BUILD}/feature-kaldi", "-q", f"scp:{d}/sox.scp",
                                                f"ark,scp:{d}/c.ark,{d}/c.scp", "CMN"],
    }
    results = {label: [] for label in runs}
    for _ in range(3):
        for label, command in runs.items():
            results[label].append(cpu(command))
    base = min(results["feature, raw files"])
    print(f"{FILES} recordings of {SECONDS} s ({frames} frames), CMN, one worker, CPU of the best of 3:")
    for label, seconds in results.items():
        best = min(seconds)
        print(f"  {label:38s} {best / frames * 1e9:7.0f} ns/frame  ({best / base:.2f} x the tool on raw files)")
