# SPDX-License-Identifier: Apache-2.0
"""What editors and help() see: the stubs match the extension, and every public name has
a docstring."""

from __future__ import annotations

import ast
import enum
import inspect
from pathlib import Path

import pytest

import orvex
import orvex._core
import orvex.aio
import orvex.sim


def stub_names() -> dict:
    """Names declared in _core.pyi: module level, and the members of each class."""
    tree = ast.parse((Path(orvex.__file__).parent / "_core.pyi").read_text())
    names: dict = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = set()
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    members.add(item.target.id)
            names[node.name] = {m for m in members if not m.startswith("_")}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = None
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = None
    return names


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_the_stub_declares_exactly_what_the_extension_offers():
    stubs = stub_names()
    core = public(dir(orvex._core)) | {"__version__"}
    assert public(stubs) | {"__version__"} == core
    for name in public(stubs):
        obj = getattr(orvex._core, name)
        if inspect.isclass(obj):
            own = public(n for n in dir(obj) if n not in dir(object) and n != "pybind11_module_local")
            inherited = set().union(*(stubs.get(base.__name__) or set() for base in obj.__mro__[1:]
                                      if base.__name__ in stubs))
            assert stubs[name] | inherited == own, name


def documented_names():
    for module in (orvex, orvex.aio, orvex.sim):
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, str):
                continue
            yield f"{module.__name__}.{name}", obj
            if inspect.isclass(obj) and not issubclass(obj, enum.Enum):
                for member, value in vars(obj).items():
                    if member.startswith("_") or not callable(value) and not isinstance(value, property):
                        continue
                    yield f"{module.__name__}.{name}.{member}", value


@pytest.mark.parametrize("name,obj", [pytest.param(n, o, id=n) for n, o in documented_names()])
def test_every_public_name_has_a_docstring(name, obj):
    doc = inspect.getdoc(obj)
    assert doc and doc.strip(), name
