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
