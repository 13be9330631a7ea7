"""MFCC features of 16 kHz speech, bit for bit those of the ``feature`` tool.

39 values per 10 ms frame: c1..c12 (liftered) and C0 from a 24-filter mel
filter bank over 20 ms frames, their deltas and delta-deltas, normalised by
CMN, MVNMA (mean-variance normalisation with ARMA smoothing) or NONE::

    import numpy as np
    import mfcc_frontend as mf
    x = mf.features(np.fromfile("utt1.raw", "<i2"), normalisation="CMN")   # (frames, 39) float32

The arrays equal the vectors of the tool's HTK files for the same samples.
Extraction releases the GIL: Python threads extract side by side.
"""
from __future__ import annotations

import os
import tempfile
from typing import Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _core

__all__ = [
    "SAMPLE_RATE", "MAX_SAMPLES", "NORMALISATIONS", "features", "cepstra", "energies", "extract",
    "read_recording", "features_from_file", "read_htk", "write_htk", "read_c12", "read_eng", "run_list",
    "read_list", "extension", "HTKFile", "Extraction", "OnlineExtractor", "FRAME_DELAY",
    "read_kaldi_ark", "read_kaldi_scp", "write_kaldi",
]

__version__ = _core.VERSION
"""The version of the tool this package is built with (feature --version)."""

SAMPLE_RATE = 16000
"""The only sample rate the features are defined for."""
MAX_SAMPLES = _core.MAX_SAMPLES
"""90 seconds at 16 kHz: the longest recording analysed."""
NORMALISATIONS = tuple(name for name, _ in _core.MODES)
"""The modes of the tool, in its order: CMN, MVNMA, NONE."""

Samples = Union[np.ndarray, bytes, bytearray, memoryview]
Path = Union[str, bytes, os.PathLike]


