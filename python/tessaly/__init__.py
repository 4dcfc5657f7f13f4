"""tessaly: Modbus clients, servers and gateway for Python, driven by a C++ engine.

Every public name of the native module :mod:`tessaly._tessaly` is available here.
"""

from . import _tessaly
from ._tessaly import *  # noqa: F401,F403

__version__ = _tessaly.__version__
__all__ = [name for name in vars(_tessaly) if not name.startswith("_")]
