"""Fuzz target for dumps (atheris; `./dev.sh fuzz dumps SECONDS`).

The input is turned into an object graph: nested dicts, lists and tuples,
strings with any code points (lone surrogates included), integers of any size,
floats of any bit pattern, bytes, str/int subclasses, enums, dataclasses and
model-like objects, some of whose conversion methods mutate the containers being
written, call dumps again, raise or return themselves; dict keys whose __str__,
__hash__ or __eq__ clear or refill the containers around them, str-subclass grid
keys whose __eq__ replaces cells and rows, models that return one shared dict,
dict subclasses that lie about their length, and number subclasses whose text
methods lie; datetimes, dates, times, UUIDs, Enums and Decimals (subclasses with
lying methods, time zones that raise or change containers), and objects only the
`default` hook writes. Options come from the input too, `sort_keys` and `default`
included. dumps must return a str or raise one of the expected exceptions; a
plain dump (mox_grid off, or no list a grid could come from) must read back
through loads as the value the generator predicted.
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
