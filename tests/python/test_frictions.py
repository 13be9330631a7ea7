"""What a newcomer meets: audio files read as raw samples are counted and
named in the summary, and the auto input format reads them as audio in
every program and in Python."""
import os
import subprocess
import wave

import numpy as np

import mfcc_frontend as mf

from locations import EXAMPLES, KALDI, TOOL


def recordings(tmp_path):
    x = np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2")[:48000]
    x.tofile(tmp_path / "a.raw")
    with wave.open(str(tmp_path / "b.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(x.tobytes())
    (tmp_path / "list").write_text("a.raw\nb.wav\n")
    (tmp_path / "wav.scp").write_text(f"a {tmp_path / 'a.raw'}\nb {tmp_path / 'b.wav'}\n")
    return x


def test_auto_reads_audio_files_as_audio_and_raw_counts_them(tmp_path):
    x = recordings(tmp_path)
    expected = mf.features(x, normalisation="NONE")
    said = "feature: 1 recording began with an audio file's header and was read as raw samples, header included " \
           "(--input-format=auto reads audio files as audio)\n"
    for format, counted in (("raw", True), ("auto", False)):
        out = tmp_path / format
        run = subprocess.run([TOOL, f"--input-format={format}", str(tmp_path / "list"), str(tmp_path), str(out), "NONE"],
                             capture_output=True, text=True, stdin=subprocess.DEVNULL)
        assert run.returncode == 0 and (said in run.stderr) == counted, run.stderr
        assert mf.read_htk(out / "a.raw.mfcKVR0DAC39").data.tobytes() == expected.tobytes()
        wav = mf.read_htk(out / "b.wav.mfcKVR0DAC39").data
        assert (wav.tobytes() == expected.tobytes()) != counted       # raw: the header analysed as sound
    run = subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}", f"ark:{tmp_path / 'f.ark'}",
                          "NONE"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert [(k, a.tobytes()) for k, a in mf.read_kaldi_ark(tmp_path / "f.ark")] == \
        [("a", expected.tobytes()), ("b", expected.tobytes())]
    for name in ("a.raw", "b.wav"):                                   # Python reads with auto by default
        assert mf.read_recording(tmp_path / name).tobytes() == x.tobytes()
        assert mf.features_from_file(tmp_path / name, "NONE").tobytes() == expected.tobytes()
