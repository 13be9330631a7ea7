"""Online extraction from Python and through feature-stream: whatever the
chunks, the vectors that become ready are the tool's; vectors leave the
pipe program before its input ends; misuse says what is wrong."""
import os
import select
import subprocess
import time

import numpy as np
import pytest

import mfcc_frontend as mf

from locations import GOLDEN, EXAMPLES, STREAM, MODES


def recordings():
    """(name, bytes) of the golden and example recordings and of random ones."""
    out = []
    for directory, list_name in ((GOLDEN, "list"), (EXAMPLES, "list.txt")):
        with open(os.path.join(directory, list_name)) as f:
            for name in f.read().split():
                with open(os.path.join(directory, "recordings", name), "rb") as r:
                    out.append((name, r.read()))
    rng = np.random.default_rng(7)
    for i in range(6):
        n = int(rng.integers(0, 60000))
        x = rng.integers(-32768, 32768, n).astype("<i2") if i % 2 else np.zeros(n, "<i2")
        out.append((f"random{i}", x.tobytes()))
    return out


def feed(online, raw, sizes, as_array):
    """Feeds raw bytes in chunks of the cycled sizes (bytes, or int16 arrays
    of whole samples), joining what take() gives."""
    got = []
    at, k = 0, 0
    while at < len(raw):
        n = sizes[k % len(sizes)]
        k += 1
        if as_array:
            n -= n % 2
            chunk = np.frombuffer(raw[at:at + n], "<i2").astype(np.int16)
        else:
            chunk = raw[at:at + n]
        online.accept_waveform(chunk)
        at += n
        got.append(online.take())
    online.input_finished()
    got.append(online.take())
    return np.concatenate(got)


