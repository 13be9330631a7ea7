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
import sys
from typing import TYPE_CHECKING, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np


def _core_for_another_python(error: ImportError) -> ImportError:
    """Why the compiled module does not load here, when it was built for
    another interpreter (Debian's /usr/bin/python3, say, and this is a conda
    or pyenv python3 first on the PATH)."""
    import glob
    here = os.path.dirname(os.path.abspath(__file__))
    built = sorted(os.path.basename(p) for p in glob.glob(os.path.join(here, "_core*.so")))
    this = "%s (Python %d.%d)" % (sys.executable, sys.version_info[0], sys.version_info[1])
    if not built:
        return ImportError(f"mfcc_frontend's compiled module _core is missing from {here}: build the package "
                           f"(scripts/test, or pip install --no-build-isolation .) for {this}")
    return ImportError(f"mfcc_frontend's compiled module ({', '.join(built)}) does not load in {this}: {error}. "
                       "It was built for another interpreter, Debian's /usr/bin/python3 unless you built it "
                       "yourself: run your program with /usr/bin/python3, or build the package for this one "
                       "(pip install --no-build-isolation . with it)")


try:
    from . import _core
except ImportError as _error:
    raise _core_for_another_python(_error) from _error

if TYPE_CHECKING:
    import torch

__all__ = [
    "SAMPLE_RATE", "MAX_SAMPLES", "NORMALISATIONS", "features", "cepstra", "energies", "extract",
    "read_recording", "features_from_file", "read_htk", "write_htk", "read_c12", "read_eng", "run_list",
    "read_list", "extension", "HTKFile", "Extraction", "OnlineExtractor", "FRAME_DELAY",
    "read_kaldi_ark", "read_kaldi_scp", "write_kaldi", "features_batch", "extract_batch", "TooLong", "resample", "speed_perturb",
]

__version__ = _core.VERSION
"""The version of the tool this package is built with (feature --version)."""

SAMPLE_RATE = _core.SAMPLE_RATE
"""The only sample rate the features are defined for (16000)."""
MAX_SAMPLES = _core.MAX_SAMPLES
"""90 seconds at 16 kHz: the longest recording analysed."""
NORMALISATIONS = tuple(name for name, _ in _core.MODES)
"""The modes of the tool, in its order: CMN, MVNMA, NONE."""

Samples = Union[np.ndarray, bytes, bytearray, memoryview, "torch.Tensor"]
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


TooLong = _core.TooLong
"""More than MAX_SAMPLES samples (90 s) without ``truncate=True``; a ValueError."""


def _torch_tensor(x) -> bool:
    """Whether x is a torch tensor (torch is looked for only if it was imported)."""
    torch = sys.modules.get("torch")
    return torch is not None and isinstance(x, torch.Tensor)


def _too_long(count: int) -> TooLong:
    return TooLong(_core.too_long("a recording", count))


def _check_scale(scale) -> float:
    value = float(scale)
    if not (value > 0 and value != float("inf")):
        raise ValueError(f"scale must be a finite positive number (32768 for waveforms in [-1, 1]), not {scale!r}")
    return value


def _from_float(x: np.ndarray, scale: float) -> np.ndarray:
    """x * scale rounded to the nearest integer (ties to even), clipped to the
    16-bit range with a warning; NaN or infinity raise ValueError."""
    scaled = np.asarray(x, dtype=np.float64) * _check_scale(scale)
    finite = np.isfinite(scaled)
    if not finite.all():
        first = int(np.argmin(finite))
        raise ValueError(f"sample {first} is {x[first]!r}: waveforms must be finite")
    rounded = np.rint(scaled)
    outside = int(np.count_nonzero((rounded < -32768) | (rounded > 32767)))
    if outside:
        import warnings
        warnings.warn(f"{outside} samples beyond the 16-bit range after scaling by {scale} were clipped",
                      stacklevel=4)
        np.clip(rounded, -32768, 32767, out=rounded)
    return rounded.astype(np.int16)


def _outside_package() -> int:
    """The stacklevel of the first caller outside this package, for warnings."""
    level, frame = 1, sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__", "").startswith(__name__):
        level, frame = level + 1, frame.f_back
    return level


