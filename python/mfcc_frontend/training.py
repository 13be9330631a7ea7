"""Features where training reads them: tar shards of numpy arrays with an
index (written by ``feature-kaldi ... shards:DIR`` or ``write_shards``), an
iterable dataset over the shards, map-style datasets over the index and
over a Kaldi ``feats.scp``, and a collate that pads.

Layout of a shard directory (NAME is ``shard`` unless given)::

    NAME-000000.tar, NAME-000001.tar, ...   uncompressed POSIX tar files
    NAME.jsonl                              the index, a JSON line per entry

Each entry is two adjacent members, ``STEM.npy`` (float32, frames x
dimension) and ``STEM.json`` (its key, frames, dimension, output, mode,
sample rate, seconds, source); STEM is the key with ``%``, ``.``, ``/``
and bytes outside printable ASCII written as ``%XX``, so that readers that
group members by the name before the first dot (WebDataset) keep the two
together. An index line holds the key, the shard, the byte offset of the
array's first value in it, frames, dimension and the SHA-256 of the array
bytes: one positioned read gives any utterance.

torch is optional: the datasets are torch datasets when torch is installed,
plain Python iterables and sequences otherwise.
"""
import hashlib
import io
import json
import os
import random
import tarfile
from typing import Dict, Iterator, List, Optional, Tuple

import numpy as np

from . import _core, _float32_items, _fsencode, _open_archive, _scp_entries

try:  # torch's base classes when torch is there
    import torch.utils.data as _torch_data
    _IterableBase = _torch_data.IterableDataset
    _MapBase = _torch_data.Dataset
except ImportError:  # pragma: no cover - exercised where torch is missing
    _torch_data = None
    _IterableBase = object
    _MapBase = object


def write_shards(directory, items, per_shard: int = 1000, name: str = "shard", mode: str = "",
                 sample_rate: int = 16000, output: str = "mfcc") -> int:
    """Writes (key, array) pairs into shards under ``directory`` with
    feature-kaldi's writer (the same bytes for the same arrays): shard k
    holds the pairs at positions [k per_shard, (k+1) per_shard); each shard
    appears under its name only when complete, the index at the end. Arrays
    are 2-D (frames, values), written as little-endian float32. Returns the
    number of entries. ``mode`` and ``output`` are what the JSON members say
    the arrays are."""
    writer = _core.ShardWriter(os.fsdecode(_fsencode(directory)), name, int(per_shard))
    try:
        count = 0
        for key, data in _float32_items(items, "an array"):
            writer.add(count, key, data, mode, int(sample_rate), 0.0, "", output)
            count += 1
        writer.commit()
        return count
    finally:
        writer.abandon()


def read_shard_index(directory, name: str = "shard") -> List[Dict]:
    """The index lines of a shard directory, in order, as dicts (key, shard,
    offset, frames, dimension, sha256). A damaged line raises ValueError
    naming the file and the line."""
    path = os.path.join(os.fsdecode(directory), name + ".jsonl")
    entries = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            try:
                entry = json.loads(line)
                for field, kind in (("key", str), ("shard", str), ("offset", int), ("frames", int),
                                    ("dimension", int), ("sha256", str)):
                    if not isinstance(entry.get(field), kind):
                        raise ValueError(f"no {field}")
            except ValueError as e:
                raise ValueError(f"{path}: line {number} is no index entry ({e})") from None
            entries.append(entry)
    return entries


def _array_of(member_bytes: bytes, where: str) -> np.ndarray:
    try:
        array = np.load(io.BytesIO(member_bytes), allow_pickle=False)
    except ValueError as e:
        raise ValueError(f"{where}: not a numpy array ({e})") from None
    if array.dtype != np.dtype("<f4") or array.ndim != 2:
        raise ValueError(f"{where}: a 2-D float32 array was expected, not {array.dtype} of shape {array.shape}")
    return array


