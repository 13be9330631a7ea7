#!/usr/bin/env python3
"""Extracts the features of a list of recordings on a dask.distributed cluster
and writes the HTK files the feature tool writes, byte for byte.

    extract_list.py LIST IN_DIR OUT_DIR MODE [--scheduler ADDRESS] [--workers N]
                    [--input-format raw|audio] [--input-extension EXT]

Recordings are read as the tool reads them: raw PCM, or with
--input-format audio WAV, FLAC, ... files (IN_DIR/NAME.EXT with
--input-extension EXT); longer than 90 s, their first 90 s, as the tool.
Run it with the Python that has mfcc_frontend and dask (a virtual
environment's, or Debian's /usr/bin/python3).

Without --scheduler a LocalCluster of N worker processes (default 2) runs on
this machine; with it, the tasks go to a running cluster
(``dask scheduler`` on one host, ``dask worker tcp://HOST:8786`` on the
others), every worker with the mfcc_frontend package installed and the
directories on a shared file system. Names are read by the package as the
tool reads them (separated by ASCII white space, any bytes else, "/"
included) and joined to the directories as the tool joins them
(IN_DIR/NAME, OUT_DIR//NAME.<extension>, so a name never leaves them); the
directories the files need are made. Exits 1 when any utterance failed.
"""
import argparse
import os
import sys

import mfcc_frontend as mf


def extract_one(name, in_dir, out_dir, mode, input_format="raw", input_extension=""):
    """Runs on a worker: one recording to its HTK file. Returns (name, error)."""
    try:
        source = os.fsencode(in_dir) + b"/" + os.fsencode(name)
        if input_extension:
            source += b"." + os.fsencode(input_extension)
        samples = mf.read_recording(source, input_format, truncate=True)
        vectors = mf.features(samples, normalisation=mode, truncate=True)
        target = os.fsencode(out_dir) + b"//" + os.fsencode(name) + b"." + mf.extension(mode).encode()
        os.makedirs(os.path.dirname(target) or b".", exist_ok=True)
        mf.write_htk(target, vectors)
        return name, None
    except (OSError, ValueError) as e:
        return name, str(e)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("list")
    parser.add_argument("in_dir")
    parser.add_argument("out_dir")
    parser.add_argument("mode", choices=mf.NORMALISATIONS)
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://10.0.0.1:8786")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--input-format", choices=("raw", "audio"), default="raw")
    parser.add_argument("--input-extension", default="", help="recordings are IN_DIR/NAME.EXT")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    names = mf.read_list(args.list)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        futures = client.map(extract_one, names, in_dir=args.in_dir, out_dir=args.out_dir, mode=args.mode,
                             input_format=args.input_format, input_extension=args.input_extension, pure=False)
        failed = 0
        for name, error in client.gather(futures):
            if error is not None:
                failed += 1
                print(f"{name}: {error}", file=sys.stderr)
    print(f"{len(names)} utterances, {failed} failed", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