def _warn_cut(count: int) -> None:
    """truncate=True cut count recordings: said once per call."""
    if count:
        import warnings
        warnings.warn(f"{count} recording{' was' if count == 1 else 's were'} longer than 90 s and "
                      f"{'was' if count == 1 else 'were'} cut to the first 90 s (truncate=True), as the tool cuts "
                      "them", stacklevel=_outside_package())


def _samples(samples: Samples, scale: Optional[float] = None, truncate: bool = False,
             limited: bool = True, cut: Optional[list] = None) -> np.ndarray:
    """A contiguous native int16 array of the samples (at most MAX_SAMPLES
    with ``truncate``, cut before any copy, and counted in ``cut``), TooLong
    beyond them without it (unless not ``limited``: a stream's chunk), or
    TypeError."""
    if _torch_tensor(samples):
        if samples.device.type != "cpu":
            raise TypeError(f"a CPU tensor is needed, not one on {samples.device}; use x.cpu()")
        samples = samples.detach().numpy()
    if isinstance(samples, (bytes, bytearray, memoryview)):
        view = memoryview(samples)
        kind = view.format.lstrip("@=<>!")
        if view.ndim != 1 or kind not in ("B", "b", "c", "h"):
            raise TypeError(f"a buffer of 16-bit integer samples (or bytes of them) is needed, not one of format "
                            f"{view.format!r} and {view.ndim} dimensions; convert it with numpy first")
        if kind == "h":
            samples = np.asarray(view)
        else:
            raw = view.cast("B")
            if raw.nbytes % 2:
                raise ValueError(f"{raw.nbytes} bytes are not whole 16-bit samples (an odd number of bytes)")
            samples = np.frombuffer(raw, dtype="<i2")
    if not isinstance(samples, np.ndarray):
        raise TypeError(
            f"samples must be a numpy int16 array, a torch tensor or bytes of little-endian 16-bit samples, "
            f"not {type(samples).__name__}")
    if samples.ndim != 1:
        raise TypeError(
            f"a 1-D array of samples is required, not shape {samples.shape}; "
            "for several channels pick one (x[:, 0]) or mix them first with sox")
    if limited and samples.size > MAX_SAMPLES:
        if not truncate:
            raise _too_long(samples.size)
        samples = samples[:MAX_SAMPLES]
        if cut is not None:
            cut.append(1)
    if samples.dtype.kind == "f":
        if scale is None:
            raise TypeError(
                f"{samples.dtype} samples need a scale: pass scale=32768 for waveforms in [-1, 1] (what "
                "torchaudio.load and soundfile.read give), scale=1 for floats already in the 16-bit range")
        return _from_float(samples, scale)
    if samples.dtype.kind != "i" or samples.dtype.itemsize != 2:
        raise TypeError(f"16-bit integer samples are required, not {samples.dtype}; convert with x.astype(np.int16)")
    if scale is not None and _check_scale(scale) != 1:
        raise ValueError(f"scale={scale} applies to float waveforms; 16-bit samples are taken as they are")
    return np.ascontiguousarray(samples, dtype=np.int16)


FRAME_DELAY = _core.FRAME_DELAY
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

    def __init__(self, normalisation: str = "NONE", truncate: bool = False, scale: Optional[float] = None,
                 sample_rate: int = SAMPLE_RATE, output: str = "mfcc") -> None:
        _check_normalisation(normalisation)
        self.normalisation = normalisation
        self.output = output  # "fbank": final with their records; "fbank-deltas": as the MFCC vectors
        self._scale = scale   # for float chunks, as in features()
        # At another rate (8000 to 192000 Hz) the samples are converted as
        # they come by the defined conversion: the vectors of resample()
        # of the whole stream, for any chunking.
        self._core = _core.OnlineExtractor(normalisation, bool(truncate), int(sample_rate), output)
        self._taken = 0       # frames given by take()

    def accept_waveform(self, samples: Samples) -> None:
        """Appends samples: a 1-D int16 array or bytes-like little-endian 16-bit
        samples (a bytes chunk of odd length keeps its last byte for the next
        chunk). Raises RuntimeError after ``input_finished()``."""
        if isinstance(samples, (bytes, bytearray)) or (isinstance(samples, memoryview) and samples.format in "Bbc"):
            self._core.accept_bytes(bytes(samples))
            return
        self._core.accept(_samples(samples, self._scale, limited=False))

    def input_finished(self) -> None:
        """No more samples: every remaining frame becomes final (a last odd
        byte is ignored, as the tool ignores it)."""
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
            f"sample_rate {sample_rate}: the features are defined for {SAMPLE_RATE} Hz only; "
            f"resample(x, {sample_rate}) converts it first, by the tool's defined conversion")


