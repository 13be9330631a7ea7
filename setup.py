"""Builds the extension module mfcc_frontend._core with the project's CMake
build, so that it is compiled with exactly the flags of the tool (the
arithmetic is defined bit for bit). pip install . (offline here:
pip install --no-build-isolation .) runs it."""
import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


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
