# SPDX-License-Identifier: MIT
"""The report page made in Python, for a producer other than vehcan (a fleet
backend's decoder that has samples with tolerances): the same template,
style sheet and script as vehcan's (the files next to this one), dygraphs
from Debian's libjs-dygraphs, and a data block as docs/report.md describes
it. For the same data block the page is the one `vehcan replay --report`
writes, byte for byte but for the data block's number formatting.

    import assemble_page
    html = assemble_page.render_page(data)   # data: a dict
"""

import json
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
DYGRAPHS_DIR = "/usr/share/javascript/dygraphs"

_SOURCE_MAP = re.compile(r"(//# sourceMappingURL=|/\*# sourceMappingURL=)[^\n]*")


def _read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def load_library(directory=DYGRAPHS_DIR):
    """(script, style) of dygraphs, without the lines that point a browser
    at their source maps (it would fetch those from the network)."""
    return tuple(
        _SOURCE_MAP.sub("", _read(os.path.join(directory, name)))
        for name in ("dygraph.min.js", "dygraph.min.css")
    )


def _escape_end(text, element):
    """'</script' (any case) as '<\\/script': the same in a string or a
    regular expression, and no longer the element's end."""
    return re.sub("</(?=" + element + ")", "<\\\\/", text, flags=re.IGNORECASE)


def render_page(data, library=None):
    """The page (a str) for the data block `data`."""
    script, style = library if library is not None else load_library()
    block = json.dumps(data, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    parts = {
        "@VEHCAN_LIBRARY_STYLE@": _escape_end(style, "style"),
        "@VEHCAN_STYLE@": _escape_end(_read(os.path.join(HERE, "report.css")), "style"),
        "@VEHCAN_LIBRARY@": _escape_end(script, "script"),
        "@VEHCAN_DATA@": block.replace("<", "\\u003c"),
        "@VEHCAN_SCRIPT@": _escape_end(_read(os.path.join(HERE, "report.js")), "script"),
    }
    # One pass: nothing inserted is searched for markers again.
    pattern = re.compile("|".join(re.escape(m) for m in parts))
    return pattern.sub(lambda m: parts[m.group(0)], _read(os.path.join(HERE, "report.html")))
