"""The compiled-function layer, seen from Python: binder messages, attributes, binding,
closures, module look-ups, class creation and error propagation."""

import gc
import inspect
import weakref

import pytest

import plumo._layer_probe as probe

COUNT = "{}() takes {} {} positional argument{} ({} given)"
TYPE = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        # positional parameters with defaults
        ("defaults", (), {}, COUNT.format("defaults", "at least", 1, "", 0)),
        ("defaults", (1, 2, 3, 4, 5), {}, COUNT.format("defaults", "at most", 4, "s", 5)),
        ("defaults", (), {"b": 1}, COUNT.format("defaults", "at least", 1, "", 0)),
        ("defaults", (1,), {"a": 1}, "defaults() got multiple values for keyword argument 'a'"),
        ("defaults", (1,), {"e": 1}, "defaults() got an unexpected keyword argument 'e'"),
        ("defaults", (1, 2, 5), {}, TYPE.format("c", "str", "int")),
        ("defaults", (1, 2, StrSub("x")), {}, TYPE.format("c", "str", "StrSub")),
        ("defaults", (1,), {"d": DictSub()}, TYPE.format("d", "dict", "DictSub")),
        ("defaults", (1, 2, 5, []), {}, TYPE.format("c", "str", "int")),
        # all required: "exactly"
        ("required", (), {}, COUNT.format("required", "exactly", 2, "s", 0)),
        ("required", (1,), {}, COUNT.format("required", "exactly", 2, "s", 1)),
        ("required", (1, 2, 3), {}, COUNT.format("required", "exactly", 2, "s", 3)),
        ("required", (), {"name": "n"}, COUNT.format("required", "exactly", 2, "s", 0)),
        # a required parameter missing behind keywords counts the ones before it as given
        ("required", (), {"self": 1}, COUNT.format("required", "exactly", 2, "s", 1)),
        ("required", (1,), {"nam": "n"}, COUNT.format("required", "exactly", 2, "s", 1)),
        ("required", (1, 5), {}, TYPE.format("name", "str", "int")),
        ("required", (1,), {"name": b"x"}, TYPE.format("name", "str", "bytes")),
        # *args
        ("star", (1, 2), {}, COUNT.format("star", "at least", 4, "s", 2)),
        ("star", (1, 2, 3), {"args": 1}, COUNT.format("star", "at least", 4, "s", 3)),
        ("star", (1, 2, "s", 4), {"args": 1}, "star() got an unexpected keyword argument 'args'"),
        ("star", (1, 2, 3, 4), {}, TYPE.format("signal", "str", "int")),
        # keyword-only after a positional parameter
        ("kwonly", (1,), {}, COUNT.format("kwonly", "exactly", 2, "s", 1)),
        ("kwonly", (1, "p", "u"), {}, COUNT.format("kwonly", "exactly", 2, "s", 3)),
        ("kwonly", (1, "p"), {}, "kwonly() needs keyword-only argument url"),
        ("kwonly", (1, "p"), {"url": "u"}, "kwonly() needs keyword-only argument pipeline_watcher"),
        (
            "kwonly",
            (1, "p"),
            {"url": "u", "pipeline_watcher": 1},
            "kwonly() needs keyword-only argument on_complete",
        ),
        (
            "kwonly",
            (1, "p"),
            {"url": "u", "pipeline_watcher": 1, "on_complete": 2, "pipeline_str": "q"},
            "kwonly() got multiple values for keyword argument 'pipeline_str'",
        ),
        (
            "kwonly",
            (1, "p"),
            {"url": "u", "pipeline_watcher": 1, "on_complete": 2, "extra": 3},
            "kwonly() got an unexpected keyword argument 'extra'",
        ),
        (
            "kwonly",
            (1,),
            {"url": "u", "pipeline_watcher": 1, "on_complete": 2},
            COUNT.format("kwonly", "exactly", 2, "s", 1),
        ),
        (
            "kwonly",
            (1, 5),
            {"url": "u", "pipeline_watcher": 1, "on_complete": 2},
            TYPE.format("pipeline_str", "str", "int"),
        ),
        (
            "kwonly",
            (1, "p"),
            {"url": 5, "pipeline_watcher": 1, "on_complete": 2},
            TYPE.format("url", "str", "int"),
        ),
        # keyword-only with nothing positional besides self
        ("kwonly_only", (), {}, COUNT.format("kwonly_only", "exactly", 1, "", 0)),
        ("kwonly_only", (1, 2), {}, COUNT.format("kwonly_only", "exactly", 1, "", 2)),
        ("kwonly_only", (1,), {}, "kwonly_only() needs keyword-only argument url"),
        (
            "kwonly_only",
            (1,),
            {"pipeline_watcher": 1, "on_complete": 2},
            "kwonly_only() needs keyword-only argument url",
        ),
        ("nothing", (1,), {}, COUNT.format("nothing", "exactly", 0, "s", 1)),
        ("nothing", (), {"a": 1}, "nothing() got an unexpected keyword argument 'a'"),
        ("optional_kwonly", (1, 2), {}, COUNT.format("optional_kwonly", "exactly", 1, "", 2)),
    ],
)
def test_binder_messages(func, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(probe, func)(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "func, args, kwargs, bound",
    [
        ("defaults", (1,), {}, (1, None, None, None)),
        ("defaults", (), {"d": {}, "a": 1}, (1, None, None, {})),
        ("defaults", (1, 2, None, None), {}, (1, 2, None, None)),
        ("defaults", (1,), {"c": "x", "b": 3}, (1, 3, "x", None)),
        ("star", (1, 2, "s", 4), {}, (1, 2, "s", 4, ())),
        ("star", (1, 2, None, 4, 5, 6), {}, (1, 2, None, 4, (5, 6))),
        ("star", (1,), {"callback": 4, "signal": "s", "element": 2}, (1, 2, "s", 4, ())),
        ("kwonly", (0, "p"), {"on_complete": 3, "url": None, "pipeline_watcher": 2}, (0, "p", None, 2, 3)),
        ("kwonly", (), {"self": 0, "pipeline_str": "p", "url": "u", "pipeline_watcher": 2, "on_complete": 3}, (0, "p", "u", 2, 3)),
        ("kwonly_only", (0,), {"url": "u", "pipeline_watcher": 1, "on_complete": 2}, (0, "u", 1, 2)),
        ("optional_kwonly", (0,), {}, (0, 1)),
        ("optional_kwonly", (0,), {"b": 7}, (0, 7)),
    ],
)
def test_binder_binds(func, args, kwargs, bound):
    assert getattr(probe, func)(*args, **kwargs) == bound


def test_function_attributes():
    f = probe.kwonly
    assert (f.__name__, f.__qualname__, f.__module__) == ("kwonly", "kwonly", "plumo._layer_probe")
    assert f.__doc__ is None and probe.defaults.__doc__ == "Positional with defaults."
    assert f.__annotations__ == {
        "pipeline_str": "str",
        "url": "str",
        "pipeline_watcher": "_PIPELINE_WATCHER",
        "on_complete": "_ON_COMPLETE_CALLBACK",
        "return": "Pipeline",
    }
    assert str(inspect.signature(f)) == (
        "(self, pipeline_str: 'str', *, url: 'str', pipeline_watcher: '_PIPELINE_WATCHER', "
        "on_complete: '_ON_COMPLETE_CALLBACK') -> 'Pipeline'"
    )
    assert str(inspect.signature(probe.star)) == (
        "(self, element: 'Gst.Element', signal: 'str', callback: 'Callable', *args)"
    )
    assert str(inspect.signature(probe.defaults)) == "(a, b=None, c: 'str' = None, d: 'dict' = None)"
    assert repr(f).startswith("<function kwonly at 0x")


def test_attributes_are_writable_like_a_python_function():
    f = probe.make_closure(0)  # a fresh object, so other tests see the originals
    f.__name__, f.__qualname__, f.__doc__, f.__module__ = "n", "q", "d", "m"
    f.tag = 1
    assert (f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__dict__) == ("n", "q", "d", "m", {"tag": 1})
    f.__annotations__ = {"x": "int"}
    assert f.__annotations__ == {"x": "int"}
    for attribute in ("__name__", "__qualname__", "__annotations__"):
        with pytest.raises(TypeError):
            setattr(f, attribute, 5)
    with pytest.raises(TypeError):
        del f.__name__
    with pytest.raises(TypeError):
        type(f)()


def test_closure_captures_value_and_has_local_qualname():
    marker = object()
    add = probe.make_closure(marker)
    assert add(5) == (marker, 5)
    assert add.__qualname__ == "make_closure.<locals>.<lambda>"
    assert add.__name__ == "<lambda>"
    with pytest.raises(TypeError, match=r"<lambda>\(\) takes exactly 1 positional argument \(0 given\)"):
        add()


def test_closure_cycle_is_collected():
    class Holder:
        pass

    holder = Holder()
    holder.fn = probe.make_closure(holder)
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def test_module_attribute_looked_up_at_every_call(monkeypatch):
    with pytest.raises(NameError, match="name 'VALUE' is not defined"):
        probe.read_global()
    monkeypatch.setattr(probe, "VALUE", 1, raising=False)
    assert probe.read_global() == 1
    monkeypatch.setattr(probe, "VALUE", 2)
    assert probe.read_global() == 2


def test_builtins_are_found_and_can_be_shadowed(monkeypatch):
    import builtins

    monkeypatch.setattr(builtins, "VALUE", "builtin", raising=False)
    assert probe.read_global() == "builtin"
    monkeypatch.setattr(probe, "VALUE", "module", raising=False)
    assert probe.read_global() == "module"


def test_exceptions_propagate_unchanged():
    error = KeyError("boom")

    def fail(*args):
        assert args == (1, 2)
        raise error

    with pytest.raises(KeyError) as excinfo:
        probe.call(fail, 1, 2)
    assert excinfo.value is error

    def leave():
        raise SystemExit(3)

    with pytest.raises(SystemExit, match="3"):
        probe.call(leave)


class Meta(type):
    made = []

    def __new__(mcls, name, bases, namespace):
        Meta.made.append((name, list(namespace)))
        return super().__new__(mcls, name, bases, namespace)


class Base(metaclass=Meta):
    def __init__(self):
        self.base_ran = True

    def describe(self):
        return "base"


def test_class_made_through_base_metaclass_with_methods():
    cls = probe.make_class(Base)
    assert type(cls) is Meta
    assert Meta.made[-1] == (
        "Probe",
        ["__module__", "__qualname__", "__doc__", "__init__", "describe", "twice", "value"],
    )
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("plumo._layer_probe", "Probe", "A compiled class.")
    obj = cls(3)
    assert obj.base_ran and obj.value == 3
    obj.value = 4
    assert obj._value == 4
    assert obj.describe() == "base+probe"
    assert cls.twice(21) == 42 and obj.twice("a") == "aa"
    assert str(inspect.signature(obj.describe)) == "()"
    assert str(inspect.signature(cls.__init__)) == "(self, value)"


def test_super_is_the_defining_class_in_subclasses():
    cls = probe.make_class(Base)

    class Child(cls):
        def describe(self):
            return super().describe() + "+child"

    assert Child(1).describe() == "base+probe+child"
    # An unbound method is still a plain function: it needs its self.
    with pytest.raises(TypeError, match=r"describe\(\) takes exactly 1 positional argument \(0 given\)"):
        cls.describe()
