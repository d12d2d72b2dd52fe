"""Writes the seed corpus of one fuzz target into a directory:
`python fuzz/make_seeds.py kernels|loads|dumps DIR`.

Seeds are the JSON test suite's parsing cases, small files of the JSON corpus,
and grid examples. The loads target reads three leading choice bytes (form and
dumps options); the kernels target one (the byte mapping): seeds carry zeros there,
meaning raw bytes.
"""

import hashlib
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"

GRIDS = [
    b"[3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]",
    b'[: a, b; x\\;y, "q;r" ]',
    b'[: a; [1, 2]; {"k": [: x; 1 ]} ]',
    b"[: id\tname\tscore; 1\tAlice\t95; 2\tBob\t87 ]",
    b'[2: id | name; 1 | "Ann"; 2 | "Bo b" ]',
    b"[2: a, b; 1, ; 2,  ]",
    b"[2: a, b; 1; 2 ]",
    b'[: "full name", b; 1, 2 ]',
    b"[: a b, c; 1, 2 ]",
    b"[5 : a; 1 ]",
    b"[:]",
    b"[: a, b;\n1,\n2;\n]",
    b"[: a; /* c */ 1 ]",
    b"[: a /* c */; 1 ]",
    b"[: a; 1; 2; ]",
    b"[:; ]",
    b'{"t": [2: a, b; NaN, -Infinity; true, null ], "u": [: k; {"p": 1} ]}',
    b"\xef\xbb\xbf// lead\n[1, 2, /* x */ 3,]",
    b'{unquoted_key: 1, "q": "\\ud83d\\ude00\\u00e9\\n"}',
]

MAX_SEED = 4096


def seeds_for(target: str):
    docs = []
    suite = DATA / "jsontestsuite" / "test_parsing"
    for path in sorted(suite.iterdir()):
        data = path.read_bytes()
        if len(data) <= 4096:
            docs.append(data)
    for name in ("repeat.json", "twitter_api_response.json"):
        docs.append((DATA / "json" / name).read_bytes()[:MAX_SEED])
    docs += GRIDS
    if target == "loads":
        return [b"\0\0\0" + d for d in docs] + [b"\x04\0\0" + d for d in GRIDS]
    if target == "kernels":
        return [b"\0" + d for d in docs]
    # dumps: short byte strings that drive the object generator into each branch
    return [bytes([0, 0, k, 3, 7, 9, 11, 2, 5, 1]) for k in range(48)]


def main() -> None:
    target, out = sys.argv[1], pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for seed in seeds_for(target):
        (out / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
