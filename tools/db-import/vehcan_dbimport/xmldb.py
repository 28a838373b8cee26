# SPDX-License-Identifier: MIT
"""vehcan's XML parameter database as files: reading one as vehcan-db does,
writing PGN nodes, and adding them to an existing file without touching
what it holds."""

from __future__ import annotations

import os
import re
import tempfile
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from xml.sax.saxutils import escape

from .convert import Group
from .mapping import clean_text

# vehcan-db drops this white space around a value.
_BLANK = " \t\r\n"


class DatabaseError(Exception):
    """A database that cannot be read, or an output that would be wrong."""


@dataclass
class Database:
    """A database file: its text, its root element's name, and its index
    (node, then subnode, to text) as vehcan-db builds it: elements only,
    the first of two equal names counts, white space around a value dropped."""

    text: str
    root: str
    nodes: dict[str, dict[str, str]]

    def pgns(self) -> set[int]:
        return {int(name[3:]) for name in self.nodes if re.fullmatch(r"PGN\d+", name)}

    def spns(self) -> set[int]:
        found = set()
        for name, subnodes in self.nodes.items():
            if not name.startswith("PGN"):
                continue
            for sub in subnodes:
                if re.fullmatch(r"SPN_\d+", sub):
                    found.add(int(sub[4:]))
        return found


def parse(text: str, where: str) -> Database:
    try:
        root = ET.fromstring(text.encode("utf-8"))
    except ET.ParseError as e:
        raise DatabaseError(f"{where}:{e.position[0]}: not well-formed XML: {e}") from None
    nodes: dict[str, dict[str, str]] = {}
    for node in root:
        if not isinstance(node.tag, str) or node.tag in nodes:
            continue  # a comment, or a second node of that name
        subnodes = nodes[node.tag] = {}
        for sub in node:
            if isinstance(sub.tag, str) and sub.tag not in subnodes:
                subnodes[sub.tag] = "".join(sub.itertext()).strip(_BLANK)
    return Database(text, root.tag, nodes)


def read(path: str) -> Database:
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise DatabaseError(f"{path}: cannot read: {e.strerror}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DatabaseError(f"{path}: not UTF-8 (byte {e.start})") from None
    return parse(text, path)


# ---- writing -----------------------------------------------------------------------


def _comment(text: str) -> str:
    # "--" may not stand inside an XML comment.
    return "<!-- " + re.sub(r"-(?=-)", "- ", clean_text(text)).rstrip("-") + " -->"


def node_values(g: Group) -> list[tuple[str, str]]:
    """The subnodes of a group's PGN node, in order, with their texts."""
    spns = [str(d.spn) for d in g.definitions]
    values = [("SPN_LIST", ",".join([str(len(spns)), *spns]))]
    for d in g.definitions:
        values.append((f"SPN_{d.spn}", d.text()))
        values += [(f"SPN_{d.spn}_{v}", text) for v, text in sorted(d.states.items())]
    return values


def render(groups: list[Group], indent: str = "  ") -> str:
    """The PGN nodes of groups, one element per line, as data/sample.xml has them."""
    lines = []
    for g in groups:
        lines.append(f"{indent}{_comment(f'{g.frame}, frame 0x{g.identifier:08X}')}")
        lines.append(f"{indent}<PGN{g.pgn}>")
        lines += [f"{indent * 2}<{name}>{escape(text)}</{name}>" for name, text in node_values(g)]
        lines.append(f"{indent}</PGN{g.pgn}>")
    return "".join(line + "\n" for line in lines)


def new_document(groups: list[Group], source: str) -> str:
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            + _comment(f"converted by vehcan-db-import from {os.path.basename(source)}") + "\n"
            + "<vehcan_db>\n" + render(groups) + "</vehcan_db>\n")


def merged_document(existing: Database, groups: list[Group]) -> str:
    """The existing text with the groups' nodes put before the root's end tag:
    every byte of what it held stays as it was."""
    nodes = render(groups)
    end = None
    for end in re.finditer(rf"</\s*{re.escape(existing.root)}\s*>", existing.text):
        pass
    if end is not None:
        at = end.start()
        # Keep the end tag on its own line.
        line_start = existing.text.rfind("\n", 0, at) + 1
        if existing.text[line_start:at].strip() == "":
            at = line_start
        else:
            nodes = "\n" + nodes
        return existing.text[:at] + nodes + existing.text[at:]
    empty = None
    for empty in re.finditer(rf"<{re.escape(existing.root)}(\s[^>]*)?/>", existing.text):
        pass
    if empty is None:
        raise DatabaseError(f"cannot find the end of <{existing.root}>")
    opening = empty.group(0)[:-2].rstrip() + ">"
    return (existing.text[:empty.start()] + opening + "\n" + nodes + f"</{existing.root}>"
            + existing.text[empty.end():])


def check(document: str, groups: list[Group], kept: Database | None) -> None:
    """Reads the document back as vehcan-db would: it must parse, hold every
    value written, and hold every value of the kept database unchanged."""
    back = parse(document, "output")
    for g in groups:
        if back.nodes.get(f"PGN{g.pgn}") != dict(node_values(g)):
            raise DatabaseError(f"PGN {g.pgn} reads back differently")
    if kept is not None:
        for name, subnodes in kept.nodes.items():
            if back.nodes.get(name) != subnodes:
                raise DatabaseError(f"node {name} of the merged database would change")


def write(path: str, document: str) -> None:
    """Writes the file whole, by rename: a host reading the database while
    it is written sees the old file or the new one, never half of one."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".vehcan-db-import.", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(document)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
