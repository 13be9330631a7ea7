"""The filter-bank outputs: the log filter outputs the cepstra are computed
from (checked against a computation of the filter bank of its own here),
their mean removal and deltas by the cepstra's arithmetic, and the same
vectors from the tool, feature-kaldi, feature-stream, the online extractor
and Python."""
import os
import subprocess

import numpy as np
import pytest

import mfcc_frontend as mf

from locations import GOLDEN, KALDI, STREAM, TOOL

OUTPUTS = (("fbank", 24), ("fbank-deltas", 72))


def golden():
    with open(os.path.join(GOLDEN, "list")) as f:
        names = f.read().split()
    return {n: np.fromfile(os.path.join(GOLDEN, "recordings", n), "<i2")[: mf.MAX_SAMPLES] for n in names}


def filter_outputs(x):
    """The 24 filter outputs of every frame, computed here from the
    definition of the mel filter bank (double-precision FFT)."""
    f32 = np.float32

    def mel(k):
        return f32(1127.0 * np.log(np.float64(f32(f32(k - 1) * f32(0.04464286)) + f32(1.0))))
    melmax = mel(257)
    m = [f32(0.0)] + [f32(f32(f32(j) / f32(25.0)) * melmax) for j in range(1, 26)]
    index, share, j = [], [], 0
    for k in range(256):
        b = mel(k + 1)
        if b > m[j + 1]:
            j += 1
        index.append(j)
        share.append(f32((m[j + 1] - b) / (m[j + 1] - m[j])) if j >= 1 else f32((m[1] - b) / m[1]))
    window = np.array([f32(0.54 - 0.46 * np.cos(i * (2 * 3.14159265358979 / 319))) for i in range(320)], np.float64)
    frames = max(0, (len(x) - 160) // 160)
    out = np.zeros((frames, 25))
    for t in range(frames):
        v = x[160 * t: 160 * t + 320].astype(np.float32)
        v = (v.astype(np.float64) - v.astype(np.float64).sum() / 320.0).astype(np.float32)
        v[1:] = v[1:] - (v[:-1] * f32(0.95)).astype(np.float32)
        v[0] = v[0] * f32(0.050000012)
        v = (v.astype(np.float64) * window).astype(np.float32)
        spectrum = np.fft.fft(v.astype(np.float64), 512)
        for k in range(1, 256):
            magnitude = f32(np.sqrt(spectrum[k].real ** 2 + spectrum[k].imag ** 2))
            s = f32(np.float64(magnitude) * share[k])
            if index[k] > 0:
                out[t, index[k]] += s
            if index[k] < 24:
                out[t, index[k] + 1] += f32(magnitude - s)
    return out[:, 1:]


def mean_removed(statics):
    """Each column minus its mean: a double sum in frame order, divided by
    the frames, the difference in double rounded to single."""
    n = len(statics)
    if n == 0:
        return statics
    means = np.cumsum(statics.astype(np.float64), axis=0)[-1] / n
    return (statics.astype(np.float64) - means).astype(np.float32)


def regression(x):
    """The deltas of the cepstra, in single precision, over any width."""
    n = len(x)
    out = np.zeros_like(x)
    for t in range(n):
        total = np.zeros(x.shape[1], np.float32)
        for k in (1, 2):
            lower, upper = x[max(t - k, 0)], x[min(t + k, n - 1)]
            total = total + np.float32(k) * (upper - lower)
        out[t] = total / np.float32(10.0)
    return out


def test_the_filter_banks_are_the_logarithms_the_cepstra_take():
    for name, x in golden().items():
        fbank = mf.features(x, normalisation="NONE", output="fbank")
        expected = np.log(np.maximum(filter_outputs(x), 1.0))
        assert fbank.shape == expected.shape, name
        assert np.all(np.abs(fbank - expected) <= 4e-6 * np.maximum(1.0, expected)), name
        assert np.array_equal(fbank == 0, expected == 0), name          # floored at 1: exactly 0
        cmn = mf.features(x, normalisation="CMN", output="fbank")
        assert cmn.tobytes() == mean_removed(fbank).tobytes(), name
        for mode, statics in (("NONE", fbank), ("CMN", cmn)):
            deltas = regression(statics)
            both = np.concatenate([statics, deltas, regression(deltas)], axis=1)
            assert mf.features(x, normalisation=mode, output="fbank-deltas").tobytes() == both.tobytes(), name
        assert mf.features(x, normalisation="CMN").tobytes() == mf.features(x).tobytes()   # MFCC unchanged


def test_every_program_gives_the_same_filter_banks(tmp_path):
    recordings = golden()
    (tmp_path / "wav.scp").write_text("".join(f"{n} {os.path.join(GOLDEN, 'recordings', n)}\n" for n in recordings))
    for output, dimension in OUTPUTS:
        for mode in ("CMN", "NONE"):
            out = tmp_path / f"{output}-{mode}"
            assert subprocess.run([TOOL, "-q", f"--output={output}", os.path.join(GOLDEN, "list"),
                                   os.path.join(GOLDEN, "recordings"), str(out), mode],
                                  capture_output=True).returncode == 0
            ark = tmp_path / f"{output}-{mode}.ark"
            subprocess.run([KALDI, "-q", "--input-format=raw", f"--output={output}", f"scp:{tmp_path / 'wav.scp'}",
                            f"ark:{ark}", mode], capture_output=True)
            archive = dict(mf.read_kaldi_ark(ark))
            extension = mf.extension(mode, output)
            assert extension.startswith("fbk24") and ("Z" in extension) == (mode == "CMN")
            kind = 7 | (0x300 if output == "fbank-deltas" else 0) | (0x800 if mode == "CMN" else 0)
            for name, x in recordings.items():
                expected = mf.features(x, normalisation=mode, output=output)
                assert expected.shape == (max(0, (len(x) - 160) // 160), dimension)
                htk = mf.read_htk(out / f"{name}.{extension}")
                assert (htk.parm_kind, htk.data.shape[1:]) == (kind, (dimension,)), name
                assert htk.data.tobytes() == expected.tobytes(), name
                if len(expected):
                    assert archive[name].tobytes() == expected.tobytes(), name
                streamed = subprocess.run([STREAM, "--input-format=raw", f"--output={output}", mode], input=x.tobytes(),
                                          capture_output=True, check=True).stdout
                assert streamed == expected.astype("<f4").tobytes(), name
                online = mf.OnlineExtractor(mode, output=output)
                pieces = []
                for start in range(0, len(x), 1234):
                    online.accept_waveform(x[start:start + 1234])
                    pieces.append(online.take())
                online.input_finished()
                pieces.append(online.take())
                assert np.concatenate(pieces).reshape(-1, dimension).tobytes() == expected.tobytes(), name


def test_filter_banks_are_final_with_their_frame_and_refuse_mvnma(tmp_path):
    x = golden()["speech_like"] if "speech_like" in golden() else next(iter(golden().values()))
    online = mf.OnlineExtractor("NONE", output="fbank")
    online.accept_waveform(x[:160 * 7 + 160])       # frames 0..6 complete
    assert online.take().shape == (7, 24)
    words = "MVNMA is defined for the MFCC vectors only: filter banks take CMN or NONE"
    for call in (lambda: mf.features(x, normalisation="MVNMA", output="fbank"),
                 lambda: mf.OnlineExtractor("MVNMA", output="fbank-deltas"),
                 lambda: mf.extension("MVNMA", "fbank")):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == words
    with pytest.raises(ValueError) as e:
        mf.features(x, output="fbank24")
    assert str(e.value) == "unknown output 'fbank24': mfcc, fbank or fbank-deltas"
    for program in ([TOOL, "--output=fbank", "l", "i", "o", "MVNMA"], [STREAM, "--output=fbank", "MVNMA"],
                    [KALDI, "--output=fbank", "scp:x", "ark:y", "MVNMA"]):
        run = subprocess.run(program, capture_output=True, text=True, input="")
        assert run.returncode == 1 and words in run.stderr, program
