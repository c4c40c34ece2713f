#!/usr/bin/env python3
"""Finds owning locals that a coroutine body keeps across a `co_await`.

While a body is suspended, the references in its C++ frame are invisible to the garbage
collector: whatever lives across an await must be a `Held` (or an argument), or the suspended
coroutine can never be collected. This scans every function returning `Co` and reports each
local of an owning type other than `Held` (`Ref`, `PyError`, anything spelled with them, and
`auto`, whose type the scan cannot see), and each range of `for (... : iterate(...))`, that is in scope at a `co_await` of a later statement,
unless the last mention of it before that await moved it out (`awaitable(std::move(pending))`)
in a block still open there.

    scripts/coroutine_locals.py [FILE|DIR ...]   (default: frame server brokers)

prints "file:line: ..." for each and exits 1 if there is any.
"""
from __future__ import annotations

import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

TOKEN = re.compile(
    r"""(?P<skip>//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"(?:_id)?|'(?:\\.|[^'\\\n])*')"""
    r"""|(?P<nl>\n)|(?P<word>[A-Za-z_]\w*)|(?P<punct>::|->|&&|\|\||\S)""",
    re.S,
)
OWNING = {"Ref", "PyError", "auto"}
TYPE_WORDS = {"const", "std", "static", "optional", "vector", "array", "unique_ptr", "pair", "tuple"}


@dataclass
class Local:
    name: str
    line: int
    at: int                      # its token: the statement declaring it does not keep it yet
    moved_in: int | None = None  # the block of a std::move(name) that was its last mention
    reported: bool = False


@dataclass
class Scope:
    ident: int
    locals: list[Local] = field(default_factory=list)
    header: int | None = None  # a for/if/while header: the paren depth it opened at
    unbraced: bool = False     # a body without braces: ends with its statement


def tokens(text: str) -> list[tuple[str, int]]:
    out, line = [], 1
    for m in TOKEN.finditer(text):
        kind = m.lastgroup
        if kind == "skip":  # a literal stays as one token, a comment goes
            if m.group()[0] in "\"'":
                out.append(('"', line))
            line += m.group().count("\n")
        elif kind == "nl":
            line += 1
        else:
            out.append((m.group(), line))
    return out


def bodies(toks: list[tuple[str, int]]):
    """(start, end) token ranges of the bodies of functions returning Co."""
    i = 0
    while i < len(toks):
        j = i + 1  # Co name( or Co Class::name(
        while j + 1 < len(toks) and re.match(r"[A-Za-z_]", toks[j][0]) and toks[j + 1][0] == "::":
            j += 2
        if toks[i][0] == "Co" and j + 1 < len(toks) and re.match(r"[A-Za-z_]", toks[j][0]) and toks[j + 1][0] == "(":
            j, depth = j + 1, 0
            while j < len(toks):
                depth += {"(": 1, ")": -1}.get(toks[j][0], 0)
                if depth == 0:
                    break
                j += 1
            j += 1
            while j < len(toks) and toks[j][0] in {"noexcept", "const"}:
                j += 1
            if j < len(toks) and toks[j][0] == "{":
                k, depth = j, 0
                while k < len(toks):
                    depth += {"{": 1, "}": -1}.get(toks[k][0], 0)
                    if depth == 0:
                        break
                    k += 1
                yield j, k
                i = k
        i += 1


def declared(toks, i):
    """The name a declaration at statement start i introduces, if its type is owning."""
    j, seen = i, set()
    while j < len(toks) and toks[j][0] in TYPE_WORDS | OWNING | {"Held", "Obj", "::", "<", ">", ",", "&", "&&"}:
        seen.add(toks[j][0])
        j += 1
    if not seen & OWNING or "Held" in seen or j >= len(toks):
        return []
    if toks[j][0] == "[":  # auto [a, b] = ...
        names = []
        while j < len(toks) and toks[j][0] != "]":
            if re.match(r"[A-Za-z_]", toks[j][0]):
                names.append((*toks[j], j))
            j += 1
        return names
    if toks[j - 1][0] != "::" and re.match(r"[A-Za-z_]", toks[j][0]) and toks[j + 1][0] in {"=", ";", "(", "{", ":"}:
        return [(*toks[j], j)]
    return []


def scan(text: str, path: str = "<source>") -> list[str]:
    toks, found = tokens(text), []
    for start, end in bodies(toks):
        stack, count = [Scope(0)], 0
        stmt, paren = start + 1, 0
        i = start + 1
        while i < end:
            t, line = toks[i]
            top = stack[-1]
            if t == "(":
                paren += 1
            elif t == ")":
                paren -= 1
                if top.header == paren:  # the end of a for header
                    top.header = None
                    if toks[i + 1][0] == "{":
                        i += 1  # the header's scope is the body's block
                    else:
                        top.unbraced = True
                    stmt = i + 1
            elif paren == 0 and t in {";", "{", "}"}:
                if t == "{":
                    count += 1
                    stack.append(Scope(count))
                else:
                    if t == "}":
                        stack.pop()
                    while stack[-1].unbraced:  # the statement that ended was their body
                        stack.pop()
                stmt = i + 1
            elif t in {"for", "if", "while", "switch"} and toks[i + 1][0] == "(":
                count += 1
                stack.append(Scope(count, header=paren))
            elif t == "else" and toks[i + 1][0] not in {"{", "if"}:
                count += 1
                stack.append(Scope(count, unbraced=True))
                stmt = i + 1
            elif t == "co_await":
                open_ids = {s.ident for s in stack}
                k = i
                while toks[k][0] != ";":
                    k += 1
                moved_here = {toks[m][0] for m in range(i, k) if toks[m - 2][0] == "move" and toks[m - 1][0] == "("}
                for local in (v for s in stack for v in s.locals if v.at < stmt):
                    if local.moved_in not in open_ids and local.name not in moved_here and not local.reported:
                        found.append(f"{path}:{local.line}: '{local.name}' is kept across the co_await at "
                                     f"line {line}: make it a Held, or move it into the awaitable")
                        local.reported = True
            elif re.match(r"[A-Za-z_]", t):
                if i == stmt or (top.header is not None and toks[i - 1][0] == "(" and toks[i - 2][0] == "for"):
                    for name, nline, at in declared(toks, i):
                        top.locals.append(Local(name, nline, at))
                if t == "iterate" and top.header is not None and toks[i + 1][0] == "(":
                    # a range-for's range holds the iterable and the current item as Refs
                    top.locals.append(Local("the range of iterate()", line, i))
                for local in (v for s in stack for v in s.locals if v.name == t and v.at != i):
                    moved = toks[i - 1][0] == "(" and toks[i - 2][0] == "move"
                    local.moved_in = top.ident if moved else None
            i += 1
    return found


def main(argv: list[str]) -> int:
    roots = [Path(a) for a in argv] or [Path(d) for d in ("frame", "server", "brokers")]
    files = [p for r in roots for p in ([r] if r.is_file() else sorted(r.rglob("*.[ch]pp")))]
    found = [f for p in files for f in scan(p.read_text(), str(p))]
    print("\n".join(found)) if found else None
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