def read_shard(path, verify: Optional[Dict[str, str]] = None) -> Iterator[Tuple[str, np.ndarray]]:
    """(key, array) of every entry of one shard, in order, read with
    ``tarfile`` and ``numpy``. ``verify``: key -> SHA-256 of the array
    bytes (from the index), checked for each entry found there. A damaged
    shard or member raises ValueError naming the shard, the member and the
    reason."""
    path = os.fsdecode(path)
    try:
        archive = tarfile.open(path, "r:")
    except (tarfile.TarError, OSError) as e:
        if isinstance(e, OSError) and not isinstance(e, tarfile.TarError):
            raise
        raise ValueError(f"{path}: not a tar shard ({e})") from None
    with archive:
        pending = None
        try:
            for member in archive:
                where = f"{path}: member {member.name}"
                data = archive.extractfile(member)
                if data is None:
                    raise ValueError(f"{where}: not a file")
                content = data.read()
                if member.name.endswith(".npy"):
                    pending = (member.name[:-4], _array_of(content, where))
                elif member.name.endswith(".json"):
                    if pending is None or pending[0] != member.name[:-5]:
                        raise ValueError(f"{where}: no array before it")
                    try:
                        facts = json.loads(content)
                        key = facts["key"]
                    except (ValueError, KeyError, TypeError):
                        raise ValueError(f"{where}: not the JSON of an entry") from None
                    array = pending[1]
                    if facts.get("frames") != array.shape[0] or facts.get("dimension") != array.shape[1]:
                        raise ValueError(f"{where}: it says {facts.get('frames')} x {facts.get('dimension')}, "
                                         f"the array is {array.shape[0]} x {array.shape[1]}")
                    if verify is not None and key in verify:
                        if hashlib.sha256(array.tobytes()).hexdigest() != verify[key]:
                            raise ValueError(f"{path}: entry {key}: its checksum is not the index's")
                    pending = None
                    yield key, array
                else:
                    raise ValueError(f"{where}: neither .npy nor .json")
        except tarfile.TarError as e:
            raise ValueError(f"{path}: the shard is damaged ({e})") from None
        if pending is not None:
            raise ValueError(f"{path}: member {pending[0]}.npy has no JSON after it")


def _distributed() -> Tuple[int, int]:
    """(rank, world size): torch.distributed's when it is set up, else the
    RANK and WORLD_SIZE variables torchrun sets, else (0, 1)."""
    if _torch_data is not None:
        import torch.distributed as dist
        if dist.is_available() and dist.is_initialized():
            return dist.get_rank(), dist.get_world_size()
    return int(os.environ.get("RANK", "0")), int(os.environ.get("WORLD_SIZE", "1"))


def _worker() -> Tuple[int, int]:
    """(worker, workers) of the DataLoader process this runs in."""
    if _torch_data is not None:
        info = _torch_data.get_worker_info()
        if info is not None:
            return info.id, info.num_workers
    return 0, 1


def _as_output(array: np.ndarray, tensors: bool, statistics=None):
    if statistics is not None:
        array = statistics.normalise(array)
    if tensors:
        import torch
        return torch.from_numpy(array)
    return array


class ShardDataset(_IterableBase):
    """Every entry of a shard directory once per epoch, as (key, array) or
    (key, tensor) with ``tensors=True``.

    The shards are split across distributed ranks (torch.distributed, or
    RANK/WORLD_SIZE) and then across DataLoader workers, each shard read by
    one of them. With ``shuffle``, the shard order is shuffled with
    ``seed + epoch`` (call ``set_epoch`` at each epoch, as with a
    DistributedSampler) and entries pass through a shuffle buffer of
    ``buffer`` entries seeded the same way per worker. ``verify`` checks each
    array's SHA-256 against the index; ``statistics`` (a CorpusStatistics)
    normalises each array by its mean and inverse standard deviation.""" 

    def __init__(self, directory, name: str = "shard", shuffle: bool = False, seed: int = 0, buffer: int = 1000,
                 verify: bool = False, tensors: bool = False, statistics=None) -> None:
        self.directory = os.fsdecode(directory)
        self.name = name
        self.statistics = statistics
        index = read_shard_index(self.directory, name)
        self.shards = list(dict.fromkeys(entry["shard"] for entry in index))
        self.entries: Dict[str, List[Dict]] = {shard: [] for shard in self.shards}
        for entry in index:
            self.entries[entry["shard"]].append(entry)
        self.verify = verify
        self.length = len(index)
        self.shuffle, self.seed, self.buffer = shuffle, seed, max(1, int(buffer))
        self.tensors = tensors
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def __len__(self) -> int:
        return self.length

    def shards_of(self, rank: int, ranks: int, worker: int, workers: int) -> List[str]:
        """The shards a worker of a rank reads this epoch, in its order."""
        order = list(self.shards)
        if self.shuffle:
            random.Random(self.seed + self.epoch).shuffle(order)
        return order[rank::ranks][worker::workers]

    def _read(self, shard: str):
        """The entries of a shard in order: the file mapped once, read from
        start to end, each array where the index puts it."""
        import mmap
        path = os.path.join(self.directory, shard)
        with open(path, "rb") as f:
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
                if hasattr(data, "madvise") and hasattr(mmap, "MADV_SEQUENTIAL"):
                    data.madvise(mmap.MADV_SEQUENTIAL)
                for entry in self.entries[shard]:
                    yield entry["key"], _entry_array(data, entry, path, self.verify)

    def __iter__(self):
        rank, ranks = _distributed()
        worker, workers = _worker()
        mine = self.shards_of(rank, ranks, worker, workers)
        stream = (item for shard in mine for item in self._read(shard))
        if not self.shuffle:
            for key, array in stream:
                yield key, _as_output(array, self.tensors, self.statistics)
            return
        rng = random.Random((self.seed + self.epoch) * 1000003 + rank * 1009 + worker)
        held = []
        for item in stream:
            if len(held) < self.buffer:
                held.append(item)
                continue
            i = rng.randrange(len(held))
            out, held[i] = held[i], item
            yield out[0], _as_output(out[1], self.tensors, self.statistics)
        rng.shuffle(held)
        for key, array in held:
            yield key, _as_output(array, self.tensors, self.statistics)


