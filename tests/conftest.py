import os
import pathlib

from hypothesis import HealthCheck, settings

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"

settings.register_profile(
    "default", deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "ci", deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("ci" if os.environ.get("CI") == "true" else "default")

# Set by `./dev.sh sanitize` and `./dev.sh faults`: the module runs under ASan+UBSan
# with Python's allocator replaced by malloc, where deep recursion needs several
# times the stack and memory use is no measure of the module's own.
SANITIZED = os.environ.get("PLAV_SANITIZED") == "1"


def not_under_asan(reason):
    """Marks a test that cannot hold under the ASan build, saying why."""
    import pytest

    return pytest.mark.skipif(SANITIZED, reason=f"under ASan: {reason}")
