"""The former home of `Quandrel.tall`, kept for code written against it.

``import Quandrel._ckernels.regression.tall`` gives the module object of
`Quandrel.tall`, and its submodules (``...tall._pass``, ``...tall._stats``, ...) are
the same module objects as `Quandrel.tall`'s, so classes, pickles and ``isinstance``
checks made under either name agree.
"""

from __future__ import annotations

import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import sys
import types

import Quandrel.tall as _tall

_OLD = __name__
_NEW = _tall.__name__


class _Alias(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Resolves ``<old>.x.y`` to the module ``<new>.x.y`` itself, never a copy."""

    def find_spec(self, fullname: str, path: object = None,
                  target: object = None) -> importlib.machinery.ModuleSpec | None:
        if not fullname.startswith(_OLD + "."):
            return None
        return importlib.util.spec_from_loader(fullname, self)

    def __init__(self) -> None:
        self._specs: dict[str, importlib.machinery.ModuleSpec | None] = {}

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> types.ModuleType:
        module = importlib.import_module(_NEW + spec.name[len(_OLD):])
        # The import system stamps the alias's spec on the module it is handed; the
        # module gets its own back in exec_module.
        self._specs[module.__name__] = module.__spec__
        return module

    def exec_module(self, module: types.ModuleType) -> None:
        module.__spec__ = self._specs.pop(module.__name__, module.__spec__)


if not any(type(finder).__qualname__ == "_Alias" and type(finder).__module__ == _OLD
           for finder in sys.meta_path):
    sys.meta_path.insert(0, _Alias())
for _name, _module in list(sys.modules.items()):
    if _name.startswith(_NEW + "."):
        sys.modules.setdefault(_OLD + _name[len(_NEW):], _module)
sys.modules[_OLD] = _tall
