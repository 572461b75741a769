"""The type stubs of the compiled modules: they ship with the package, agree with what the
compiled code says of itself (names, parameters, defaults), and give a type checker types that
reject what the compiled argument checks reject."""

import ast
import importlib
import inspect
import re
import subprocess
import sys
from importlib.machinery import EXTENSION_SUFFIXES
from importlib.util import find_spec
from pathlib import Path

import pytest

import plumo

ROOT = Path(__file__).resolve().parent.parent
SOURCE_PACKAGE = ROOT / "src" / "plumo"
INSTALLED_PACKAGE = Path(plumo.__file__).parent
MYPY_CONFIG = ROOT / "pyproject.toml"
STUBTEST_ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def _dotted(path: Path, suffix: str, package_dir: Path) -> str:
    relative = path.relative_to(package_dir.parent)
    return ".".join(relative.parts[:-1] + (path.name[: -len(suffix)],))


def _installed_compiled_modules():
    """The public compiled modules of the installed package."""
    found = set()
    for path in INSTALLED_PACKAGE.rglob("*"):
        # The first suffix that fits: they go from the most specific (the ABI tag) to ".so".
        suffix = next((s for s in EXTENSION_SUFFIXES if path.name.endswith(s)), None)
        if suffix is not None:
            found.add(_dotted(path, suffix, INSTALLED_PACKAGE))
    return sorted(m for m in found if not any(part.startswith("_") for part in m.split(".")))


COMPILED = _installed_compiled_modules()
STUBS = sorted(_dotted(p, ".pyi", SOURCE_PACKAGE) for p in SOURCE_PACKAGE.rglob("*.pyi"))


def _stub_source(module: str) -> Path:
    return SOURCE_PACKAGE.parent.joinpath(*module.split(".")).with_suffix(".pyi")


def test_every_compiled_module_has_a_stub_and_every_stub_a_module():
    assert COMPILED, f"no compiled module found under {INSTALLED_PACKAGE}"
    assert STUBS == COMPILED


@pytest.mark.parametrize("module", COMPILED)
def test_stub_is_installed_beside_its_module(module):
    origin = Path(find_spec(module).origin)
    installed = origin.parent / (module.rpartition(".")[2] + ".pyi")
    # The same text as in the source tree: a stale copy would be checked in its place.
    assert installed.read_text() == _stub_source(module).read_text()


def test_package_is_marked_typed():
    assert (INSTALLED_PACKAGE / "py.typed").is_file()