def test_chunks_of_any_size_give_the_tools_vectors():
    schemes = [([1, 159, 320, 3], False), ([321], False), ([320], True), ([2000, 7], False)]
    for name, raw in recordings():
        even = raw[:len(raw) // 2 * 2]
        for mode in MODES:
            expected = mf.features(even, normalisation=mode, truncate=True)
            for sizes, as_array in schemes:
                if sizes[0] == 1 and len(raw) > 40000:
                    continue
                online = mf.OnlineExtractor(mode, truncate=True)
                got = feed(online, even if as_array else raw, sizes, as_array)
                assert got.dtype == np.float32 and got.shape == expected.shape, (name, mode, sizes)
                assert got.tobytes() == expected.tobytes(), (name, mode, sizes)


def test_records_energies_and_readiness():
    raw = open(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "rb").read()
    x = np.frombuffer(raw, "<i2")[:16000]
    whole = mf.extract(x, normalisation="NONE")
    online = mf.OnlineExtractor()
    for n in range(0, 4000, 37):
        online.accept_waveform(x[n:min(n + 37, 4000)])
        done = min(n + 37, 4000)
        assert online.num_frames_ready == max(0, done // 160 - mf.FRAME_DELAY), done
        assert online.num_records_ready == max(0, done // 160 - 1)
    online.accept_waveform(x[4000:])
    online.input_finished()
    assert online.is_last_frame(whole.features.shape[0] - 1)
    assert online.get_records(0).tobytes() == whole.cepstra.tobytes()
    assert online.get_energies(0).tobytes() == whole.energies.tobytes()
    assert online.get_frames(10, 20).tobytes() == whole.features[10:20].tobytes()


def test_misuse_says_what_is_wrong():
    x = np.arange(3200, dtype=np.int16) * 9
    online = mf.OnlineExtractor("NONE")
    online.accept_waveform(x)
    with pytest.raises(IndexError, match="frame 15 is not available"):
        online.get_frames(14, 16)
    online.pop(10)
    with pytest.raises(IndexError, match="frame 9 is not available: frames before 10 were popped"):
        online.get_frames(9, 12)
    with pytest.raises(IndexError, match=r"pop\(99\)"):
        online.pop(99)
    for bad in (x.astype(np.float32), [1, 2, 3], x.reshape(40, 80)):
        with pytest.raises(TypeError):
            online.accept_waveform(bad)
    with pytest.raises(ValueError, match="normalisation"):
        mf.OnlineExtractor("cmn")
    online.input_finished()
    with pytest.raises(RuntimeError, match="acceptWaveform after inputFinished"):
        online.accept_waveform(x)
    with pytest.raises(RuntimeError, match="acceptWaveform after inputFinished"):
        online.accept_waveform(b"\0\0\0")
    long = mf.OnlineExtractor("CMN")
    long.accept_waveform(np.zeros(mf.MAX_SAMPLES, np.int16))
    with pytest.raises(ValueError, match="the stream is longer than the 90-second limit"):
        long.accept_waveform(np.zeros(1, np.int16))


def stream(mode, raw, *options):
    """feature-stream over raw bytes as the tool reads a raw file (a WAV
    header among the golden recordings analysed as sound too)."""
    return subprocess.run([STREAM, "--input-format=raw", *options, mode], input=raw, capture_output=True,
                          check=True).stdout


def test_feature_stream_writes_the_tools_vectors(tmp_path):
    for i, (name, raw) in enumerate(recordings()[:26]):  # every golden and example recording
        even = raw[:len(raw) // 2 * 2]
        for mode in MODES:
            expected = mf.features(even, normalisation=mode, truncate=True)
            f32 = np.frombuffer(stream(mode, raw, "--truncate"), "<f4").reshape(-1, 39)
            assert f32.tobytes() == expected.astype("<f4").tobytes(), (name, mode)
            if i % 5:
                continue
            text = stream(mode, raw, "--format=text", "--truncate").decode().splitlines()
            parsed = np.array([[float(v) for v in line.split()] for line in text], np.float32).reshape(-1, 39)
            assert parsed.tobytes() == expected.tobytes(), (name, mode)
        if i % 5 == 0:
            records = np.frombuffer(stream("CMN", raw, "--records", "--truncate"), "<f4").reshape(-1, 13)
            assert records.tobytes() == mf.cepstra(even, truncate=True).tobytes(), name


def read_exactly(pipe, count, seconds=10):
    data = b""
    end = time.monotonic() + seconds
    while len(data) < count and time.monotonic() < end:
        if select.select([pipe], [], [], 0.1)[0]:
            chunk = os.read(pipe.fileno(), count - len(data))
            if not chunk:
                break
            data += chunk
    return data


def test_feature_stream_writes_before_its_input_ends():
    raw = open(os.path.join(EXAMPLES, "recordings", "speaker2", "numbers"), "rb").read()
    x = np.frombuffer(raw[:len(raw) // 2 * 2], "<i2")
    expected = mf.features(x, normalisation="NONE", truncate=True).astype("<f4").tobytes()
    half = len(x) // 2 * 2 + 1  # an odd number of bytes: a sample split between writes
    process = subprocess.Popen([STREAM, "NONE"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    process.stdin.write(raw[:half])
    process.stdin.flush()
    due = (half // 2 // 160 - mf.FRAME_DELAY) * 39 * 4
    first = read_exactly(process.stdout, due)
    assert first == expected[:due]  # every frame the first half makes final, while the input is open
    assert not select.select([process.stdout], [], [], 0.3)[0], "a frame was written before it was final"
    process.stdin.write(raw[half:len(raw) // 2 * 2])
    process.stdin.close()
    rest = process.stdout.read()
    assert process.wait() == 0
    assert first + rest == expected


def test_feature_stream_ends_quietly_on_a_closed_pipe_and_refuses_bad_arguments():
    noise = np.random.default_rng(1).integers(-3000, 3000, 16000 * 30).astype("<i2").tobytes()
    process = subprocess.Popen([STREAM, "NONE"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.close()
    try:
        process.stdin.write(noise)
        process.stdin.close()
    except BrokenPipeError:
        pass
    assert process.wait() == 1
    assert process.stderr.read() == b""
    for args, says in ((["cmn"], "unknown normalisation"), ([], "one argument needed"),
                       (["--format=csv", "NONE"], "--format takes f32 or text"), (["-x", "NONE"], "unknown option")):
        run = subprocess.run([STREAM, *args], input=b"", capture_output=True)
        assert run.returncode == 1 and says in run.stderr.decode(), (args, run.stderr)
    long = subprocess.run([STREAM, "MVNMA"], input=bytes(2 * mf.MAX_SAMPLES + 2), capture_output=True)
    assert long.returncode == 1 and b"the stream is longer than the 90-second limit" in long.stderr
    assert b"reads raw 16-bit" in subprocess.run([STREAM, "--help"], capture_output=True).stdout.lower()
