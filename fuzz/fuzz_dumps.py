"""Fuzz target for dumps (atheris; `./dev.sh fuzz dumps SECONDS`).

Object graphs of every kind dumps writes, with hostile conversions, keys and subclasses
that change the containers being written, under options from the input: dumps returns
a str or raises an expected exception, and a plain dump reads back as predicted.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness

import plav_core

DUMPS_VALUE_ERRORS = {
    "Object too deeply nested (max 256 levels)",
    "Failed to encode string as UTF-8",
    'argument \'cells\' must be "safe" or "any"',
}


def one_input(data: bytes) -> None:
    r = harness.Reader(data)
    opts = harness.gen_options(r, wrong_values=True)
    env = {"containers": [], "converted": False, "armed": [False], "default": "default" in opts}
    obj, expected = harness.gen_object(r, 0, env)
    env["armed"][0] = True
    try:
        written = plav_core.dumps(obj, **opts)
    except ValueError as e:
        msg = str(e)
        if msg in DUMPS_VALUE_ERRORS or "Exceeds the limit" in msg:
            # conversions may count toward the limit, so only plain containers are checked;
            # the depth is the object's own (members with equal key texts are all written,
            # though only the last reads back)
            if (
                msg.startswith("Object too deeply")
                and not env["converted"]
                and expected is not harness.UNKNOWN
                and harness.depth_of(obj) <= 256
            ):
                raise harness.Finding("depth error for a shallow value") from e
            return
        if expected is harness.UNKNOWN:
            return  # a conversion method's own ValueError, or an unpredicted value
        raise
    except (TypeError, harness.Boom, RecursionError, IndexError):
        if not isinstance(opts.get("cells", "safe"), str):
            return  # the cells option's own TypeError
        if expected is not harness.UNKNOWN and not opts.get("mox_grid", True):
            raise
        return
    except SystemError:
        raise  # an error return without its exception, or a broken C-API contract
    except Exception:
        if expected is harness.UNKNOWN:
            return  # whatever the hostile objects' own code raised, passed on
        raise
    except BaseException as e:
        if harness.is_internal_failure(e):
            return
        raise
    grids_exact = not harness.has_grid_candidate(obj)
    harness.check_written(written, opts, expected, grids_exact)


if __name__ == "__main__":
    harness.run(one_input)
