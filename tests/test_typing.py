"""The stubs (src/quelmar/_quelmar.pyi) against the compiled module and mypy."""
from __future__ import annotations

import ast
import inspect
import os
import pickle
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import quelmar
import quelmar._quelmar as native

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "quelmar" / "_quelmar.pyi"
USAGE = ROOT / "tests" / "typing_usage.py"

# Members every class has, or that the stubs leave out on purpose: ordering
# slots exist on Result only to return NotImplemented, so typing them would
# make `r < s` look valid.
IGNORED_MEMBERS = {"__doc__", "__module__", "__hash__", "__lt__", "__le__", "__gt__", "__ge__"}


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_functions(body: list[ast.stmt]) -> dict[str, list[ast.FunctionDef]]:
    """Function definitions by name; overloads give several per name."""
    found: dict[str, list[ast.FunctionDef]] = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def stub_classes() -> dict[str, ast.ClassDef]:
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}


def is_property(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind]]:
    a = node.args
    params = [(p.arg, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    params += [(p.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY) for p in a.kwonlyargs]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    return params


def runtime_parameters(obj: object, bound: bool) -> list[tuple[str, inspect._ParameterKind]]:
    sig = inspect.signature(obj)  # type: ignore[arg-type]
    params = [(p.name, p.kind) for p in sig.parameters.values()]
    if bound:
        # Unbound methods of a C type report "$self" as a positional-only
        # parameter named self; stubs spell it as a plain first parameter,
        # which nothing can pass by keyword either.
        # is positional-only by nature, whatever the stub's spelling.
        assert params and params[0][0] == "self", params
    return params


def test_module_names_match_stub():
    stub_names = {
        name
        for name in list(stub_functions(stub_tree().body)) + list(stub_classes())
        if not name.startswith("_")
    }
    runtime_names = {n for n in vars(native) if not n.startswith("__")}
    assert stub_names == runtime_names
    assert len([n for n in runtime_names if isinstance(getattr(native, n), type)]) == 12


@pytest.mark.parametrize("name", sorted(stub_functions(stub_tree().body)))
def test_function_signature(name):
    runtime = getattr(native, name)
    assert runtime.__text_signature__ is not None
    for node in stub_functions(stub_tree().body)[name]:  # each overload
        assert stub_parameters(node) == runtime_parameters(runtime, bound=False)
        # Every parameter is required: no defaults in the stub either.
        assert not node.args.defaults and not node.args.kw_defaults


@pytest.mark.parametrize("cls_name", sorted(stub_classes()))
def test_class_members_and_signatures(cls_name):
    cls_node = stub_classes()[cls_name]
    runtime_cls = getattr(native, cls_name)
    assert inspect.isclass(runtime_cls)
    members = stub_functions(cls_node.body)
    runtime_members = set(vars(runtime_cls)) - IGNORED_MEMBERS
    assert set(members) == runtime_members
    for name, nodes in members.items():
        runtime = vars(runtime_cls)[name]
        if any(is_property(n) for n in nodes):
            assert inspect.isdatadescriptor(runtime), name
            continue
        assert getattr(runtime, "__text_signature__", None), name
        expected = runtime_parameters(runtime, bound=True)
        for node in nodes:  # each overload must agree with the one runtime signature
            params = stub_parameters(node)
            params[0] = ("self", inspect.Parameter.POSITIONAL_ONLY)
            assert params == expected, f"{cls_name}.{name}"


def test_properties_are_read_only():
    r = quelmar.get("<a>1</a>", "a")
    for name in ("value", "type_"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)


def test_unhashable_result_is_declared():
    (hash_decl,) = [
        n
        for n in stub_classes()["Result"].body
        if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name) and n.target.id == "__hash__"
    ]
    assert "None" in ast.unparse(hash_decl.annotation)
    assert native.Result.__hash__ is None


def test_package_exports():
    expected = {
        "get", "get_bytes", "get_buffer", "get_many", "get_many_bytes", "get_many_buffer",
        "parse", "validate", "compile", "Path", "Result",
    }
    extra = {"NotWellFormed", "to_python"}
    helpers = {"as_list", "records", "read_frame", "check"}  # the package's own, beyond the compiled modules
    assert set(quelmar.__all__) == expected | extra | helpers
    from quelmar import _extra

    for name in expected:
        ours, theirs = getattr(quelmar, name), getattr(native, name)
        if isinstance(theirs, type):
            assert ours is theirs
            continue
        # A twin of the main module's function: same C function, same self,
        # same signature; a description for help(), the original untouched.
        assert ours is getattr(_extra, name) and ours.__self__ is native
        assert ours.__text_signature__ == theirs.__text_signature__ and theirs.__doc__ is None
        assert ours.__module__ == "quelmar" and len(ours.__doc__) > 80
        assert pickle.loads(pickle.dumps(ours)) is ours

    for name in extra:
        assert getattr(quelmar, name) is getattr(_extra, name)
        assert not hasattr(native, name)
    assert issubclass(quelmar.NotWellFormed, ValueError)
    assert isinstance(quelmar.__version__, str) and quelmar.__version__


def test_version_comes_from_pyproject():
    from importlib.metadata import PackageNotFoundError, distribution

    try:
        dist = distribution("quelmar")
    except PackageNotFoundError:
        pytest.skip("quelmar is not installed (developer build)")
    installed_init = Path(str(dist.locate_file("quelmar/__init__.py"))).resolve()
    if installed_init != Path(quelmar.__file__).resolve():
        pytest.skip("the imported quelmar is not the installed distribution")
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    if sys.version_info >= (3, 11):
        import tomllib

        declared = tomllib.loads(text)["project"]["version"]
        if declared != dist.version:
            pytest.skip("the installed quelmar was built from another revision")
    assert quelmar.__version__ == dist.version


def test_usage_file_runs():
    runpy.run_path(str(USAGE), run_name="__main__")


def test_mypy_strict_accepts_stubs_and_usage():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", "3.10",
         str(ROOT / "src" / "quelmar"), str(USAGE)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