def _check_normalisation(normalisation: str) -> None:
    """ValueError, in the library's words, for a name that is no mode (before
    any work is done on the samples)."""
    _core.extension(normalisation)


def _as_input(like, array: np.ndarray):
    """array as a torch tensor sharing its memory when the input was one."""
    if _torch_tensor(like):
        return sys.modules["torch"].from_numpy(array)
    return array


def resample(samples: Samples, rate: int, scale: Optional[float] = None) -> np.ndarray:
    """The 16 kHz 16-bit samples of a recording at ``rate`` (8000 to 192000
    Hz), by the tool's defined conversion (--convert): the same samples on
    every machine. int16 input is taken as it is; floats need ``scale`` (32768
    for waveforms in [-1, 1]): each value is x * scale in double, rounded to
    single precision. The output is rounded to nearest, ties to even; samples
    beyond the 16-bit range are clipped with a warning."""
    x = _samples(samples, scale=None, limited=False) if not _is_float(samples) else None
    if x is not None:
        values = x.astype(np.float32)
    else:
        array = samples.detach().numpy() if _torch_tensor(samples) else np.asarray(samples)
        if scale is None:
            raise TypeError(f"{array.dtype} samples need a scale: pass scale=32768 for waveforms in [-1, 1]")
        values = (array.astype(np.float64) * _check_scale(scale)).astype(np.float32)
        bad = np.count_nonzero(~np.isfinite(values))
        if bad:
            raise ValueError(f"{bad} of the samples are not numbers (NaN or infinity)")
    if rate == SAMPLE_RATE:
        # At 16 kHz nothing but the rounding to 16 bits (from the double).
        return _as_input(samples, x if x is not None else _from_float(array, scale))
    out, clipped = _core.resample(np.ascontiguousarray(values), int(rate))
    if clipped:
        import warnings
        warnings.warn(f"{clipped} converted samples lie beyond the 16-bit range and were clipped to it", stacklevel=2)
    return _as_input(samples, out)


def speed_perturb(samples: Samples, factor: Union[float, str], scale: Optional[float] = None) -> np.ndarray:
    """16 kHz samples played ``factor`` times as fast (0.5 to 2), for
    training: taken as if at round(16000 * factor) Hz and converted to 16 kHz
    by resample(), as feature-kaldi --speed does (its keys are
    ``sp<factor>-<id>``). A factor of 1 gives the samples as they are."""
    rate = _core.speed_rate(factor if isinstance(factor, str) else repr(float(factor)))
    return resample(samples, rate, scale)


def _is_float(samples) -> bool:
    if _torch_tensor(samples):
        return samples.is_floating_point()
    return isinstance(samples, np.ndarray) and samples.dtype.kind == "f"


def extract(samples: Samples, sample_rate: int = SAMPLE_RATE, normalisation: str = "CMN",
            truncate: bool = False, scale: Optional[float] = None, output: str = "mfcc") -> Extraction:
    """Features, records before normalisation and energies of one recording.

    More than MAX_SAMPLES samples (90 s) raise TooLong (a ValueError) unless
    ``truncate`` is true; then, as the tool does, only the first 90 s are
    analysed. Float waveforms need ``scale`` (see features()). ``output``:
    "mfcc" (the 39 values), "fbank" (the 24 log filter-bank energies the
    cepstra are computed from, their mean removed in CMN) or "fbank-deltas"
    (those, their deltas and delta-deltas: 72); MVNMA is for MFCC only.
    """
    _check_rate(sample_rate)
    _check_normalisation(normalisation)
    cut: list = []
    x = _samples(samples, scale, truncate, cut=cut)
    _warn_cut(len(cut))
    result = Extraction(*_core.extract(x, normalisation, truncate, output))
    return Extraction(*(_as_input(samples, a) for a in result))


