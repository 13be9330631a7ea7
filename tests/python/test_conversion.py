"""Recordings at other rates and of several channels from Python: resample()
gives the samples the tool's --convert reads from the file, the online
extractor at a rate gives their vectors for any chunking, the keywords
choose a channel or the mean, and a refusal names the keyword that reads
the file."""
import os
import subprocess
import wave

import numpy as np
import pytest

import mfcc_frontend as mf

from locations import EXAMPLES, TOOL


def speech(name="speaker1/fox"):
    with open(os.path.join(EXAMPLES, "recordings", name), "rb") as f:
        return np.frombuffer(f.read(), "<i2")


def write_wav(path, samples, rate, channels=1):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(samples, "<i2").tobytes())


@pytest.mark.parametrize("rate", [8000, 11025, 22050, 44100, 48000])
def test_resample_is_what_the_tool_reads(tmp_path, rate):
    x = speech()[: rate * 2]
    write_wav(tmp_path / "r.wav", x, rate)
    converted = mf.resample(x, rate)
    assert converted.dtype == np.int16
    assert len(converted) == -(-len(x) * 16000 // rate)          # ceil(N 16000 / S)
    read = mf.read_recording(tmp_path / "r.wav", input_format="audio", convert=True)
    assert np.array_equal(read, converted)
    # Floats of the same values in [-1, 1): the same samples.
    assert np.array_equal(mf.resample(x.astype(np.float32) / 32768, rate, scale=32768), converted)
    # The tool's file holds the features of the converted samples.
    (tmp_path / "list").write_text("r.wav\n")
    subprocess.run([TOOL, "-q", "--input-format=audio", "--convert", str(tmp_path / "list"), str(tmp_path),
                    str(tmp_path / "out"), "CMN"], check=True, stdin=subprocess.DEVNULL)
    htk = mf.read_htk(tmp_path / "out" / ("r.wav." + mf.extension("CMN"))).data
    assert np.array_equal(htk, mf.features(converted, normalisation="CMN"))
    assert np.array_equal(mf.features_from_file(tmp_path / "r.wav", input_format="audio", convert=True), htk)


def test_online_extractor_at_a_rate_gives_the_vectors_of_the_whole_conversion():
    x = speech("speaker2/numbers")[:60000]
    for rate in (8000, 44100):
        expected = mf.features(mf.resample(x, rate), normalisation="NONE")
        for sizes in ([1, 333, 4096], [160]):
            online = mf.OnlineExtractor("NONE", sample_rate=rate)
            got, at, k = [], 0, 0
            while at < len(x):
                n = sizes[k % len(sizes)]
                online.accept_waveform(x[at:at + n])
                got.append(online.take())
                at, k = at + n, k + 1
            online.input_finished()
            got.append(online.take())
            assert np.array_equal(np.concatenate(got), expected), (rate, sizes)


def test_channels_formats_and_refusals_name_the_keyword(tmp_path):
    left, right = speech()[:16000], speech("speaker2/stella")[:16000]
    stereo = np.stack([left, right], axis=1).reshape(-1)
    write_wav(tmp_path / "two.wav", stereo, 16000, channels=2)
    assert np.array_equal(mf.read_recording(tmp_path / "two.wav", "audio", channel=0), left)
    assert np.array_equal(mf.read_recording(tmp_path / "two.wav", "audio", channel=1), right)
    mean = np.round((left.astype(np.float64) + right) / 2).astype(np.int16)  # numpy rounds ties to even
    assert np.array_equal(mf.read_recording(tmp_path / "two.wav", "audio", downmix=True), mean)
    cases = [
        (tmp_path / "two.wav", {}, "channel="),
        (tmp_path / "two.wav", {"channel": 2}, "it has no channel 2 (it has 2, counted from 0)"),
    ]
    write_wav(tmp_path / "slow.wav", left, 8000)
    cases.append((tmp_path / "slow.wav", {}, "convert=True"))
    for path, keywords, says in cases:
        with pytest.raises(ValueError) as refused:
            mf.read_recording(path, "audio", **keywords)
        assert says in str(refused.value), (keywords, str(refused.value))
    with pytest.raises(ValueError):
        mf.resample(left, 200000)


def test_speed_perturbation_in_feature_kaldi_is_speed_perturb_cut_by_kaldis_rules(tmp_path):
    from locations import KALDI
    parts = [speech(n) for n in ("speaker1/fox", "speaker2/numbers", "speaker2/stella")]
    x = np.concatenate(parts * 12)[: 100 * 16000 + 77]                    # 100 s, read in windows
    x.astype("<i2").tofile(tmp_path / "long.raw")
    speech("speaker1/fox").astype("<i2").tofile(tmp_path / "fox.raw")
    (tmp_path / "wav.scp").write_text(f"long {tmp_path / 'long.raw'}\nfox {tmp_path / 'fox.raw'}\n")
    segments = [("a", "long", 0.33, 1.5), ("b", "long", 95.0, -1), ("c", "fox", 0.0, 1.0)]
    (tmp_path / "segments").write_text("".join(f"{u} {r} {s} {e}\n" for u, r, s, e in segments))
    ark = tmp_path / "sp.ark"
    for use_segments in (True, False):
        run = subprocess.run([KALDI, "-q", "--input-format=raw", "--speed=0.9,1,1.1"]
                             + ([f"--segments={tmp_path / 'segments'}"] if use_segments else [])
                             + [f"scp:{tmp_path / 'wav.scp'}", f"ark,scp:{ark},{tmp_path / 'sp.scp'}", "NONE"],
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        written = list(mf.read_kaldi_scp(tmp_path / "sp.scp"))
        expected = []
        for factor, prefix in ((0.9, "sp0.9-"), (1.0, ""), (1.1, "sp1.1-")):
            played = {r: mf.speed_perturb(y, factor) for r, y in (("long", x), ("fox", speech()))}
            if not use_segments:
                expected += [(prefix + r, played[r][: mf.MAX_SAMPLES]) for r in ("long", "fox")]
                continue
            for u, r, s, e in segments:
                y = played[r]
                s, e = (s, e) if factor == 1.0 else (float(f"{s / factor:.2f}"), e if e < 0 else float(f"{e / factor:.2f}"))
                first = int(s * 16000.0 + 0.5)
                end = len(y) if e < 0 else min(len(y), int(e * 16000.0 + 0.5))
                expected.append((prefix + u, y[first:end]))
        assert [k for k, _ in written] == [k for k, _ in expected]
        for (key, matrix), (_, samples) in zip(written, expected):
            assert np.array_equal(matrix, mf.features(samples, normalisation="NONE")), key
    for bad in ("0.4", "0.9,0.9", "1.00001", "", "0.9,,1.1", "x"):
        run = subprocess.run([KALDI, "--input-format=raw", f"--speed={bad}", f"scp:{tmp_path / 'wav.scp'}",
                              f"ark:{tmp_path / 'bad.ark'}", "NONE"], capture_output=True, text=True)
        assert run.returncode == 1 and "--speed" in run.stderr and not (tmp_path / "bad.ark").exists(), bad
    assert np.array_equal(mf.speed_perturb(speech(), 1), speech())
    with pytest.raises(ValueError):
        mf.speed_perturb(speech(), 2.5)