def _entry_array(data, entry: Dict, path: str, verify: bool) -> np.ndarray:
    """The array of an index entry from the bytes of its shard (from the
    entry's offset), its checksum checked when ``verify``."""
    start = entry["offset"]
    end = start + 4 * entry["frames"] * entry["dimension"]
    if end > len(data):
        raise ValueError(f"{path}: entry {entry['key']}: the shard ends before its values")
    values = data[start:end]
    if verify and hashlib.sha256(values).hexdigest() != entry["sha256"]:
        raise ValueError(f"{path}: entry {entry['key']}: its checksum is not the index's")
    return np.frombuffer(values, "<f4").reshape(entry["frames"], entry["dimension"]).copy()


class _PositionedReader:
    """Files opened once per process (after a DataLoader's fork) and kept
    open; one positioned read per array."""

    def __init__(self) -> None:
        self.pid = None
        self.files: Dict[str, object] = {}

    def read(self, path: str, offset: int, size: int, where: str = "") -> bytes:
        if self.pid != os.getpid():
            self.pid, self.files = os.getpid(), {}
        f = self.files.get(path)
        if f is None:
            f = self.files[path] = _open_archive(path, where or path)
        data = os.pread(f.fileno(), size, offset)
        if len(data) != size:
            raise ValueError(f"{path}: {size} bytes at offset {offset} were expected, the file ends first")
        return data

    def __getstate__(self):
        return {}

    def __setstate__(self, state) -> None:
        self.__init__()


class IndexedShards(_MapBase):
    """The entries of a shard directory by position or key, each one
    positioned read of its array through the index: (key, array), or
    (key, tensor) with ``tensors=True``; ``verify`` checks the SHA-256."""

    def __init__(self, directory, name: str = "shard", verify: bool = False, tensors: bool = False,
                 statistics=None) -> None:
        self.directory = os.fsdecode(directory)
        self.statistics = statistics
        self.entries = read_shard_index(self.directory, name)
        self.position = {entry["key"]: i for i, entry in enumerate(self.entries)}
        self.verify, self.tensors = verify, tensors
        self.reader = _PositionedReader()

    def __len__(self) -> int:
        return len(self.entries)

    def __getitem__(self, item):
        entry = self.entries[self.position[item] if isinstance(item, str) else item]
        path = os.path.join(self.directory, entry["shard"])
        data = self.reader.read(path, entry["offset"], 4 * entry["frames"] * entry["dimension"])
        array = _entry_array(data, dict(entry, offset=0), path, self.verify)
        return entry["key"], _as_output(array, self.tensors, self.statistics)


