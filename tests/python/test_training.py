"""Python for training pipelines: batches equal features() bit for bit, in
list and padded forms, on one thread or two; torch tensors in and out;
float waveforms with an explicit scale; one rule for the 90 s limit; a
DataLoader with workers started by fork and by spawn gives the tool's
vectors."""
import os
import subprocess
import tracemalloc

import numpy as np
import pytest

import mfcc_frontend as mf

from locations import GOLDEN, EXAMPLES, TOOL, MODES


def utterances():
    out = []
    with open(os.path.join(GOLDEN, "list")) as f:
        for name in f.read().split():
            raw = open(os.path.join(GOLDEN, "recordings", name), "rb").read()
            out.append(np.frombuffer(raw[:len(raw) // 2 * 2], "<i2").astype(np.int16))
    rng = np.random.default_rng(3)
    out += [rng.integers(-20000, 20000, int(rng.integers(0, 40000))).astype(np.int16) for _ in range(12)]
    return out


def threads():
    return len(os.listdir("/proc/self/task"))


def test_batches_equal_features_in_list_and_padded_forms():
    xs = utterances()
    longest = max(x.size for x in xs)
    padded = np.zeros((len(xs), longest), np.int16)
    for i, x in enumerate(xs):
        padded[i, :x.size] = x
    lengths = [x.size for x in xs]
    for mode in MODES:
        expected = [mf.features(x, normalisation=mode) for x in xs]
        for jobs in (1, 2):
            for got in (mf.features_batch(xs, mode, jobs=jobs),
                        mf.features_batch(padded, mode, jobs=jobs, lengths=lengths),
                        [e.features for e in mf.extract_batch([x.tobytes() for x in xs], mode, jobs=jobs)]):
                assert len(got) == len(xs)
                for i, (a, b) in enumerate(zip(got, expected)):
                    assert a.dtype == np.float32 and a.tobytes() == b.tobytes(), (mode, jobs, i)
    assert mf.features_batch([]) == []


def test_the_first_bad_utterance_is_named_and_no_thread_stays():
    before = threads()
    good = np.zeros(16000, np.int16)
    with pytest.raises(TypeError, match="utterance 2: "):
        mf.features_batch([good, good, good.astype(np.float32), "text"], jobs=2)
    with pytest.raises(mf.TooLong, match="utterance 1: .*truncate=True"):
        mf.features_batch([good, np.zeros(mf.MAX_SAMPLES + 1, np.int16), good], jobs=2)
    with pytest.raises(ValueError, match="lengths must give 0 to 5"):
        mf.features_batch(np.zeros((2, 5), np.int16), lengths=[3, 6])
    with pytest.raises(ValueError, match="jobs must be 0 to 1024"):
        mf.features_batch([good], jobs=2000)
    assert threads() == before


def test_floats_need_an_explicit_scale():
    x = np.random.default_rng(1).integers(-32768, 32768, 24000).astype(np.int16)
    want = mf.features(x)
    assert mf.features(x.astype(np.float32) / 32768, scale=32768).tobytes() == want.tobytes()
    assert mf.features(x.astype(np.float64), scale=1).tobytes() == want.tobytes()
    with pytest.raises(TypeError, match=r"pass scale=32768 for waveforms in \[-1, 1\]"):
        mf.features(x / 32768)
    # Ties go to the even integer: 0.5 -> 0, 1.5 -> 2, 2.5 -> 2, -0.5 -> 0, -1.5 -> -2.
    ties = np.tile(np.array([0.5, 1.5, 2.5, -0.5, -1.5, 7.0]), 200)
    rounded = np.tile(np.array([0, 2, 2, 0, -2, 7], np.int16), 200)
    assert mf.features(ties, scale=1).tobytes() == mf.features(rounded).tobytes()
    loud = np.concatenate([np.full(3, 1.5), np.full(1000, 0.25), np.full(2, -1.01)])
    with pytest.warns(UserWarning, match="5 samples beyond the 16-bit range"):
        got = mf.features(loud, scale=32768)
    clipped = np.concatenate([np.full(3, 32767), np.full(1000, 8192), np.full(2, -32768)]).astype(np.int16)
    assert got.tobytes() == mf.features(clipped).tobytes()
    bad = np.zeros(1000)
    bad[[7, 9]] = [np.nan, np.inf]
    with pytest.raises(ValueError, match="sample 7 is nan"):
        mf.features(bad, scale=1)
    for view in (memoryview(np.zeros(100, np.float32)), memoryview(np.zeros((10, 10), np.int16))):
        with pytest.raises(TypeError, match="16-bit integer samples"):
            mf.features(view)
    assert mf.features(memoryview(x)).tobytes() == want.tobytes()
    with pytest.raises(ValueError, match="applies to float waveforms"):
        mf.features(x, scale=32768)
    for scale in (float("nan"), 0, -32768, float("inf")):  # the scale is blamed, not a sample
        for samples in (x.astype(np.float32), x):
            with pytest.raises(ValueError, match=rf"scale must be a finite positive number .* not {scale!r}"):
                mf.features(samples, scale=scale)


def test_one_rule_for_the_90_second_limit(tmp_path):
    long = np.zeros(mf.MAX_SAMPLES + 160, np.int16)
    long.tofile(tmp_path / "long")
    (tmp_path / "list").write_text("long\n")
    calls = [lambda t: mf.features(long, truncate=t), lambda t: mf.extract(long, truncate=t),
             lambda t: mf.features_from_file(tmp_path / "long", truncate=t),
             lambda t: mf.read_recording(tmp_path / "long", truncate=t),
             lambda t: mf.features_batch([long], truncate=t), lambda t: mf.cepstra(long, truncate=t)]
    for call in calls:
        with pytest.raises(mf.TooLong, match="90-second limit"):
            call(False)
        call(True)
    assert issubclass(mf.TooLong, ValueError)
    with pytest.raises(mf.TooLong, match="1 recording is longer than the 90-second limit"):
        mf.run_list(tmp_path / "list", tmp_path, tmp_path / "out", "NONE")
    assert not (tmp_path / "out").exists()
    assert mf.run_list(tmp_path / "list", tmp_path, tmp_path / "cut", "NONE", truncate=True) == 0
    assert mf.read_htk(tmp_path / "cut" / "long.mfcKVR0DAC39").data.shape == (8999, 39)
    # A view of 2^31 samples is cut before anything is copied.
    huge = np.broadcast_to(np.int16(3), (2 ** 31,))
    tracemalloc.start()
    assert mf.features(huge, truncate=True).shape == (8999, 39)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 200 << 20, peak


def test_torch_tensors_in_and_out():
    torch = pytest.importorskip("torch")  # the package itself works without it
    x = max(utterances(), key=len)
    want = mf.features(x)
    t = torch.from_numpy(x)
    got = mf.features(t)
    assert isinstance(got, torch.Tensor) and got.dtype == torch.float32
    assert got.numpy().tobytes() == want.tobytes()
    floats = t.to(torch.float32) / 32768
    assert mf.features(floats, scale=32768).numpy().tobytes() == want.tobytes()
    batch = mf.features_batch([t, t[:5000]], jobs=2)
    assert all(isinstance(b, torch.Tensor) for b in batch)
    assert batch[0].numpy().tobytes() == want.tobytes()
    padded = torch.zeros((2, x.size), dtype=torch.int16)
    padded[0] = t
    padded[1, :5000] = t[:5000]
    second = mf.features_batch(padded, lengths=torch.tensor([x.size, 5000]))
    assert second[1].numpy().tobytes() == mf.features(x[:5000]).tobytes()
    with pytest.raises(TypeError, match="scale=32768"):
        mf.features(floats)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_dataloader_workers_give_the_tools_vectors(tmp_path, method, monkeypatch):
    torch = pytest.importorskip("torch")
    monkeypatch.syspath_prepend(os.path.join(EXAMPLES, "pytorch"))  # spawned workers import it too
    import dataset
    listing, recordings = os.path.join(EXAMPLES, "list.txt"), os.path.join(EXAMPLES, "recordings")
    assert subprocess.run([TOOL, "-q", listing, recordings, str(tmp_path), "CMN"], stdin=subprocess.DEVNULL).returncode == 0
    loader = torch.utils.data.DataLoader(dataset.FeatureDataset(listing, recordings), batch_size=3, num_workers=2,
                                         collate_fn=dataset.collate, multiprocessing_context=method)
    seen = 0
    for names, features, lengths in loader:
        for i, name in enumerate(names):
            htk = mf.read_htk(tmp_path / f"{name}.mfcKVR0DAZC39").data
            assert int(lengths[i]) == htk.shape[0]
            assert features[i, :htk.shape[0]].numpy().tobytes() == htk.tobytes(), name
            assert not features[i, htk.shape[0]:].any()
            seen += 1
    assert seen == 4