def features(samples: Samples, sample_rate: int = SAMPLE_RATE, normalisation: str = "CMN",
             truncate: bool = False, scale: Optional[float] = None, output: str = "mfcc") -> np.ndarray:
    """The 39-value vectors, shape (frames, 39), float32: what the tool writes.

    ``samples``: a 1-D numpy int16 array (any stride), a CPU torch tensor
    (then the result is a tensor too, sharing the array's memory) or bytes
    of little-endian 16-bit samples at 16 kHz. Float waveforms need
    ``scale``: 32768 for waveforms in [-1, 1] (what torchaudio.load and
    soundfile.read give), 1 for floats already in the 16-bit range; the
    samples analysed are x * scale rounded to the nearest integer (ties to
    even), clipped to the 16-bit range with a warning. Fewer than 320
    samples give shape (0, 39). ``output``: see extract() (24 or 72 values
    for the filter banks).
    """
    return extract(samples, sample_rate, normalisation, truncate, scale, output).features


def cepstra(samples: Samples, sample_rate: int = SAMPLE_RATE, truncate: bool = False,
            scale: Optional[float] = None) -> np.ndarray:
    """The 13-value records c1..c12 (liftered), C0 before any normalisation,
    shape (frames, 13); c1..c12 are what the tool's .C12 file holds."""
    return extract(samples, sample_rate, "NONE", truncate, scale).cepstra


def energies(samples: Samples, sample_rate: int = SAMPLE_RATE, truncate: bool = False,
             scale: Optional[float] = None) -> np.ndarray:
    """The energy of every frame in dB, shape (frames,): the tool's .ENG values."""
    return extract(samples, sample_rate, "NONE", truncate, scale).energies


def _default_jobs() -> int:
    """One thread per processor, or one inside a DataLoader worker process
    (which is one of several already)."""
    torch = sys.modules.get("torch")
    if torch is not None:
        try:
            if torch.utils.data.get_worker_info() is not None:
                return 1
        except AttributeError:
            pass
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


def _batch_items(utterances, lengths, scale, truncate) -> Tuple[list, bool]:
    """The utterances as int16 arrays, and whether they came as torch tensors."""
    tensors = _torch_tensor(utterances)
    if tensors or isinstance(utterances, np.ndarray):
        padded = utterances.detach().numpy() if tensors else utterances
        if padded.ndim != 2:
            raise TypeError(f"a batch array is 2-D (B, T) with lengths, not shape {padded.shape}")
        if lengths is None:
            lengths = [padded.shape[1]] * padded.shape[0]
        lengths = [int(n) for n in (lengths.tolist() if hasattr(lengths, "tolist") else lengths)]
        if len(lengths) != padded.shape[0] or any(n < 0 or n > padded.shape[1] for n in lengths):
            raise ValueError(f"lengths must give 0 to {padded.shape[1]} samples for each of the "
                             f"{padded.shape[0]} rows")
        rows = [padded[i, :n] for i, n in enumerate(lengths)]
    else:
        if lengths is not None:
            raise ValueError("lengths are for a 2-D (B, T) batch; a sequence gives each utterance whole")
        rows = list(utterances)
        tensors = bool(rows) and all(_torch_tensor(x) for x in rows)
    items, cut = [], []
    for i, x in enumerate(rows):
        try:
            items.append(_samples(x, scale, truncate, cut=cut))
        except (TypeError, ValueError) as e:
            raise type(e)(f"utterance {i}: {e}") from None
    _warn_cut(len(cut))
    return items, tensors


