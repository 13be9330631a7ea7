"""Builds the extension module mfcc_frontend._core with the project's CMake
build, so that it is compiled with exactly the flags of the tool (the
arithmetic is defined bit for bit). pip install . (offline here:
pip install --no-build-isolation .) runs it."""
import os
import subprocess
import sys



def _missing_for_a_wheel():
    """What pip --no-build-isolation needs and this Python lacks, as Debian's
    packages that bring it ("" when nothing is missing)."""
    missing = []
    for module, package in (("setuptools", "python3-setuptools"), ("pybind11", "python3-pybind11"),
                            ("numpy", "python3-numpy")):
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    try:
        import wheel  # noqa: F401  (bdist_wheel, before setuptools had its own)
    except ImportError:
        try:
            import setuptools.command.bdist_wheel  # noqa: F401
        except ImportError:
            missing.append("python3-wheel")
    return " ".join(missing)


if any(command in sys.argv for command in ("bdist_wheel", "build_ext", "install", "develop")):
    _lacking = _missing_for_a_wheel()
    if _lacking:
        sys.exit(f"building mfcc_frontend offline (--no-build-isolation) needs: sudo apt-get install {_lacking} "
                 f"(for {sys.executable}), then run pip again")

from setuptools import Extension, setup  # noqa: E402
from setuptools.command.build_ext import build_ext  # noqa: E402


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        import pybind11

        root = os.path.dirname(os.path.abspath(__file__))
        output = os.path.abspath(os.path.dirname(self.get_ext_fullpath(ext.name)))
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call([
            "cmake", "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DFEATURE_BUILD_TESTS=OFF",
            "-DFEATURE_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DFEATURE_PYTHON_OUTPUT={output}"])
        subprocess.check_call(["cmake", "--build", build, "--target", "_core", "-j", str(os.cpu_count() or 2)])


# Built apart from the CMake build directory of the tool (build/).
setup(ext_modules=[CMakeExtension("mfcc_frontend._core")], cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": "build-python"}})