def _fsencode(path: Path) -> bytes:
    """The bytes of a file name as the system sees them: str (with the
    surrogate escapes os.listdir gives non-UTF-8 names), bytes or a path
    object. A NUL byte raises ValueError, as open() does."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"embedded null byte in the path {os.fsdecode(encoded)!r}")
    return encoded


class Extraction(NamedTuple):
    """Everything one recording gives."""
    features: np.ndarray   #: (frames, 39) float32, as in the tool's HTK file
    cepstra: np.ndarray    #: (frames, 13) float32: c1..c12 liftered, C0, before normalisation
    energies: np.ndarray   #: (frames,) float32: energy of each frame in dB


class HTKFile(NamedTuple):
    """An HTK parameter file: its vectors and header fields."""
    data: np.ndarray       #: (frames, values per vector) float32
    sample_period: int     #: in units of 100 ns (100000: 10 ms)
    parm_kind: int         #: parameter kind with qualifier bits (6: MFCC)


def _samples(samples: Samples) -> np.ndarray:
    """A contiguous native int16 array of the samples, or TypeError."""
    if isinstance(samples, (bytes, bytearray, memoryview)):
        raw = memoryview(samples).cast("B")
        if raw.nbytes % 2:
            raise ValueError(f"{raw.nbytes} bytes are not whole 16-bit samples (an odd number of bytes)")
        return np.frombuffer(raw, dtype="<i2").astype(np.int16, copy=False)
    if not isinstance(samples, np.ndarray):
        raise TypeError(
            f"samples must be a numpy int16 array or bytes of little-endian 16-bit samples, not "
            f"{type(samples).__name__}; convert with np.asarray(x, dtype=np.int16)")
    if samples.dtype.kind != "i" or samples.dtype.itemsize != 2:
        hint = ("for floats in [-1, 1] use (x * 32768).clip(-32768, 32767).astype(np.int16), "
                "or read the file as int16 (soundfile.read(path, dtype='int16'))"
                if samples.dtype.kind == "f" else "convert with x.astype(np.int16)")
        raise TypeError(f"16-bit integer samples are required, not {samples.dtype}; {hint}")
    if samples.ndim != 1:
        raise TypeError(
            f"a 1-D array of samples is required, not shape {samples.shape}; "
            "for several channels pick one (x[:, 0]) or mix them first with sox")
    return np.ascontiguousarray(samples, dtype=np.int16)


FRAME_DELAY = 5
"""In NONE the vector of frame t is final 5 frame shifts (50 ms) after the
frame's last sample: ``num_frames_ready`` is max(0, n // 160 - 5) after n
samples."""


class OnlineExtractor:
    """Features as audio arrives, bit for bit the tool's for the same samples.

    Feed samples in chunks of any size with ``accept_waveform``; ``take()``
    gives the vectors that became final since the previous ``take()``, as a
    (k, 39) float32 array, and releases them::

        online = mf.OnlineExtractor("NONE")
        for chunk in chunks:                     # int16 arrays or bytes
            online.accept_waveform(chunk)
            use(online.take())                   # final vectors so far
        online.input_finished()
        use(online.take())                       # the last frames

    In NONE a frame's vector is final once the samples of the four frames
    after it are in (50 ms after the frame ends; see FRAME_DELAY); the last
    four frames when the input is finished. CMN and MVNMA normalise over the
    whole utterance: their vectors are all final at ``input_finished()``,
    and more than 90 s raise TooLong (a ValueError) unless ``truncate``.
    Records (c1..c12 liftered, C0) are final as soon as a frame's samples
    are in; energies too, except that a silent frame (all samples 0) takes
    the energy of the next sounding one. Frame indices are absolute: frame
    t covers samples 160 t .. 160 t + 319 of the stream.

    Samples are analysed without the GIL; one call at a time per object.
    """

    def __init__(self, normalisation: str = "NONE", truncate: bool = False) -> None:
        _check_normalisation(normalisation)
        self.normalisation = normalisation
        self._core = _core.OnlineExtractor(normalisation, bool(truncate))
        self._odd = b""       # the first byte of a sample split between two bytes chunks
        self._taken = 0       # frames given by take()

    def accept_waveform(self, samples: Samples) -> None:
        """Appends samples: a 1-D int16 array or bytes-like little-endian 16-bit
        samples (a bytes chunk of odd length keeps its last byte for the next
        chunk). Raises RuntimeError after ``input_finished()``."""
        if isinstance(samples, (bytes, bytearray, memoryview)):
            raw = self._odd + memoryview(samples).cast("B").tobytes() if self._odd else memoryview(samples).cast("B")
            whole = len(raw) - len(raw) % 2
            if self._core.finished:
                self._core.accept(np.zeros(0, np.int16))  # raises
            self._odd = bytes(raw[whole:])
            samples = raw[:whole]
        self._core.accept(_samples(samples))

    def input_finished(self) -> None:
        """No more samples: every remaining frame becomes final (a last odd
        byte is ignored, as the tool ignores it)."""
        self._odd = b""
        self._core.finish()

    @property
    def num_frames_ready(self) -> int:
        """Frames whose vectors are final (popped ones included)."""
        return self._core.frames_ready

    @property
    def num_records_ready(self) -> int:
        return self._core.records_ready

    @property
    def num_energies_ready(self) -> int:
        return self._core.energies_ready

    @property
    def first_frame(self) -> int:
        """The oldest frame not popped."""
        return self._core.first_frame

    def is_last_frame(self, i: int) -> bool:
        """Whether frame i is the last of the input (known once it is finished)."""
        return self._core.is_last_frame(i)

    def get_frames(self, start: int, stop: Optional[int] = None) -> np.ndarray:
        """The vectors of frames start .. stop - 1 (stop: the frames ready),
        (k, 39) float32. IndexError names a frame popped or not final."""
        return self._core.vectors(start, self.num_frames_ready if stop is None else stop)

    def get_records(self, start: int, stop: Optional[int] = None) -> np.ndarray:
        """Records of frames start .. stop - 1, (k, 13) float32."""
        return self._core.records(start, self.num_records_ready if stop is None else stop)

    def get_energies(self, start: int, stop: Optional[int] = None) -> np.ndarray:
        """Energies (dB) of frames start .. stop - 1, (k,) float32."""
        return self._core.energies(start, self.num_energies_ready if stop is None else stop)

    def pop(self, n: int) -> None:
        """Frames before n are no longer needed (n at most num_frames_ready)."""
        self._core.pop(n)

    def take(self) -> np.ndarray:
        """The vectors that became final since the previous take(), (k, 39)
        float32, popped."""
        start = max(self._taken, self.first_frame)
        stop = self.num_frames_ready
        vectors = self._core.vectors(start, stop)
        self._core.pop(stop)
        self._taken = stop
        return vectors


def _check_rate(sample_rate: int) -> None:
    if sample_rate != SAMPLE_RATE:
        raise ValueError(
            f"sample_rate {sample_rate}: the features are defined for 16000 Hz only; resample first "
            "(sox in.wav -r 16000 out.wav), the tool does not")


def _check_normalisation(normalisation: str) -> None:
    if normalisation not in NORMALISATIONS:
        raise ValueError(f"normalisation must be one of 'CMN', 'MVNMA', 'NONE', not {normalisation!r}")


def extract(samples: Samples, sample_rate: int = 16000, normalisation: str = "CMN",
            truncate: bool = False) -> Extraction:
    """Features, records before normalisation and energies of one recording.

    More than MAX_SAMPLES samples (90 s) raise ValueError unless ``truncate``
    is true; then, as the tool does, only the first 90 s are analysed.
    """
    _check_rate(sample_rate)
    _check_normalisation(normalisation)
    x = _samples(samples)
    if x.size > MAX_SAMPLES and not truncate:
        raise ValueError(
            f"a recording of {x.size} samples ({x.size / SAMPLE_RATE:.2f} s) is longer than the 90-second "
            f"limit ({MAX_SAMPLES} samples); pass truncate=True to use its first 90 s as the tool does")
    return Extraction(*_core.extract(x, normalisation, truncate))


def features(samples: Samples, sample_rate: int = 16000, normalisation: str = "CMN",
             truncate: bool = False) -> np.ndarray:
    """The 39-value vectors, shape (frames, 39), float32: what the tool writes.

    ``samples``: a 1-D numpy int16 array (any stride) or bytes of little-endian
    16-bit samples at 16 kHz. Fewer than 320 samples give shape (0, 39).
    """
    return extract(samples, sample_rate, normalisation, truncate).features


def cepstra(samples: Samples, sample_rate: int = 16000, truncate: bool = False) -> np.ndarray:
    """The 13-value records c1..c12 (liftered), C0 before any normalisation,
    shape (frames, 13); c1..c12 are what the tool's .C12 file holds."""
    return extract(samples, sample_rate, "NONE", truncate).cepstra


