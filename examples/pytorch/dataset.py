#!/usr/bin/env python3
"""PyTorch DataLoaders over the tool's vectors: from recordings as they come
(a Dataset over a list file), or from training shards written by
feature-kaldi (the package's ShardDataset), padded by the package's collate.

    PYTHONPATH=build/python examples/pytorch/dataset.py examples/list.txt examples/recordings
    feature-kaldi --input-format=raw scp:wav.scp shards:shards CMN
    PYTHONPATH=build/python examples/pytorch/dataset.py --shards shards [--epochs 2]

Each worker process (fork or spawn) extracts or reads on its own; the
datasets hold only names and paths, so they pickle for spawned workers. A
recording that cannot be read raises, or with --skip-bad is left out of
its batch with a warning (the batch is then smaller).
"""
import argparse
import sys
import warnings

import torch
from torch.utils.data import DataLoader, Dataset

import mfcc_frontend as mf
from mfcc_frontend import training


class FeatureDataset(Dataset):
    """(name, (frames, 39) float32 tensor) for every name of a list file, read
    from ``directory/name`` as the tool reads it (the first 90 s of a longer
    recording: truncate=True, which the package says with a warning). With ``skip_bad`` a recording that cannot be
    read gives None, which the collate leaves out."""

    def __init__(self, list_file, directory, normalisation="CMN", input_format="raw", skip_bad=False):
        self.names = mf.read_list(list_file)
        self.directory = directory
        self.normalisation = normalisation
        self.input_format = input_format
        self.skip_bad = skip_bad

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        name = self.names[i]
        path = f"{self.directory}/{name}"
        try:
            samples = mf.read_recording(path, self.input_format, truncate=True)
        except (OSError, ValueError) as e:
            if not self.skip_bad:
                raise
            warnings.warn(f"{path}: left out: {e}")
            return None
        return name, torch.from_numpy(mf.features(samples, normalisation=self.normalisation))


def collate(batch):
    """training.pad_collate over the items that could be read."""
    return training.pad_collate([item for item in batch if item is not None])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("list_file", nargs="?")
    parser.add_argument("directory", nargs="?")
    parser.add_argument("--shards", help="a shard directory instead of a list of recordings")
    parser.add_argument("--epochs", type=int, default=1)
    parser.add_argument("--skip-bad", action="store_true")
    args = parser.parse_args(argv[1:])
    if args.shards:
        data = training.ShardDataset(args.shards, shuffle=True, seed=1, tensors=True)
        loader = DataLoader(data, batch_size=2, num_workers=2, collate_fn=training.pad_collate)
    elif args.list_file and args.directory:
        data = FeatureDataset(args.list_file, args.directory, skip_bad=args.skip_bad)
        loader = DataLoader(data, batch_size=2, num_workers=2, collate_fn=collate)
    else:
        parser.print_usage(sys.stderr)
        return 2
    for epoch in range(args.epochs):
        if args.shards:
            data.set_epoch(epoch)   # another shard order and shuffle each epoch
        for names, features, lengths in loader:
            print(epoch, names, tuple(features.shape), lengths.tolist())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
