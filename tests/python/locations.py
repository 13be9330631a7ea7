"""Where the Python tests find the checkout and the built programs (the
CTest run passes the programs in the environment)."""
import os

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
GOLDEN = os.path.join(ROOT, "tests", "golden")
EXAMPLES = os.path.join(ROOT, "examples")
TOOL = os.environ.get("FEATURE_BINARY", os.path.join(ROOT, "build", "feature"))
STREAM = os.environ.get("FEATURE_STREAM", os.path.join(ROOT, "build", "feature-stream"))
KALDI = os.environ.get("FEATURE_KALDI", os.path.join(ROOT, "build", "feature-kaldi"))
MODES = ("CMN", "MVNMA", "NONE")