class KaldiScpDataset(_MapBase):
    """The matrices of a Kaldi feats.scp by position or key, each one
    positioned read (files opened once per process): (key, array), or
    (key, tensor) with ``tensors=True``."""

    def __init__(self, scp, tensors: bool = False, statistics=None) -> None:
        self.statistics = statistics
        self.entries = [(key, os.fsdecode(archive), offset, where) for key, archive, offset, where in _scp_entries(scp)]
        self.position = {entry[0]: i for i, entry in enumerate(self.entries)}
        self.tensors = tensors
        self.reader = _PositionedReader()

    def __len__(self) -> int:
        return len(self.entries)

    def __getitem__(self, item):
        key, path, offset, where = self.entries[self.position[item] if isinstance(item, str) else item]
        head = self.reader.read(path, offset, _core.KALDI_MATRIX_HEADER_BYTES, where)
        try:
            rows, columns = _core.kaldi_matrix_header(head)
        except ValueError as e:
            raise ValueError(f"{where}: {path} entry {key!r}: {e}") from None
        data = self.reader.read(path, offset + len(head), 4 * rows * columns)
        array = np.frombuffer(data, "<f4").reshape(rows, columns).copy()
        return key, _as_output(array, self.tensors, self.statistics)


def pad_collate(batch):
    """A batch of (key, array or tensor) as (keys, padded, lengths): padded
    is (batch, longest, dimension) with zeros after each utterance's frames,
    lengths the frames of each; tensors when the items were tensors."""
    keys = [key for key, _ in batch]
    arrays = [value for _, value in batch]
    tensors = _torch_data is not None and len(arrays) > 0 and not isinstance(arrays[0], np.ndarray)
    values = [a.numpy() if tensors else np.asarray(a) for a in arrays]
    longest = max((v.shape[0] for v in values), default=0)
    dimension = values[0].shape[1] if values else 0
    padded = np.zeros((len(values), longest, dimension), np.float32)
    for i, v in enumerate(values):
        padded[i, :v.shape[0]] = v
    lengths = np.array([v.shape[0] for v in values], np.int64)
    if tensors:
        import torch
        return keys, torch.from_numpy(padded), torch.from_numpy(lengths)
    return keys, padded, lengths


# ---- Corpus statistics ----

class CorpusStatistics:
    """The frame count, and per dimension the sum and the sum of squares of
    the values, over a corpus (or one speaker of it).

    Exact: each float32 value is widened to float64 and squared there (exact),
    both are summed without rounding and the totals rounded once to the
    nearest float64, so the statistics do not depend on the order of the
    utterances or the number of workers (they are ``math.fsum`` of the
    widened values and squares)."""

    def __init__(self, frames: int, sums: np.ndarray, squares: np.ndarray) -> None:
        self.frames = int(frames)
        self.sums = np.asarray(sums, np.float64)
        self.squares = np.asarray(squares, np.float64)

    @property
    def dimension(self) -> int:
        return len(self.sums)

    def mean_and_inverse_std(self, variance_floor: float = 1e-20) -> Tuple[np.ndarray, np.ndarray]:
        """(mean, 1 / standard deviation) per dimension, in float64: mean =
        sum / frames, variance = squares / frames - mean**2 floored at
        ``variance_floor`` (as Kaldi's apply-cmvn floors it)."""
        if self.frames == 0:
            raise ValueError("statistics of no frames have no mean")
        mean = self.sums / self.frames
        variance = np.maximum(self.squares / self.frames - mean * mean, variance_floor)
        return mean, 1.0 / np.sqrt(variance)

    def normalise(self, array: np.ndarray) -> np.ndarray:
        """(array - mean) * inverse std, computed in float64 and rounded once
        to float32."""
        mean, inverse_std = self.mean_and_inverse_std()
        return ((np.asarray(array, np.float64) - mean) * inverse_std).astype(np.float32)

    def kaldi_matrix(self) -> np.ndarray:
        """Kaldi's statistics matrix: 2 x (dimension + 1) float64, the sums
        and the frame count in row 0, the sums of squares and 0 in row 1."""
        m = np.zeros((2, self.dimension + 1), np.float64)
        m[0, :-1], m[0, -1], m[1, :-1] = self.sums, self.frames, self.squares
        return m

    def __repr__(self) -> str:
        return f"CorpusStatistics(frames={self.frames}, dimension={self.dimension})"


def _matrices_of(source, name: str):
    """(key, array) of a shard directory, a Kaldi scp or ark, or an iterable."""
    from . import read_kaldi_ark, read_kaldi_scp
    if isinstance(source, (str, bytes, os.PathLike)):
        path = os.fsdecode(source)
        if os.path.isdir(path):
            return ((key, array) for shard in list(dict.fromkeys(e["shard"] for e in read_shard_index(path, name)))
                    for key, array in read_shard(os.path.join(path, shard)))
        if path.endswith(".scp"):
            return read_kaldi_scp(path)
        return read_kaldi_ark(path)
    return iter(source)


