"""Shows the installed module: version, SIMD level and the grid format hint."""

import plav

print(f"plav {plav.__version__} using {plav.__simd__}")
print()
print(plav.format_hint())
