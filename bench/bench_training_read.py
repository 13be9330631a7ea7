#!/usr/bin/env python3
"""What training pays to write and read features: N utterances (the
example recordings over and over, under distinct keys) written as one HTK
file each by the tool, as a Kaldi archive with its index and as shards by
feature-kaldi; then read in one DataLoader worker from shards (in order,
and by key in a random order through the index), from the Kaldi index in a
random order and from the HTK files in a random order (batches of 32,
padded by training.pad_collate), with a cold page
cache (when this user may drop it) and a warm one. Reports seconds,
utterances a second and the files opened under the data directory
(counted by strace, when it is there).

    PYTHONPATH=build/python bench/bench_training_read.py /tmp/bench-read --utterances 10000
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def drop_caches() -> bool:
    try:
        subprocess.run(["sync"], check=True)
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def prepare(work: str, count: int, build: str) -> dict:
    names = []
    with open(os.path.join(ROOT, "examples", "list.txt")) as f:
        names = f.read().split()
    recordings = os.path.join(ROOT, "examples", "recordings")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "in"))
    keys = [f"u{i:06d}" for i in range(count)]
    with open(os.path.join(work, "wav.scp"), "w") as scp, open(os.path.join(work, "list"), "w") as lst:
        for i, key in enumerate(keys):
            source = os.path.join(recordings, names[i % len(names)])
            scp.write(f"{key} {source}\n")
            lst.write(key + "\n")
            os.symlink(source, os.path.join(work, "in", key))
    times = {}
    commands = {
        "HTK files (tool)": [os.path.join(build, "feature"), "-q", "-j", "1", os.path.join(work, "list"),
                             os.path.join(work, "in"), os.path.join(work, "htk"), "CMN"],
        "Kaldi ark,scp": [os.path.join(build, "feature-kaldi"), "-q", "--input-format=raw", "-j", "1",
                          f"scp:{work}/wav.scp", f"ark,scp:{work}/feats.ark,{work}/feats.scp", "CMN"],
        "shards": [os.path.join(build, "feature-kaldi"), "-q", "--input-format=raw", "-j", "1",
                   f"scp:{work}/wav.scp", f"shards:{work}/shards", "CMN"],
    }
    for what, command in commands.items():
        start = time.perf_counter()
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL)
        times[what] = time.perf_counter() - start
    return times


def read(kind: str, work: str) -> None:
    """One pass over every utterance in one DataLoader worker (a child run)."""
    import torch
    from torch.utils.data import DataLoader, Dataset
    import mfcc_frontend as mf
    from mfcc_frontend import training

    class HtkFiles(Dataset):
        def __init__(self, directory):
            self.paths = sorted(os.path.join(directory, n) for n in os.listdir(directory))

        def __len__(self):
            return len(self.paths)

        def __getitem__(self, i):
            return self.paths[i], torch.from_numpy(mf.read_htk(self.paths[i]).data)

    order = None
    if kind == "shards, in order":
        data = training.ShardDataset(os.path.join(work, "shards"), tensors=True)
    elif kind == "shards, random by key":
        data = training.IndexedShards(os.path.join(work, "shards"), tensors=True)
    elif kind == "Kaldi scp, random":
        data = training.KaldiScpDataset(os.path.join(work, "feats.scp"), tensors=True)
    else:
        data = HtkFiles(os.path.join(work, "htk"))
    if kind != "shards, in order":
        order = list(range(len(data)))
        random.Random(1).shuffle(order)
    loader = DataLoader(data, batch_size=32, num_workers=1, sampler=order, collate_fn=training.pad_collate)
    start = time.perf_counter()
    count = sum(len(keys) for keys, _, _ in loader)
    seconds = time.perf_counter() - start
    print(f"{count} {seconds:.3f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("work")
    parser.add_argument("--utterances", type=int, default=10000)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--read", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.read:
        read(args.read, args.work)
        return 0
    writes = prepare(args.work, args.utterances, args.build)
    print(f"writing {args.utterances} utterances, one worker:")
    for what, seconds in writes.items():
        print(f"  {what:18s} {seconds:7.2f} s  {args.utterances / seconds:8.0f} utterances/s")
    print("reading them in one DataLoader worker:")
    kinds = ("shards, in order", "shards, random by key", "Kaldi scp, random", "HTK files, random")
    strace = shutil.which("strace")
    for kind in kinds:
        opened = "?"
        if strace:
            log = os.path.join(args.work, "strace.log")
            subprocess.run([strace, "-f", "-qq", "-e", "trace=openat", "-o", log, sys.executable, __file__, args.work,
                            "--read", kind], check=True, capture_output=True)
            with open(log) as f:
                opened = sum(1 for line in f if f'"{args.work}/' in line and "O_DIRECTORY" not in line)
        for cache in ("cold", "warm"):
            if cache == "cold" and not drop_caches():
                continue
            run = subprocess.run([sys.executable, __file__, args.work, "--read", kind], check=True,
                                 capture_output=True, text=True)
            count, seconds = run.stdout.split()
            print(f"  {kind:24s} {cache}: {float(seconds):7.2f} s  {int(count) / float(seconds):8.0f} utterances/s"
                  f"  files opened: {opened}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