def extract_batch(utterances, normalisation: str = "CMN", jobs: int = 0, lengths=None, truncate: bool = False,
                  scale: Optional[float] = None, output: str = "mfcc") -> List[Extraction]:
    """extract() of every utterance, on ``jobs`` threads (0: one per
    processor, or one inside a DataLoader worker), the GIL released for the
    whole batch; results in the order of the inputs, each bit for bit what
    extract() gives. ``utterances``: a sequence of 1-D arrays, tensors or
    bytes, or a 2-D (B, T) int16 (or float, with ``scale``) array or tensor
    with ``lengths`` (all T when not given). The first bad utterance raises
    an exception naming its index; no thread is left running."""
    _check_normalisation(normalisation)
    items, tensors = _batch_items(utterances, lengths, scale, truncate)
    threads = _default_jobs() if jobs == 0 else int(jobs)
    if not 1 <= threads <= _core.MAX_WORKERS:
        raise ValueError(f"jobs must be 0 to {_core.MAX_WORKERS}, not {jobs}")
    out = []
    for triple in _core.extract_batch(items, normalisation, truncate, threads, output):
        if tensors:
            torch = sys.modules["torch"]
            triple = tuple(torch.from_numpy(a) for a in triple)
        out.append(Extraction(*triple))
    return out


def features_batch(utterances, normalisation: str = "CMN", jobs: int = 0, lengths=None, truncate: bool = False,
                   scale: Optional[float] = None, output: str = "mfcc") -> list:
    """features() of every utterance, extracted side by side (see
    extract_batch): a list of (frames, 39) float32 arrays, or tensors for
    tensor input."""
    return [e.features for e in extract_batch(utterances, normalisation, jobs, lengths, truncate, scale, output)]


def read_recording(path: Path, input_format: str = "auto", truncate: bool = False, convert: bool = False,
                   lossy: bool = False, channel: Optional[int] = None, downmix: bool = False) -> np.ndarray:
    """The samples of a recording file read as the tool reads it: ``auto``
    (the default: as audio a file that begins with an audio file's header,
    as raw any other), ``raw`` (headerless 16-bit little-endian PCM, the
    tool's default) or ``audio`` (WAV, FLAC, ... holding 16-bit samples at
    16 kHz in one channel; anything else raises ValueError saying what
    would read it).
    With ``convert``, audio at another rate (8000 to 192000 Hz) or of another
    sample format is converted to 16 kHz 16-bit samples by the tool's defined
    conversion (--convert: the same samples on every machine); ``lossy``
    reads MP3, Ogg Vorbis and Opus too (converted; their decoders may give
    other samples on another machine); ``channel`` (from 0) or ``downmix``
    read one channel, or their mean, of a recording of several.
    A raw file that begins with an audio file's header (WAV, FLAC, MP3, ...)
    gives the tool's warning as a Python warning: it is read as samples.
    A recording longer than 90 s (converted) raises TooLong unless
    ``truncate`` is true: then its first 90 s are given, as the tool uses
    them."""
    encoded = _fsencode(path)
    path = os.fsdecode(encoded)
    samples, ignored, said = _core.read_recording(encoded, input_format, bool(convert), bool(lossy),
                                                  -1 if channel is None else int(channel), bool(downmix))
    if said:
        import warnings
        for words in said:
            if words.endswith("which is read as samples"):  # a raw file that is an audio file
                words += " (input_format='auto', the default, reads audio files as audio)"
            warnings.warn(words, stacklevel=3 if _called_from_package() else 2)
    if ignored and not truncate:
        raise TooLong(_core.too_long(path, -1 if ignored < 0 else MAX_SAMPLES + ignored))
    _warn_cut(1 if ignored else 0)
    return samples


def _called_from_package() -> bool:
    """Whether read_recording was called by features_from_file (the warning
    then points at features_from_file's caller)."""
    return sys._getframe(2).f_code.co_name == "features_from_file"


def features_from_file(path: Path, normalisation: str = "CMN", input_format: str = "auto",
                       truncate: bool = False, convert: bool = False, lossy: bool = False,
                       channel: Optional[int] = None, downmix: bool = False, output: str = "mfcc") -> np.ndarray:
    """The features of a recording file, as the tool computes them (TooLong
    beyond 90 s unless ``truncate``; ``convert``, ``lossy``, ``channel`` and
    ``downmix`` as read_recording takes them; ``output`` as extract())."""
    samples = read_recording(path, input_format, truncate, convert, lossy, channel, downmix)
    return features(samples, normalisation=normalisation, truncate=truncate, output=output)


