"""The package as users get it: pip install into a fresh virtual environment,
then import and extract; and the dask example, whose files equal the tool's."""
import os
import subprocess
import sys
import venv

import numpy as np

from locations import GOLDEN, EXAMPLES, TOOL, ROOT


def test_pip_install_into_a_fresh_environment(tmp_path):
    environment = tmp_path / "env"
    venv.EnvBuilder(system_site_packages=True, with_pip=True).create(environment)
    python = str(environment / "bin" / "python")
    install = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "-q", ROOT],
                             capture_output=True, text=True, cwd=tmp_path)
    assert install.returncode == 0, install.stdout + install.stderr
    script = ("import mfcc_frontend as mf, numpy as np, sys\n"
              "x = mf.features_from_file(sys.argv[1], 'CMN')\n"
              "print(mf.__file__)\n"
              "np.save(sys.argv[2], x)\n")
    fox = os.path.join(EXAMPLES, "recordings", "speaker1", "fox")
    run = subprocess.run([python, "-c", script, fox, str(tmp_path / "fox.npy")], capture_output=True, text=True,
                         cwd=tmp_path, env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(str(environment)), run.stdout
    subprocess.run([TOOL, "-q", os.path.join(EXAMPLES, "list.txt"), os.path.join(EXAMPLES, "recordings"),
                    str(tmp_path / "tool"), "CMN"], check=True, stdin=subprocess.DEVNULL)
    tool = np.fromfile(tmp_path / "tool" / "speaker1" / "fox.mfcKVR0DAZC39", ">f4", offset=12).reshape(-1, 39)
    assert np.load(tmp_path / "fox.npy").tobytes() == tool.astype(np.float32).tobytes()


def test_dask_example_writes_the_tools_files(tmp_path):
    # Names as the tool reads them: a no-break space inside one, one that is
    # not UTF-8, one that begins with "/".
    odd = tmp_path / "odd"
    odd.mkdir()
    for name in (b"a\xc2\xa0b", b"caf\xe9", b"lead"):
        with open(os.fsencode(odd) + b"/" + name, "wb") as f:
            f.write(np.arange(-6000, 6000, 7, dtype="<i2").tobytes())
    with open(os.fsencode(odd) + b"/long", "wb") as f:  # 91 s: its first 90 s, as the tool
        f.write(np.resize(np.arange(-6000, 6000, 7, dtype="<i2"), 91 * 16000).tobytes())
    (tmp_path / "odd-list").write_bytes(b"a\xc2\xa0b caf\xe9\n/lead long\n")
    # Audio files: the examples as WAV.
    wav = tmp_path / "wav"
    for name in ("speaker1/fox", "speaker2/stella"):
        (wav / name).parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["sox", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
                        os.path.join(EXAMPLES, "recordings", name), str(wav / name) + ".wav"], check=True)
    (tmp_path / "wav-list").write_text("speaker1/fox speaker2/stella\n")
    audio = ["--input-format", "audio", "--input-extension", "wav"]
    for list_file, recordings, mode, options in (
            (os.path.join(EXAMPLES, "list.txt"), os.path.join(EXAMPLES, "recordings"), "MVNMA", []),
            (os.path.join(GOLDEN, "list"), os.path.join(GOLDEN, "recordings"), "CMN", []),
            (str(tmp_path / "odd-list"), str(odd), "NONE", []),
            (str(tmp_path / "wav-list"), str(wav), "MVNMA", audio)):
        mode_dir = mode + ("-audio" if options else "")
        out = tmp_path / ("dask-" + mode_dir)
        run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "dask", "extract_list.py"), list_file,
                              recordings, str(out), mode, "--workers", "2", *options], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        flags = [o.replace("--input-format", "--input-format=audio").replace("--input-extension", "--input-extension=wav")
                 for o in options[::2]]
        subprocess.run([TOOL, "-q", *flags, list_file, recordings, str(tmp_path / ("tool-" + mode_dir)), mode],
                       check=True, stdin=subprocess.DEVNULL)
        mode = mode_dir
        tool = sorted(p.relative_to(tmp_path / ("tool-" + mode)) for p in (tmp_path / ("tool-" + mode)).rglob("*")
                      if p.is_file())
        dask = sorted(p.relative_to(out) for p in out.rglob("*") if p.is_file())
        assert tool == dask and tool
        for f in tool:
            assert (out / f).read_bytes() == (tmp_path / ("tool-" + mode) / f).read_bytes(), f
