"""Objects read under a caller's schema: members are matched by position."""

import pytest

from plav_core import loads

SUFFIX = " (approximate position: \u00b132 bytes from {})"


def parse_error(message, position):
    return message + SUFFIX.format(position)


AB = ["a", "b"]


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"x": 1, "y": 2}', {"a": 1, "b": 2}),
        ('[{"a": 1, "b": 2}, {"b": 3, "a": 4}]', [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
        ('{"a": 1}', {"a": 1}),
        ("{}", {}),
        ('{"a": 1, "b": 2,}', {"a": 1, "b": 2}),
        ('{"a": 1,}', {"a": 1}),
        ('{"a": {"x": 1}}', {"a": {"x": 1}}),
        ('{"a": [{"x": 1}]}', {"a": [{"x": 1}]}),
        ('[: k; {"p": 1} ]', [{"k": {"a": 1}}]),
        ('[[{"p": 1, "q": 2}]]', [[{"a": 1, "b": 2}]]),
        ('{"\\x": 1}', {"a": 1}),  # the key is skipped, not decoded
        ('{"k:,}": 1, "b": 2}', {"a": 1, "b": 2}),  # nothing inside a quoted key counts
        ('{"k\\":": 1}', {"a": 1}),
        ("{k x y: 1, 7: 2}", {"a": 1, "b": 2}),
        ('{"a": 1 /* c */, // c\n "b": 2}', {"a": 1, "b": 2}),
    ],
)
def test_schema_objects(text, expected):
    assert loads(text, schema=AB) == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"a": 1, "b": 2, "c": 3}', parse_error("Expected '}' at position 17", 17)),
        ('{"a": 1, "b": 2,', parse_error("Expected '}' at position 16", 16)),
        ('{"a" 1}', parse_error("Unexpected end of input", 1)),
        ('{"a', parse_error("Unexpected end of input", 1)),  # an unterminated key leaves no colon
        ('[{"a" 1}, {"b": 2}]', parse_error("Expected ':' at position 2", 2)),
        ('{"a": 1, 2}', parse_error("Unexpected end of input", 9)),
        ('[{"a": 1, 2}, {"b": 3}]', parse_error("Expected ':' at position 10", 10)),
        ('{"a": 1, "b" }:', parse_error("Expected ':' at position 9", 9)),
        ('{"a": 1 "b": 2}', parse_error("Invalid character '\"' at position 8", 8)),
        ('{"a": 1', parse_error("Unexpected end of input", 7)),
        ("{ ", parse_error("Unexpected end of input", 2)),
    ],
)
def test_schema_errors(text, message):
    with pytest.raises(ValueError) as info:
        loads(text, schema=AB)
    assert info.value.args[0] == message


def test_empty_schema():
    assert loads("{}", schema=[]) == {}
    with pytest.raises(ValueError) as info:
        loads('{"a": 1}', schema=[])
    assert info.value.args[0] == parse_error("Expected '}' at position 1", 1)


def test_schema_forms_and_shared_keys():
    assert loads('{"x": 1, "y": 2}', schema="ab") == {"a": 1, "b": 2}
    assert loads('{"x": 1}', schema={"k": 0}) == {"k": 1}
    assert loads('{"x": 1}', schema=iter(["\u00e9"])) == {"\u00e9": 1}
    rows = loads('[{"x": 1}, {"y": 2}]', schema=["id"])
    assert next(iter(rows[0])) is next(iter(rows[1]))


def test_schema_depth_limit():
    text = '{"a":' * 1025 + "1" + "}" * 1025
    with pytest.raises(ValueError) as info:
        loads("[" * 1024 + "{}" + "]" * 1024, schema=AB)
    assert info.value.args[0] == parse_error("Maximum nesting depth exceeded", 1024)
    assert loads('{"a":' * 1024 + "1" + "}" * 1024, schema=AB) is not None
    with pytest.raises(ValueError):
        loads(text, schema=AB)