def extension(normalisation: str, output: str = "mfcc") -> str:
    """The tool's file extension for a normalisation ('mfcKVR0DAZC39' for CMN,
    ...) and an output ('fbk24Z' for fbank in CMN, ...)."""
    _check_normalisation(normalisation)
    return _core.output_extension(output, normalisation)


def write_htk(path: Path, array: np.ndarray, sample_period: int = 100000, parm_kind: int = 6) -> None:
    """Writes an HTK parameter file of the vectors in ``array`` (frames, values),
    with the tool's header fields by default, complete or not at all. A file
    that cannot be written raises OSError (errno, reason, path)."""
    encoded = _fsencode(path)
    data = np.asarray(array)
    if data.dtype.kind not in "fiu":
        raise TypeError(f"write_htk needs numbers, not {data.dtype}")
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
    """The float matrix whose header starts at the file's position (its size
    checked against the bytes left before anything is allocated)."""
    head = f.read(_core.KALDI_MATRIX_HEADER_BYTES)
    try:
        rows, columns = _core.kaldi_matrix_header(head)
    except ValueError as e:
        raise ValueError(f"{where} (byte {offset}): {e}") from None
    left = os.fstat(f.fileno()).st_size - f.tell()
    if rows * columns * 4 > left:
        raise ValueError(f"{where} (byte {offset}): the archive ends inside a matrix of {rows} x {columns} "
                         f"({rows * columns * 4} bytes of values, {left} left)")
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


def _scp_entries(path: Path) -> Iterator[Tuple[str, bytes, int, str]]:
    """(key, archive path, offset, where) of each line of an index."""
    name = os.fsdecode(_fsencode(path))
    with open(path, "rb") as index:
        for number, line in enumerate(index, 1):
            # The key, then the rest of the line: an archive path may hold
            # spaces, as Kaldi reads it.
            fields = line.strip().split(None, 1)
            if not fields:
                continue
            where = f"{name} line {number}"
            if len(fields) != 2 or b":" not in fields[1]:
                raise ValueError(f"{where}: not '<key> <archive>:<offset>'")
            archive, _, offset_text = fields[1].rpartition(b":")
            if not offset_text.isdigit():
                raise ValueError(f"{where}: the offset {offset_text.decode(errors='replace')!r} is no number")
            yield fields[0].decode("utf-8", "surrogateescape"), archive, int(offset_text), where


def _open_archive(archive: bytes, where: str):
    """An index's archive, opened; a relative path that is missing says
    which directory it was taken in."""
    try:
        return open(archive, "rb")
    except FileNotFoundError as e:
        if os.path.isabs(archive):
            raise
        raise FileNotFoundError(e.errno, f"{e.strerror} ({where}: a relative archive path is taken in the working "
                                f"directory, {os.getcwd()}, as Kaldi takes it; write absolute paths into the index)",
                                e.filename) from None


def read_kaldi_scp(path: Path) -> Iterator[Tuple[str, np.ndarray]]:
    """The (key, matrix) pairs an index (feats.scp: ``<key> <archive>:<offset>``)
    points to, in its order; archive paths are taken as they stand (relative
    to the working directory, as Kaldi takes them)."""
    archives = {}
    try:
        for key, archive, offset, where in _scp_entries(path):
            if archive not in archives:
                archives[archive] = _open_archive(archive, where)
            f = archives[archive]
            f.seek(offset)
            yield key, _kaldi_entry(f, f"{where}: {os.fsdecode(archive)} entry {key!r}", offset)
    finally:
        for f in archives.values():
            f.close()


def _float32_items(items, what: str) -> Iterator[Tuple[bytes, np.ndarray]]:
    """(key, array) pairs as the writers take them: the key's bytes (surrogate
    escapes undone), the values as contiguous float32; what is not numbers
    raises TypeError naming the key."""
    for key, array in items:
        data = np.asarray(array)
        if data.dtype.kind not in "fiu":
            raise TypeError(f"{key!r}: {what} of numbers is needed, not {data.dtype}")
        yield str(key).encode("utf-8", "surrogateescape"), np.ascontiguousarray(data, dtype=np.float32)


