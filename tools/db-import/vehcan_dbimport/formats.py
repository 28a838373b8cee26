# SPDX-License-Identifier: MIT
"""The input formats: those that the installed canmatrix reads, found when
the program runs (some need optional Python modules), and loading a file."""

from __future__ import annotations

import importlib
import logging
import warnings
from dataclasses import dataclass


class InputError(Exception):
    """An input that cannot be read."""


def _canmatrix_formats():
    # canmatrix logs a warning for each format whose module is missing, and
    # its sources trip SyntaxWarnings when Python compiles them afresh.
    logging.getLogger("canmatrix").setLevel(logging.ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SyntaxWarning)
        import canmatrix.formats
    return canmatrix.formats


@dataclass
class Formats:
    version: str
    readable: dict[str, str]  # format -> file name extension
    missing: dict[str, str]  # format -> the Python module it lacks


def available() -> Formats:
    """What the installed canmatrix reads now, and what it would read with
    more Python modules installed."""
    cf = _canmatrix_formats()
    import canmatrix

    readable = {name: cf.extensionMapping.get(name, name)
                for name, abilities in cf.supportedFormats.items() if "load" in abilities}
    missing = {}
    for name in getattr(cf, "moduleList", []):
        if name in readable or name in cf.supportedFormats:
            continue
        try:
            importlib.import_module("canmatrix.formats." + name)
        except ImportError as e:
            missing[name] = e.name or str(e)
        except Exception as e:  # a module that breaks on import is missing too
            missing[name] = str(e)
    return Formats(getattr(canmatrix, "__version__", "?"), readable, missing)


def help_text(formats: Formats) -> str:
    # Debian's build of canmatrix 0.9.5 calls itself "0+unknown".
    version = "" if formats.version.startswith("0+") else f" {formats.version}"
    lines = [f"Input formats that the installed canmatrix{version} reads (by the file",
             "name's extension, or --format):",
             "  " + ", ".join(f"{name} (.{ext})" for name, ext in sorted(formats.readable.items()))]
    if formats.missing:
        lines.append("Not readable here, for want of a Python module:")
        lines += [f"  {name}: needs {module}" for name, module in sorted(formats.missing.items())]
    return "\n".join(lines)


def detect(path: str, formats: Formats) -> str | None:
    lower = path.lower()
    for name, ext in sorted(formats.readable.items()):
        if lower.endswith("." + ext.lower()):
            return name
    return None


def load(path: str, fmt: str) -> list:
    """The matrices (CanMatrix objects) in the file, read as format fmt."""
    cf = _canmatrix_formats()
    try:
        matrices = cf.loadp(path, import_type=fmt)
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror}") from None
    except Exception as e:  # canmatrix's readers raise whatever their parsers raise
        raise InputError(f"{path}: cannot be read as {fmt}: {e}") from None
    found = [db for db in (matrices or {}).values() if db is not None]
    if not any(db.frames for db in found):
        raise InputError(f"{path}: no frame found (read as {fmt})")
    return found
