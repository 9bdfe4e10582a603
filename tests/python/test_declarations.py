"""The ctypes declarations match the public header, export by export."""

import ctypes
import os
import re

from lightkit import _native

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "sdk", "include", "DALU_LightKit.h")

C_TYPES = {
    "void *": ctypes.c_void_p,
    "int": ctypes.c_int,
    "unsigned char": ctypes.c_ubyte,
    "unsigned short": ctypes.c_ushort,
    "const char *": ctypes.c_char_p,
    "unsigned char *": ctypes.POINTER(ctypes.c_ubyte),
    "const unsigned char *": ctypes.POINTER(ctypes.c_ubyte),
    "unsigned short *": ctypes.POINTER(ctypes.c_ushort),
    "unsigned int *": ctypes.POINTER(ctypes.c_uint),
    "int *": ctypes.POINTER(ctypes.c_int),
    "float *": ctypes.POINTER(ctypes.c_float),
    "DALUSDK_SendCallback": _native.SendCallback,
    "DALUSDK_LogHandler": _native.LogHandler,
}

DECLARATION = re.compile(r"DALUSDK_API\s+(.+?)\s*\b(DALUSDK_\w+)\(([^)]*)\);")


def normal(c_type):
    return re.sub(r"\s*\*", " *", c_type).strip()


def header_exports():
    """name -> (return type, [parameter types]) as the header spells them."""
    with open(HEADER, encoding="utf-8") as f:
        text = f.read()
    exports = {}
    for ret, name, params in DECLARATION.findall(text):
        # Each parameter is a type followed by a name.
        types = [normal(re.fullmatch(r"(.*?)\w+", p.strip()).group(1)) for p in params.split(",")]
        exports[name] = (normal(ret), types)
    return exports


def test_every_header_export_is_declared_with_its_types():
    exports = header_exports()
    assert len(exports) == 39
    assert set(exports) == set(_native._EXPORTS)
    for name, (ret, params) in exports.items():
        restype, argtypes = _native._EXPORTS[name]
        assert restype is C_TYPES[ret], name
        assert argtypes == [C_TYPES[p] for p in params], name