def write_kaldi(ark: Path, scp: Optional[Path], items) -> int:
    """Writes (key, matrix) pairs as a binary Kaldi archive of float matrices,
    and its index when ``scp`` is given (``<key> <ark>:<offset>``, the ark path
    as given), with feature-kaldi's writer: the same bytes. Both appear under
    their names only when complete; a symbolic link is followed, a device or
    FIFO (``/dev/null``, a named pipe) written into; a directory, or ``ark``
    and ``scp`` naming one file, raise before anything is written. Matrices
    are 2-D (rows, columns), written as float32. Returns the number of
    entries."""
    writer = _core.KaldiWriter(_fsencode(ark), _fsencode(scp) if scp is not None else b"")
    try:
        count = 0
        for key, data in _float32_items(items, "a matrix"):
            writer.add(key, data)
            count += 1
        writer.commit()
        return count
    finally:
        writer.abandon()


def read_list(list_file: Path) -> List[str]:
    """The utterance names of a list file, exactly as the tool reads them:
    separated by ASCII white space only (a no-break space is part of a
    name), as str with the surrogate escapes of os.fsdecode for bytes that
    are not UTF-8 (os.fsencode gives the bytes back)."""
    return [os.fsdecode(name) for name in _core.read_list(_fsencode(list_file))]


def run_list(list_file: Path, input_dir: Path, output_dir: Path, normalisation: str = "CMN", jobs: int = 1,
             c12_eng: bool = False, input_format: str = "raw", input_extension: Optional[str] = None,
             summary: bool = False, part: Union[None, str, Tuple[int, int]] = None, skip_existing: bool = False,
             no_empty_files: bool = False, htk_qualifiers: bool = False, truncate: bool = False,
             pairs: bool = False, convert: bool = False, lossy: bool = False, channel: Optional[int] = None,
             downmix: bool = False, output: str = "mfcc", keep_going: bool = False,
             record: Optional[Path] = None) -> int:
    """Runs a whole list as the tool does (the same loop, files and messages;
    no pause after "Error"), with the tool's options: ``jobs`` workers (0:
    one per processor, at most 1024), ``c12_eng``, ``input_format``,
    ``input_extension``, ``part`` ("K/N" or (K, N): the share K of N),
    ``skip_existing``, ``no_empty_files``, ``htk_qualifiers``, ``pairs``
    (entries of a source and a target, the tool's --pairs; ``input_format``
    is "raw" by default as in the tool, whose files run_list promises:
    "auto" reads audio files as audio), ``output``
    ("mfcc", "fbank", "fbank-deltas": the tool's --output), ``keep_going``
    (a recording that cannot be opened fails alone and the run goes on),
    ``record`` (a file: a JSON line per name, the tool's --record); ``summary``
    prints the tool's summary on standard error. Returns the tool's exit
    status: 0 when every utterance was written. A setting the tool refuses
    raises ValueError with the tool's reason. Ctrl-C stops it after the
    utterances under way (their files are complete; no temporary stays) and
    raises KeyboardInterrupt. A recording longer than 90 s gets no file
    unless ``truncate`` (then its first 90 s, as the tool does): the others
    are written, and TooLong is raised at the end.

    A process forked while another thread is inside run_list may start a
    run of its own; the parent's run goes on in the parent alone."""
    _check_normalisation(normalisation)
    # Every keyword is a field of the tool's run setup, bound by name.
    setup = _core.RunSetup()
    keywords = dict(locals())
    keywords["input_dir"], keywords["output_dir"] = _fsencode(input_dir), _fsencode(output_dir)
    keywords["input_extension"] = os.fsencode(input_extension or "")
    keywords["record"] = _fsencode(record) if record is not None else b""
    keywords["part"] = "0/1" if part is None else part if isinstance(part, str) else "/".join(str(int(v)) for v in part)
    for name, value in keywords.items():
        if name not in ("list_file", "setup", "truncate") and hasattr(setup, name):
            current = getattr(setup, name)
            setattr(setup, name, type(current)(value) if isinstance(current, (bool, int)) and value is not None else value)
    return _core.run_list(_fsencode(list_file), setup, bool(truncate))
