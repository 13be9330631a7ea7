#!/usr/bin/python3
"""Benchmark of the Python package against the tool, on one machine run:

- CPU per frame: the tool (-j 1, files read and written) and in-process
  mfcc_frontend.features over the same corpus held in memory;
- two Python threads against one (the GIL is released while extracting);
- the overhead of a call: an empty recording against a 1-second one;
- resident memory over 10,000 calls.

    PYTHONPATH=build/python bench/bench_python.py [--seconds S] [--files N] [--tool build/feature]

Medians of alternated rounds; ratios are what to compare on a busy machine.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import mfcc_frontend as mf


def speech_like(n, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000.0
    f0 = 120 * (1 + 0.25 * np.sin(2 * np.pi * 0.9 * t + seed))
    phase = 2 * np.pi * np.cumsum(f0) / 16000.0
    voiced = sum(np.sin(h * phase) / h for h in range(1, 20))
    envelope = np.maximum(0, np.sin(2 * np.pi * 3.7 * t))
    x = 5000 * envelope * voiced + rng.normal(0, 150, n)
    x[(t % 2.9) > 2.5] = 0
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


def resident_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1560.0)
    parser.add_argument("--files", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tool", default=os.path.join(os.path.dirname(__file__), "..", "build", "feature"))
    args = parser.parse_args(argv)

    work = tempfile.mkdtemp(prefix="feature-bench-python-")
    print(f"writing a corpus of {args.seconds:.0f} s in {args.files} files...", file=sys.stderr)
    recordings = []
    names = []
    os.makedirs(os.path.join(work, "in"))
    for i in range(args.files):
        n = min(int(args.seconds / args.files * (0.5 + (i % 7) / 6.0) * 16000), mf.MAX_SAMPLES)
        x = speech_like(n, 1000 + i)
        x.astype("<i2").tofile(os.path.join(work, "in", f"u{i}"))
        recordings.append(x)
        names.append(f"u{i}")
    with open(os.path.join(work, "list"), "w") as f:
        f.write("\n".join(names) + "\n")
    frames = sum(max(0, x.size // 160 - 1) if x.size >= 320 else 0 for x in recordings)
    audio = sum(x.size for x in recordings) / 16000.0
    print(f"corpus: {args.files} files, {audio:.1f} s of audio, {frames} frames")

    tool_cpu, python_cpu, one_thread, two_threads = [], [], [], []

    def extract_all(items):
        for x in items:
            mf.features(x, normalisation="MVNMA")

    for r in range(args.rounds):
        print(f"round {r + 1} of {args.rounds}...", file=sys.stderr)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([args.tool, "-q", os.path.join(work, "list"), os.path.join(work, "in"),
                        os.path.join(work, "out"), "MVNMA"], check=True, stdin=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        tool_cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)

        start = time.process_time()
        extract_all(recordings)
        python_cpu.append(time.process_time() - start)

        start = time.perf_counter()
        extract_all(recordings)
        one_thread.append(time.perf_counter() - start)

        halves = [recordings[0::2], recordings[1::2]]
        threads = [threading.Thread(target=extract_all, args=(h,)) for h in halves]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        two_threads.append(time.perf_counter() - start)

    med = lambda v: float(np.median(v))  # noqa: E731
    print(f"\nCPU per frame, median of {args.rounds} rounds, mode MVNMA")
    print(f"  the tool, -j 1 (files read and written): {1e9 * med(tool_cpu) / frames:8.0f} ns")
    print(f"  mfcc_frontend.features, in memory:        {1e9 * med(python_cpu) / frames:8.0f} ns")
    print(f"  Python speed against the tool's: {med(tool_cpu) / med(python_cpu):.2f}")
    print(f"two threads against one (wall time): {med(one_thread) / med(two_threads):.2f}x "
          f"({med(one_thread):.3f} s, {med(two_threads):.3f} s)")

    second = recordings[0][:16000]
    empty = np.zeros(0, np.int16)
    mf.features(second)
    calls = 2000
    timings = {}
    for label, x in (("1-second recording", second), ("empty recording", empty)):
        best = []
        for _ in range(args.rounds):
            start = time.perf_counter()
            for _ in range(calls):
                mf.features(x)
            best.append((time.perf_counter() - start) / calls)
        timings[label] = min(best)
    print(f"a call: {1e6 * timings['1-second recording']:.1f} us for a 1-second recording, "
          f"{1e6 * timings['empty recording']:.2f} us for an empty one: overhead "
          f"{100 * timings['empty recording'] / timings['1-second recording']:.1f} %")

    for _ in range(1000):
        mf.features(second)
    after_1000 = resident_kb()
    for _ in range(9000):
        mf.features(second)
    after_10000 = resident_kb()
    print(f"resident memory: {after_1000} kB after 1,000 calls, {after_10000} kB after 10,000")
    batch_comparison(args.rounds)
    subprocess.run(["rm", "-rf", work], check=False)
    return 0


def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def batch_comparison(rounds):
    """A batch of 1,000 one-second utterances: features_batch with jobs 1
    and 2 against a Python loop of features(); and, with torchaudio, its
    Kaldi-compatible MFCC with deltas on the same batch."""
    batch = [speech_like(16000, 5000 + i) for i in range(1000)]
    timings = {"loop of features()": [], "features_batch, jobs=1": [], "features_batch, jobs=2": []}
    before = peak_kb()
    for _ in range(rounds):
        start = time.perf_counter()
        [mf.features(x, normalisation="CMN") for x in batch]
        timings["loop of features()"].append(time.perf_counter() - start)
        for jobs in (1, 2):
            start = time.perf_counter()
            mf.features_batch(batch, "CMN", jobs=jobs)
            timings[f"features_batch, jobs={jobs}"].append(time.perf_counter() - start)
    peak = peak_kb()
    base = float(np.median(timings["features_batch, jobs=1"]))
    print(f"\na batch of 1,000 one-second utterances (CMN), wall time, median of {rounds}:")
    for label, values in timings.items():
        value = float(np.median(values))
        print(f"  {label:24s} {value:7.3f} s  ({base / value:.2f}x jobs=1)")
    print(f"  peak resident memory: {peak} kB (before the batches: {before} kB)")
    try:
        import torch
        import torchaudio
    except ImportError:
        print("  torchaudio is not installed: no comparison with its Kaldi-compatible MFCC")
        return
    torch.set_num_threads(1)
    waves = [torch.from_numpy(x.astype(np.float32)).unsqueeze(0) for x in batch]

    def torchaudio_features(w):
        m = torchaudio.compliance.kaldi.mfcc(w, sample_frequency=16000, frame_length=20, frame_shift=10,
                                             num_mel_bins=24, num_ceps=13, cepstral_lifter=22, dither=0.0,
                                             use_energy=False)
        d = torchaudio.functional.compute_deltas(m.T)
        return torch.cat([m.T, d, torchaudio.functional.compute_deltas(d)]).T

    ours, theirs = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        mf.features_batch(batch, "NONE", jobs=1)
        ours.append(time.perf_counter() - start)
        start = time.perf_counter()
        [torchaudio_features(w) for w in waves]
        theirs.append(time.perf_counter() - start)
    print(f"  torchaudio compliance.kaldi.mfcc + compute_deltas twice, one thread: "
          f"{float(np.median(theirs)):.3f} s against features_batch(jobs=1) {float(np.median(ours)):.3f} s: "
          f"{float(np.median(theirs)) / float(np.median(ours)):.1f}x")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