def energies(samples: Samples, sample_rate: int = 16000, truncate: bool = False) -> np.ndarray:
    """The energy of every frame in dB, shape (frames,): the tool's .ENG values."""
    return extract(samples, sample_rate, "NONE", truncate).energies


def read_recording(path: Path, input_format: str = "raw") -> np.ndarray:
    """The samples of a recording file read as the tool reads it: ``raw``
    (headerless 16-bit little-endian PCM) or ``audio`` (WAV, FLAC, ... holding
    16-bit samples at 16 kHz in one channel; anything else raises ValueError).
    Samples past 90 s are dropped, as by the tool, with a warning."""
    encoded = _fsencode(path)
    path = os.fsdecode(encoded)
    samples, ignored = _core.read_recording(encoded, input_format)
    if ignored:
        import warnings
        seconds = "some" if ignored < 0 else f"the last {ignored / SAMPLE_RATE:.2f}"
        warnings.warn(f"{path} is longer than 90 s; {seconds} s are ignored", stacklevel=2)
    return samples


def features_from_file(path: Path, normalisation: str = "CMN",
                       input_format: str = "raw") -> np.ndarray:
    """The features of a recording file, as the tool computes them."""
    return features(read_recording(path, input_format), normalisation=normalisation, truncate=True)


def extension(normalisation: str) -> str:
    """The tool's file extension for a normalisation ('mfcKVR0DAZC39' for CMN, ...)."""
    _check_normalisation(normalisation)
    return _core.extension(normalisation)


def write_htk(path: Path, array: np.ndarray, sample_period: int = 100000, parm_kind: int = 6) -> None:
    """Writes an HTK parameter file of the vectors in ``array`` (frames, values),
    with the tool's header fields by default, complete or not at all. A file
    that cannot be written raises OSError (errno, reason, path)."""
    encoded = _fsencode(path)
    data = np.asarray(array)
    if data.ndim != 2:
        raise ValueError(f"write_htk needs a 2-D array (frames, values), not shape {data.shape}")
    if data.dtype.kind not in "fiu":
        raise TypeError(f"write_htk needs numbers, not {data.dtype}")
    if not 0 < sample_period <= 0x7FFFFFFF:
        raise ValueError(f"the sample period is a positive count of 100 ns units, not {sample_period}")
    _core.write_htk(encoded, np.ascontiguousarray(data, dtype=np.float32), sample_period, parm_kind)


def _open_checked(path: Path, header_size: int):
    """The open file, its first header_size bytes and its size."""
    f = open(path, "rb")
    try:
        header = f.read(header_size)
        size = os.fstat(f.fileno()).st_size
    except BaseException:
        f.close()
        raise
    return f, header, size


