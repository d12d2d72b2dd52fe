"""Exact token counts with tiktoken.

The BPE rank files come from the folder named by --tokenizers or PLAV_TOKENIZERS and are
checked against their published sha256; a named folder that holds no rank file is an
error, never a silent fall-back. With no folder named, tiktoken's own `get_encoding` is
used (it downloads and caches the rank files when it has not got them). Byte counts are
used only when no tokenizer is available at all, and callers say so.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

ENV_VAR = "PLAV_TOKENIZERS"

_O200K_PAT_STR = "|".join(
    [
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""\p{N}{1,3}""",
        r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""",
        r"""\s*[\r\n]+""",
        r"""\s+(?!\S)""",
        r"""\s+""",
    ]
)
_CL100K_PAT_STR = r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""


@dataclass(frozen=True)
class _EncodingSpec:
    pat_str: str
    special_tokens: dict[str, int]
    sha256: str


_SPECS: dict[str, _EncodingSpec] = {
    "o200k_base": _EncodingSpec(
        _O200K_PAT_STR,
        {"<|endoftext|>": 199999, "<|endofprompt|>": 200018},
        "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d",
    ),
    "cl100k_base": _EncodingSpec(
        _CL100K_PAT_STR,
        {
            "<|endoftext|>": 100257,
            "<|fim_prefix|>": 100258,
            "<|fim_middle|>": 100259,
            "<|fim_suffix|>": 100260,
            "<|endofprompt|>": 100276,
        },
        "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7",
    ),
}

ENCODING_NAMES: tuple[str, ...] = tuple(_SPECS)


@dataclass(frozen=True)
class TokenCounters:
    """Token counters by encoding name, or the reason there are none."""

    counters: dict[str, Callable[[str], int]]
    reason: str = ""

    @property
    def names(self) -> Sequence[str]:
        return list(self.counters)


def _counter(encoding: Any) -> Callable[[str], int]:
    def count(text: str) -> int:
        return len(encoding.encode_ordinary(text))

    return count


def tokenizer_dir(explicit: str | os.PathLike[str] | None = None) -> Path | None:
    """The folder given, else the one named by PLAV_TOKENIZERS, else None."""
    if explicit is not None:
        return Path(explicit)
    from_env = os.environ.get(ENV_VAR)
    return Path(from_env) if from_env else None


class TokenizerFolderError(Exception):
    """A named rank-file folder that cannot serve: a usage error (exit status 2)."""


def load_counters(directory: Path | None) -> TokenCounters:
    """Counters for every encoding whose rank file is in `directory`; with no folder,
    for every encoding tiktoken's `get_encoding` provides.

    Raises TokenizerFolderError when `directory` holds none of the rank files or a
    damaged one.
    """
    try:
        import tiktoken
        from tiktoken.load import load_tiktoken_bpe
    except ImportError:
        return TokenCounters({}, "tiktoken is not installed")
    counters: dict[str, Callable[[str], int]] = {}
    if directory is None:
        problems: list[str] = []
        for name in _SPECS:
            try:
                counters[name] = _counter(tiktoken.get_encoding(name))
            except Exception as exc:  # noqa: BLE001 - no network, no cache: left out
                problems.append(f"{name}: {type(exc).__name__}")
        reason = f"tiktoken.get_encoding failed ({'; '.join(problems)})" if not counters else ""
        return TokenCounters(counters, reason)
    paths = {name: directory / f"{name}.tiktoken" for name in _SPECS}
    present = {name: path for name, path in paths.items() if path.is_file()}
    if not present:
        missing = " and ".join(str(path) for path in paths.values())
        raise TokenizerFolderError(f"tokenizer folder {directory}: {missing} not found")
    for name, path in present.items():
        params = _SPECS[name]
        try:
            # A local path is read directly; expected_hash rejects a damaged or wrong file.
            ranks = load_tiktoken_bpe(str(path), expected_hash=params.sha256)
        except (OSError, ValueError) as exc:
            raise TokenizerFolderError(f"{path}: {exc}") from None
        encoding = tiktoken.Encoding(
            name=name,
            pat_str=params.pat_str,
            mergeable_ranks=ranks,
            special_tokens=params.special_tokens,
        )
        # encode_ordinary: text such as "<|endoftext|>" in the data counts as plain text.
        counters[name] = _counter(encoding)
    return TokenCounters(counters)
