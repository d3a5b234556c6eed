import ast
import os
import sysconfig

import pytest

import vesk_native

installed = os.path.dirname(vesk_native.__file__) in {
    sysconfig.get_paths()["platlib"],
    sysconfig.get_paths()["purelib"],
}


@pytest.mark.skipif(not installed, reason="module not imported from an installed package")
def test_type_stubs_are_installed_beside_the_module():
    site = os.path.dirname(vesk_native.__file__)
    assert os.path.isfile(os.path.join(site, "vesk_native.pyi"))
    assert os.path.isfile(os.path.join(site, "vesk_native-stubs", "__init__.pyi"))
    assert os.path.isfile(os.path.join(site, "vesk_native-stubs", "py.typed"))


def test_stub_declares_what_the_module_exports():
    path = os.path.join(os.path.dirname(__file__), os.pardir, "stubs", "vesk_native.pyi")
    with open(path) as f:
        tree = ast.parse(f.read())
    names = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert names == set(vesk_native.__all__)
