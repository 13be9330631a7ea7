#!/usr/bin/env python3
"""A PyTorch Dataset over a list of recordings, and a collate that pads the
features and gives their lengths: the tool's vectors, in a DataLoader.

    PYTHONPATH=build/python examples/pytorch/dataset.py examples/list.txt examples/recordings

Each worker process (fork or spawn) extracts with one thread of its own; the
dataset holds only names, so it pickles for spawned workers.
"""
import sys

import torch
from torch.utils.data import DataLoader, Dataset

import mfcc_frontend as mf


class FeatureDataset(Dataset):
    """(name, (frames, 39) float32 tensor) for every name of a list file, read
    from ``directory/name`` as the tool reads it."""

    def __init__(self, list_file, directory, normalisation="CMN", input_format="raw"):
        self.names = mf.read_list(list_file)
        self.directory = directory
        self.normalisation = normalisation
        self.input_format = input_format

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        name = self.names[i]
        x = mf.features_from_file(f"{self.directory}/{name}", self.normalisation, self.input_format, truncate=True)
        return name, torch.from_numpy(x)


def pad_features(batch):
    """(names, features (B, T, 39) padded with zeros, lengths (B,))."""
    names = [name for name, _ in batch]
    lengths = torch.tensor([x.shape[0] for _, x in batch], dtype=torch.int64)
    padded = torch.zeros(len(batch), int(lengths.max()) if len(batch) else 0, 39)
    for i, (_, x) in enumerate(batch):
        padded[i, : x.shape[0]] = x
    return names, padded, lengths


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    loader = DataLoader(FeatureDataset(argv[1], argv[2]), batch_size=2, num_workers=2, collate_fn=pad_features)
    for names, features, lengths in loader:
        print(names, tuple(features.shape), lengths.tolist())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