def _speakers_of(utt2spk) -> Dict[str, str]:
    if utt2spk is None or isinstance(utt2spk, dict):
        return utt2spk
    speakers = {}
    with open(utt2spk, encoding="utf-8", errors="surrogateescape") as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words:
                continue
            if len(words) != 2:
                raise ValueError(f"{os.fsdecode(utt2spk)} line {number}: an utterance and its speaker are needed")
            speakers[words[0]] = words[1]
    return speakers


def corpus_statistics(source, utt2spk=None, workers: int = 1, name: str = "shard"):
    """The CorpusStatistics of every matrix of ``source``: a shard directory
    (NAME as written), a Kaldi ``feats.scp`` (a path ending .scp) or archive,
    or an iterable of (key, array). With ``utt2spk`` (a file or a dict) a
    dict of speaker -> CorpusStatistics; an utterance without a speaker
    raises. ``workers`` threads add the matrices (the result is the same
    for any number)."""
    from concurrent.futures import ThreadPoolExecutor
    speakers = _speakers_of(utt2spk)
    workers = max(1, int(workers))
    merged: Dict[str, "_core.Statistics"] = {}

    def add(key: str, array) -> None:
        group = "" if speakers is None else speakers.get(key)
        if group is None:
            raise ValueError(f"utterance {key!r} has no speaker in utt2spk")
        one = _core.Statistics()
        try:
            one.add(np.ascontiguousarray(np.asarray(array), np.float32))  # without the GIL
            merged.setdefault(group, _core.Statistics()).merge(one)  # under the GIL: one thread at a time
        except ValueError as e:
            raise ValueError(f"{key!r}: {e}") from None

    with ThreadPoolExecutor(workers) as pool:
        pending = []
        for key, array in _matrices_of(source, name):
            if hasattr(array, "numpy"):
                array = array.numpy()
            pending.append(pool.submit(add, key, array))
            if len(pending) >= 4 * workers:
                pending.pop(0).result()
        for job in pending:
            job.result()
    result = {group: CorpusStatistics(acc.frames, acc.sums(), acc.squares()) for group, acc in merged.items()}
    if speakers is None:
        return result.get("", CorpusStatistics(0, np.zeros(0), np.zeros(0)))
    return dict(sorted(result.items()))


def write_kaldi_cmvn(path, statistics, scp=None) -> None:
    """Kaldi's statistics as its compute-cmvn-stats writes them in binary: one
    CorpusStatistics as a single matrix file (global statistics, for
    apply-cmvn's rxfilename), a dict speaker -> CorpusStatistics as an
    archive of one matrix per speaker in sorted order (with its index when
    ``scp`` is given)."""
    if isinstance(statistics, CorpusStatistics):
        _core.write_file(_fsencode(path), _core.kaldi_double_matrix(statistics.kaldi_matrix()))
        return
    writer = _core.KaldiWriter(_fsencode(path), _fsencode(scp) if scp is not None else b"")
    try:
        for speaker in sorted(statistics):
            writer.add_doubles(str(speaker).encode("utf-8", "surrogateescape"), statistics[speaker].kaldi_matrix())
        writer.commit()
    finally:
        writer.abandon()


def write_wenet_cmvn(path, statistics: CorpusStatistics) -> None:
    """WeNet's global CMVN file: JSON with the sums (``mean_stat``), the sums
    of squares (``var_stat``) and the frame count (``frame_num``); each
    float64 printed so that it reads back exactly."""
    text = json.dumps({"mean_stat": statistics.sums.tolist(), "var_stat": statistics.squares.tolist(),
                       "frame_num": statistics.frames})
    _core.write_file(_fsencode(path), (text + "\n").encode("ascii"))


def write_espnet_stats(path, statistics: CorpusStatistics) -> None:
    """ESPnet's statistics file: an npz of ``count`` (int64), ``sum`` and
    ``sum_square`` (float64)."""
    buffer = io.BytesIO()
    np.savez(buffer, count=np.int64(statistics.frames), sum=statistics.sums, sum_square=statistics.squares)
    _core.write_file(_fsencode(path), buffer.getvalue())
