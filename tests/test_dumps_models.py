"""dumps of model objects, dataclasses and other objects without a JSON form."""

import dataclasses
import datetime

import pydantic
import pytest

import plav


class Address(pydantic.BaseModel):
    city: str
    zip: int


class Person(pydantic.BaseModel):
    name: str
    age: int
    address: Address
    tags: list[str] = []


@dataclasses.dataclass
class Point:
    x: int
    y: str


@dataclasses.dataclass
class Segment:
    start: Point
    end: Point


ANN = Person(name="Ann", age=30, address=Address(city="Oslo", zip=150), tags=["a"])


@pytest.mark.parametrize(
    "value, text",
    [
        (ANN, '{"name":"Ann","age":30,"address":{"city":"Oslo","zip":150},"tags":["a"]}'),
        ({"p": ANN.address}, '{"p":{"city":"Oslo","zip":150}}'),
        (Point(1, "a"), '{"x":1,"y":"a"}'),
        (Segment(Point(1, "a"), Point(2, "b")), '{"start":{"x":1,"y":"a"},"end":{"x":2,"y":"b"}}'),
        ([Point(1, "a"), 5], '[{"x":1,"y":"a"},5]'),
        ({"k": [Segment(Point(0, ""), Point(1, "z"))]},
         '{"k":[{"start":{"x":0,"y":""},"end":{"x":1,"y":"z"}}]}'),
    ],
)
def test_models_and_dataclasses(value, text):
    assert plav.dumps(value) == text


def test_models_in_lists_become_grids():
    people = [Address(city="Oslo", zip=1), Address(city="Rome", zip=2)]
    assert plav.dumps(people) == '[2: city, zip; "Oslo", 1; "Rome", 2 ]'
    points = [Point(1, "a"), Point(2, "b")]
    assert plav.dumps(points, bare_strings=True) == "[2: x, y; 1, a; 2, b ]"
    assert plav.dumps(points, mox_grid=False) == '[{"x":1,"y":"a"},{"x":2,"y":"b"}]'


def test_converted_object_indented_at_its_own_level():
    class M:
        def model_dump(self):
            return {"a": 1}

    assert plav.dumps(M()) == '{"a":1}'
    assert plav.dumps([M(), 1], indent=2) == '[\n  {\n    "a": 1\n  },\n  1\n]'


class Legacy:
    __fields__ = {"v": None}

    def dict(self):
        return {"v": 1}


class DictWithoutFields:
    model_dump = 3  # not callable

    def dict(self):
        return {"never": True}


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, message",
    [
        ({1, 2}, "Object of type 'set' is not JSON serializable"),
        (object(), "Object of type 'object' is not JSON serializable"),
        (datetime.date(2024, 1, 2), "Object of type 'date' is not JSON serializable"),
        (Outer.Inner(), "Object of type 'Outer.Inner' is not JSON serializable"),
        (DictWithoutFields(), "Object of type 'DictWithoutFields' is not JSON serializable"),
        (bytearray(b"x"), "Object of type 'bytearray' is not JSON serializable"),
    ],
)
def test_not_serializable(value, message):
    with pytest.raises(TypeError) as ei:
        plav.dumps(value)
    assert str(ei.value) == message


def test_legacy_dict_with_fields():
    assert plav.dumps(Legacy()) == '{"v":1}'


def test_conversion_exception_passes_through():
    class Boom:
        def model_dump(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="^boom$"):
        plav.dumps({"x": [Boom()]})


def test_attribute_test_exception_passes_through():
    class Odd:
        def __getattr__(self, name):
            if name == "__dataclass_fields__":
                raise KeyError("probe")
            raise AttributeError(name)

    with pytest.raises(KeyError, match="probe"):
        plav.dumps(Odd())


def test_conversion_to_itself_ends_with_depth_error():
    class Selfish:
        def model_dump(self):
            return self

    with pytest.raises(ValueError, match="too deeply nested"):
        plav.dumps(Selfish())

    class PingPong:
        def __init__(self, other=None):
            self.other = other

        def model_dump(self):
            return self.other

    a = PingPong()
    b = PingPong(a)
    a.other = b
    with pytest.raises(ValueError, match="too deeply nested"):
        plav.dumps([a])


def test_conversion_chain_within_limit_is_written():
    class Step:
        def __init__(self, n):
            self.n = n

        def model_dump(self):
            return Step(self.n - 1) if self.n else "done"

    assert plav.dumps(Step(200)) == '"done"'


def test_model_result_holding_models_is_converted_in_turn():
    class Wrapper:
        def model_dump(self):
            return {"inner": [Point(1, "a")], "addr": Address(city="X", zip=0)}

    assert plav.dumps(Wrapper()) == '{"inner":[{"x":1,"y":"a"}],"addr":{"city":"X","zip":0}}'


def test_model_dump_called_again_after_failed_grid():
    calls = []

    class Counted:
        def model_dump(self):
            calls.append(1)
            return {"a": 1}

    assert plav.dumps([Counted(), 5]) == '[{"a":1},5]'
    assert len(calls) == 2


def test_keys_of_converted_data_are_never_confused():
    # Each conversion returns a dict with new key objects, freed after writing;
    # their addresses are reused by the next conversion's keys.
    class Fresh:
        def __init__(self, i):
            self.i = i

        def model_dump(self):
            return {"".join(["k", str(self.i)]): self.i, "".join(["x", str(-self.i)]): 0}

    items = [Fresh(i) for i in range(300)]
    expected = "[" + ",".join(f'{{"k{i}":{i},"x{-i}":0}}' for i in range(300)) + "]"
    assert plav.dumps(items) == expected
    assert plav.dumps({"a": items, "b": [{"k0": 1}]}) == '{"a":' + expected + ',"b":[{"k0":1}]}'