def _run(tool_args, cwd):
    return subprocess.run(
        [sys.executable, "-m", *tool_args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def test_stubs_agree_with_runtime(tmp_path):
    """stubtest imports each module and compares every public name, and every parameter's name,
    kind and default, with the stubs; and the stubs' own types must be sound."""
    done = _run(
        [
            "mypy.stubtest",
            "--mypy-config-file",
            str(MYPY_CONFIG),
            "--allowlist",
            str(STUBTEST_ALLOWLIST),
            *COMPILED,
        ],
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def _gi_imports(tree):
    """(local name, module, attribute) of the names a stub takes from the GObject bindings."""
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module.split(".")[0] == "gi":
            for alias in node.names:
                yield alias.asname or alias.name, node.module, alias.name


def _attribute_chains(tree, roots):
    """Every dotted name of the stub that starts at one of `roots`, such as Gst.Pad."""
    for node in ast.walk(tree):
        chain = []
        while isinstance(node, ast.Attribute):
            chain.insert(0, node.attr)
            node = node.value
        if chain and isinstance(node, ast.Name) and node.id in roots:
            yield node.id, chain


def test_gi_names_in_stubs_exist():
    """The bindings have no type information, so to the type checker Gst.Anything is Any: a
    misspelt GStreamer type would pass unnoticed. Each must exist in the bindings themselves."""
    importlib.import_module("plumo.utils.gstreamer")  # pins the bindings' versions
    for module in COMPILED:
        tree = ast.parse(_stub_source(module).read_text())
        roots = {}
        for local, source, name in _gi_imports(tree):
            roots[local] = getattr(importlib.import_module(source), name, None)
            assert roots[local] is not None, f"{module}: {source} has no {name}"
        for root, chain in _attribute_chains(tree, roots):
            value = roots[root]
            for depth, attr in enumerate(chain, 1):
                assert hasattr(value, attr), f"{module}: {root}.{'.'.join(chain[:depth])}"
                value = getattr(value, attr)


def _stub_classes():
    for module in COMPILED:
        for node in ast.parse(_stub_source(module).read_text()).body:
            if isinstance(node, ast.ClassDef):
                yield module, node


def _instance_attributes(class_def):
    """The names the stub declares as instance attributes (annotated, not ClassVar)."""
    return {
        node.target.id
        for node in class_def.body
        if isinstance(node, ast.AnnAssign) and "ClassVar" not in ast.unparse(node.annotation)
    }


def _instances():
    """One instance of each class the stubs declare, metaclasses aside."""
    from plumo.pipeline_factories.custom import CustomPipelineFactory
    from plumo.pipeline_factories.http import HTTPPipelineFactory
    from plumo.utils import gstreamer
    from plumo.utils.timing import Timeout

    keywords = {"url": "http://127.0.0.1:9/", "pipeline_watcher": None, "on_complete": None}
    element = gstreamer.Gst.ElementFactory.make("fakesrc")
    return {
        "Timeout": Timeout(1),
        "Pipeline": gstreamer.Pipeline(None),
        "UnknownPropertyError": gstreamer.UnknownPropertyError(element, "rate"),
        "SampleConversionError": gstreamer.SampleConversionError("no frame"),
        "SampleSizeError": gstreamer.SampleSizeError("short"),
        "FrameBell": gstreamer.FrameBell(),
        "BufferWatch": gstreamer.BufferWatch(),
        "RateLimiter": gstreamer.RateLimiter(1.0),
        "FrameSampling": gstreamer.FrameSampling(None, True),
        "CustomPipelineFactory": CustomPipelineFactory("{url}", **keywords),
        "HTTPPipelineFactory": HTTPPipelineFactory(**keywords),
    }


def test_instance_attributes_in_stubs_are_those_of_instances():
    """stubtest sees classes, not their instances: the public attributes that construction
    gives an object are compared here with those its class's stub declares."""
    instances = _instances()
    for module, class_def in _stub_classes():
        cls = getattr(importlib.import_module(module), class_def.name)
        if issubclass(cls, type):
            continue
        obj = instances[class_def.name]
        assert type(obj) is cls
        public = {name for name in vars(obj) if not name.startswith("_")}
        assert _instance_attributes(class_def) == public, f"{module}.{class_def.name}"


# --- What a type checker makes of the stubs ---------------------------------------------------

ENFORCED = {"str": ('""', "1"), "dict": ("{}", "[]")}
"""The annotations whose exact type the compiled argument check enforces (None aside), with a
value the check accepts and one it refuses."""


def _callables(module_name, alias):
    """(expression to call, function, whether bound) for every public function, constructor,
    static method and method that the module defines. Methods are called on an Any cast to the
    class."""
    module = importlib.import_module(module_name)
    for name, obj in vars(module).items():
        if name.startswith("_") or getattr(obj, "__module__", None) != module_name:
            continue
        if not isinstance(obj, type):
            yield f"{alias}.{name}", obj, False
            continue
        for attr, member in vars(obj).items():
            if attr == "__init__":
                yield f"{alias}.{name}", member, True
            elif isinstance(member, staticmethod):
                yield f"{alias}.{name}.{attr}", member.__func__, False
            elif not attr.startswith("_") and inspect.isroutine(member):
                yield f"cast({alias}.{name}, ANY).{attr}", member, True


def _enforced_param_calls():
    """Lines of a module that calls each function once with an accepted and once with a refused
    value for each parameter whose type the compiled code checks, every other argument Any; and
    the numbers of the lines a type checker must reject."""
    lines = ["from typing import Any, cast", "ANY: Any = None"]
    lines += [f"import {module} as m{i}" for i, module in enumerate(COMPILED)]
    rejected = set()
    for i, module in enumerate(COMPILED):
        for target, function, bound in _callables(module, f"m{i}"):
            params = list(inspect.signature(function).parameters.values())[int(bound) :]
            named = [p for p in params if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
            for param in named:
                for accepted, value in zip((True, False), ENFORCED.get(param.annotation, ())):
                    args = ", ".join(f"{p.name}={value if p is param else 'ANY'}" for p in named)
                    lines.append(f"{target}({args})")
                    if not accepted:
                        rejected.add(len(lines))
    return lines, rejected


USAGE = '''\
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from plumo import sysboot
from plumo.pipeline_factories.custom import CustomPipelineFactory
from plumo.pipeline_factories.http import HTTPPipelineFactory
from plumo.stream_reader.knobset import check_knobset
from plumo.utils.gstreamer import Gst, Pipeline, UnknownPropertyError, sample_to_ndarray
from plumo.utils.timing import Timeout


def watch(bus: Any, message: Any, pipeline: Pipeline) -> bool:
    return True


sysboot.start(start_main_loop=False)
deadline = Timeout(0.5, raise_error=False)
while deadline:
    deadline.reset()
check_knobset({"latency_ms": 200}, {"latency_ms": int, "scale": (int, float)})
pipeline = Pipeline.from_launch_string("videotestsrc ! appsink name=sink", None)
pipeline.appsink = pipeline.get_by_name("sink")
frame: npt.NDArray[np.uint8] = sample_to_ndarray(pipeline.appsink.emit("pull-sample"))
pipeline.appsink = None
pipeline.wait_until_playing(0.5)
element = pipeline.new_element("videoconvert", properties={"qos": True}, auto_play=False)
capsfilter, caps = pipeline.filter_caps(element, ("video/x-raw",))
probe_id: int = pipeline.add_pad_probe(
    element.get_static_pad("src"), Gst.PadProbeType.BUFFER, lambda *a: Gst.PadProbeReturn.OK
)
factory = HTTPPipelineFactory(url="http://cam", pipeline_watcher=watch, on_complete=print)
factory.max_framerate = 5
built: Pipeline = factory.build()
custom = CustomPipelineFactory(
    "souphttpsrc location={url} ! appsink name=main_sink",
    url=None,
    pipeline_watcher=watch,
    on_complete=lambda p: None,
)
missing: Optional[str] = UnknownPropertyError(element, None).property_name

Timeout("0.5")  # E: arg-type
Timeout(1).start = "now"  # E: assignment
sysboot.start(True, True)  # E: call-arg
sysboot.stop()  # E: attr-defined
check_knobset({"latency_ms": 200})  # E: call-arg
check_knobset({"latency_ms": 200}, {"latency_ms": "int"})  # E: dict-item
HTTPPipelineFactory(url="http://cam", pipeline_watcher=watch)  # E: call-arg
HTTPPipelineFactory("http://cam", pipeline_watcher=watch, on_complete=print)  # E: call-arg
CustomPipelineFactory(url="http://cam", pipeline_watcher=watch, on_complete=print)  # E: call-arg
HTTPPipelineFactory(url="http://cam", pipeline_watcher=print, on_complete=print)  # E: arg-type
pipeline.release_resources(True)  # E: call-arg
pipeline.filter_caps(element, [b"video/x-raw"])  # E: list-item
not_a_frame: int = sample_to_ndarray(None)  # E: assignment
from plumo.utils.gstreamer import np as numpy_again  # E: attr-defined
'''


def _expected_errors(source):
    return {
        (number, match.group(1))
        for number, line in enumerate(source.splitlines(), 1)
        for match in [re.search(r"# E: ([a-z-]+)$", line)]
        if match
    }


def test_type_checker_accepts_what_runtime_accepts_and_rejects_the_rest(tmp_path):
    checked, rejected = _enforced_param_calls()
    assert rejected, "no parameter with an enforced type found"
    (tmp_path / "checked.py").write_text("\n".join(checked) + "\n")
    (tmp_path / "usage.py").write_text(USAGE)
    done = _run(
        [
            "mypy",
            "--config-file",
            str(MYPY_CONFIG),
            "--cache-dir",
            str(tmp_path / "cache"),
            "--no-error-summary",
            "checked.py",
            "usage.py",
        ],
        cwd=tmp_path,
    )
    reported = {"checked.py": set(), "usage.py": set()}
    for match in re.finditer(r"^(\w+\.py):(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M):
        reported[match.group(1)].add((int(match.group(2)), match.group(3)))
    expected = {
        "checked.py": {(number, "arg-type") for number in rejected},
        "usage.py": _expected_errors(USAGE),
    }
    assert reported == expected, done.stdout + done.stderr + "\n".join(checked)


def test_the_reader_is_typed_where_users_import_it(tmp_path):
    # The package imports the reader on first use; a type checker must still see the class.
    (tmp_path / "reads.py").write_text(
        "from plumo.stream_reader import StreamReader\n"
        "reveal_type(StreamReader('http://cam/x').read())\n"
        "StreamReader(5)\n"
    )
    done = _run(["mypy", "--config-file", str(MYPY_CONFIG), "--cache-dir", str(tmp_path / "cache"),
                 "--no-error-summary", "reads.py"], cwd=tmp_path)  # fmt: skip
    revealed = r"reads\.py:2: note: Revealed type is .(Union\[)?numpy\.ndarray\[.*None"
    assert re.search(revealed, done.stdout), done.stdout
    assert re.search(r"reads\.py:3: error: .*\[arg-type\]", done.stdout), done.stdout
