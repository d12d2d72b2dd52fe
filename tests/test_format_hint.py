"""format_hint returns one of four fixed texts, chosen by exact style name."""

import pytest

from plav_core import format_hint

GRID = format_hint()


@pytest.mark.parametrize(
    ("style", "size", "lines", "first_line"),
    [
        ("mox_grid", 572, 8, "Data is in PLAV Mox Grid format."),
        ("tab", 362, 6, "Data is in PLAV Mox Grid tab-delimited format."),
        ("mox_grid_rowcount", 418, 6, "Data is in PLAV Mox Grid format with explicit row count."),
        ("multiline", 377, 9, "Data is in PLAV Multiline Mox Grid format (TOON-compatible)."),
    ],
)
def test_each_style_text(style, size, lines, first_line):
    text = format_hint(style)
    assert len(text.encode()) == size
    assert text.count("\n") == lines - 1 and not text.endswith("\n")
    assert text.split("\n")[0] == first_line


@pytest.mark.parametrize(
    "call",
    [
        lambda: format_hint(),
        lambda: format_hint("mox_grid"),
        lambda: format_hint("unknown"),
        lambda: format_hint(style=""),
        lambda: format_hint("Tab"),
        lambda: format_hint("MULTILINE"),
        lambda: format_hint("tab "),
        lambda: format_hint("\ud800"),  # no UTF-8 form: names no style
    ],
)
def test_unknown_styles_give_the_grid_text(call):
    assert call() == GRID


def test_str_subclass_selects_by_content():
    class S(str):
        pass

    assert format_hint(S("tab")) == format_hint("tab")


def test_tab_text_spells_backslash_t_not_a_tab():
    text = format_hint("tab")
    assert "\t" not in text
    assert text.split("\n")[1] == "Format: [: col1\\tcol2\\tcol3; row1val1\\trow1val2\\trow1val3; ... ]"


def test_multiline_example_rows_are_indented():
    lines = format_hint(style="multiline").split("\n")
    assert lines[4] == "  [3]{id,name,score}:"
    assert lines[5:8] == ["    1,Alice,95", "    2,Bob,87", "    3,Carol,92"]


def test_grid_text_example_line():
    assert GRID.split("\n")[6] == (
        "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]"
    )


@pytest.mark.parametrize(
    ("args", "kwargs", "fragment"),
    [
        ((None,), {}, "argument 'style' must be str, not None"),
        ((3,), {}, "argument 'style' must be str, not int"),
        ((), {"style": b"tab"}, "argument 'style' must be str, not bytes"),
        (("tab", "x"), {}, "at most 1 argument"),
        ((), {"styl": "tab"}, "styl"),
        (("tab",), {"style": "tab"}, "argument"),
    ],
)
def test_argument_errors(args, kwargs, fragment):
    with pytest.raises(TypeError, match=fragment.replace("(", r"\(")):
        format_hint(*args, **kwargs)