def _read_values(f, count: int, dtype: str) -> np.ndarray:
    """count values of dtype read from f straight into the array (no second
    copy of the file is made), in native byte order."""
    data = np.empty(count, dtype=dtype)
    view = memoryview(data.view(np.uint8))
    done = 0
    while done < view.nbytes:
        got = f.readinto(view[done:])
        if not got:
            raise ValueError(f"{f.name}: the file ended while it was read")
        done += got
    if not data.dtype.isnative:
        data = data.byteswap(inplace=True).view(data.dtype.newbyteorder("="))
    return data


def read_htk(path: Path) -> HTKFile:
    """An HTK parameter file: ``data`` (frames, values) float32, ``sample_period``,
    ``parm_kind``. A file that is no HTK file raises ValueError naming the defect."""
    f, header, size = _open_checked(path, 12)
    with f:
        try:
            frames, period, vector_bytes, kind = _core.htk_header(header, size)
        except ValueError as e:
            raise ValueError(f"{os.fsdecode(path)}: not an HTK file: {e}") from None
        data = _read_values(f, frames * (vector_bytes // 4), ">f4")
    return HTKFile(data.reshape(frames, vector_bytes // 4), period, kind)


def _read_counted(path: Path, values: int, kind: str) -> np.ndarray:
    f, header, size = _open_checked(path, 4)
    with f:
        try:
            frames = _core.counted_frames(header, size, values, kind)
        except ValueError as e:
            raise ValueError(f"{os.fsdecode(path)}: not a {kind} file: {e}") from None
        return _read_values(f, values * frames, "<f4")


def read_c12(path: Path) -> np.ndarray:
    """A .C12 file of the tool (--c12-eng): c1..c12 of every frame, (frames, 12)."""
    return _read_counted(path, 12, ".C12").reshape(-1, 12)


def read_eng(path: Path) -> np.ndarray:
    """An .ENG file of the tool (--c12-eng): the energy of every frame in dB, (frames,)."""
    return _read_counted(path, 1, ".ENG")


def _kaldi_entry(f, where: str, offset: int) -> np.ndarray:
    """The float matrix whose header starts at the file's position."""
    head = f.read(_core.KALDI_MATRIX_HEADER_BYTES)
    try:
        rows, columns = _core.kaldi_matrix_header(head)
    except ValueError as e:
        raise ValueError(f"{where} (byte {offset}): {e}") from None
    try:
        return _read_values(f, rows * columns, "<f4").reshape(rows, columns)
    except ValueError:
        raise ValueError(f"{where} (byte {offset}): the archive ends inside a matrix of {rows} x {columns}") from None


def read_kaldi_ark(path: Path) -> Iterator[Tuple[str, np.ndarray]]:
    """The (key, matrix) pairs of a binary Kaldi archive of float matrices, in
    order, read one at a time; matrices are (rows, columns) float32. A text or
    compressed entry, or an archive cut short, raises ValueError naming the
    entry and its byte offset."""
    name = os.fsdecode(_fsencode(path))
    with open(path, "rb") as f:
        while True:
            start = f.tell()
            key = bytearray()
            while True:
                c = f.read(1)
                if not c:
                    if key:
                        raise ValueError(f"{name}: the archive ends inside the key at byte {start}")
                    return
                if c == b" ":
                    break
                key += c
            if not key:
                raise ValueError(f"{name}: an empty key at byte {start}")
            text = key.decode("utf-8", "surrogateescape")
            yield text, _kaldi_entry(f, f"{name}: entry {text!r}", f.tell())


def read_kaldi_scp(path: Path) -> Iterator[Tuple[str, np.ndarray]]:
    """The (key, matrix) pairs an index (feats.scp: ``<key> <archive>:<offset>``)
    points to, in its order; archive paths are taken as they stand (relative
    to the working directory, as Kaldi takes them)."""
    name = os.fsdecode(_fsencode(path))
    archives = {}
    try:
        with open(path, "rb") as index:
            for number, line in enumerate(index, 1):
                fields = line.split()
                if not fields:
                    continue
                where = f"{name} line {number}"
                if len(fields) != 2 or b":" not in fields[1]:
                    raise ValueError(f"{where}: not '<key> <archive>:<offset>'")
                archive, _, offset_text = fields[1].rpartition(b":")
                if not offset_text.isdigit():
                    raise ValueError(f"{where}: the offset {offset_text.decode(errors='replace')!r} is no number")
                if archive not in archives:
                    archives[archive] = open(archive, "rb")
                f = archives[archive]
                offset = int(offset_text)
                f.seek(offset)
                key = fields[0].decode("utf-8", "surrogateescape")
                yield key, _kaldi_entry(f, f"{where}: {os.fsdecode(archive)} entry {key!r}", offset)
    finally:
        for f in archives.values():
            f.close()


def write_kaldi(ark: Path, scp: Optional[Path], items) -> int:
    """Writes (key, matrix) pairs as a binary Kaldi archive of float matrices,
    and its index when ``scp`` is given (``<key> <ark>:<offset>``, the ark path
    as given). Both appear under their names only when complete. Matrices are
    2-D (rows, columns), written as float32. Returns the number of entries."""
    targets = [ark] + ([scp] if scp is not None else [])
    temporaries = []
    try:
        files = []
        for target in targets:
            encoded = _fsencode(target)
            directory, base = os.path.split(encoded)
            fd, temporary = tempfile.mkstemp(prefix=b"." + base + b".", dir=directory or b".")
            temporaries.append((temporary, encoded))
            files.append(os.fdopen(fd, "wb"))
        ark_file = files[0]
        count = 0
        for key, matrix in items:
            data = np.asarray(matrix)
            if data.ndim != 2:
                raise ValueError(f"{key!r}: a Kaldi matrix is 2-D (rows, columns), not shape {data.shape}")
            if data.dtype.kind not in "fiu":
                raise TypeError(f"{key!r}: a matrix of numbers is needed, not {data.dtype}")
            head = _core.kaldi_entry_head(str(key), data.shape[0], data.shape[1])
            offset = ark_file.tell() + head.index(b" ") + 1
            ark_file.write(head)
            ark_file.write(np.ascontiguousarray(data, dtype="<f4").tobytes())
            if scp is not None:
                files[1].write(str(key).encode("utf-8", "surrogateescape") + b" " + os.fsencode(ark) +
                               b":" + str(offset).encode() + b"\n")
            count += 1
        for f in files:
            f.close()
        for temporary, target in temporaries:
            os.chmod(temporary, 0o666 & ~_umask())
            os.replace(temporary, target)
        temporaries = []
        return count
    finally:
        for temporary, _ in temporaries:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def read_list(list_file: Path) -> List[str]:
    """The utterance names of a list file, exactly as the tool reads them:
    separated by ASCII white space only (a no-break space is part of a
    name), as str with the surrogate escapes of os.fsdecode for bytes that
    are not UTF-8 (os.fsencode gives the bytes back)."""
    return [os.fsdecode(name) for name in _core.read_list(_fsencode(list_file))]


def run_list(list_file: Path, input_dir: Path, output_dir: Path, normalisation: str = "CMN", jobs: int = 1,
             c12_eng: bool = False, input_format: str = "raw", input_extension: Optional[str] = None,
             summary: bool = False, part: Union[None, str, Tuple[int, int]] = None, skip_existing: bool = False,
             no_empty_files: bool = False, htk_qualifiers: bool = False) -> int:
    """Runs a whole list as the tool does (the same loop, files and messages;
    no pause after "Error"), with the tool's options: ``jobs`` workers (0:
    one per processor, at most 1024), ``c12_eng``, ``input_format``,
    ``input_extension``, ``part`` ("K/N" or (K, N): the share K of N),
    ``skip_existing``, ``no_empty_files``, ``htk_qualifiers``; ``summary``
    prints the tool's summary on standard error. Returns the tool's exit
    status: 0 when every utterance was written. A setting the tool refuses
    raises ValueError with the tool's reason. Ctrl-C stops it after the
    utterances under way (their files are complete; no temporary stays) and
    raises KeyboardInterrupt.

    A process forked while another thread is inside run_list may start a
    run of its own; the parent's run goes on in the parent alone."""
    _check_normalisation(normalisation)
    if part is None:
        share, shares = 0, 1
    elif isinstance(part, str):
        k, slash, n = part.partition("/")
        if not (slash and k.isdigit() and n.isdigit()):
            raise ValueError(f"--part needs K/N with 0 <= K < N (the share K of N), not {part!r}")
        share, shares = int(k), int(n)
    else:
        share, shares = (int(v) for v in part)
    return _core.run_list(_fsencode(list_file), _fsencode(input_dir), _fsencode(output_dir), normalisation,
                          int(jobs), bool(c12_eng), input_format, os.fsencode(input_extension or ""), bool(summary),
                          share, shares, bool(skip_existing), bool(no_empty_files), bool(htk_qualifiers))
