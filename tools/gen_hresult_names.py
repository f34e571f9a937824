#!/usr/bin/env python3
"""Generate src/diagnostics/hresult_names.cpp, the HRESULT name table, from the
mingw-w64 Windows headers (Debian package mingw-w64-common).

Usage:
  python3 tools/gen_hresult_names.py [--include DIR] [--output FILE]

The headers define the codes through macros (MAKE_HRESULT, MAKE_DDHRESULT,
_HRESULT_TYPEDEF_, MAKE_DSHRESULT, MAKE_DPNHRESULT, ...). A small object- and
function-like macro expander resolves them to 32-bit values, so the build
never needs the headers. A summary (names, values, resolved collisions) goes
to standard error.
"""

import argparse
import re
import sys
from pathlib import Path

DEFAULT_INCLUDE = "/usr/share/mingw-w64/include"
COMMAND = ("python3 tools/gen_hresult_names.py --include " + DEFAULT_INCLUDE +
           " --output src/diagnostics/hresult_names.cpp")

# Win32 error codes that the table carries as bare numbers, under their
# ERROR_ names.
BARE_WIN32_CODES = [2, 3, 4, 5, 6, 8, 9, 10, 11, 14]

# General COM names; they win over any family alias of the same value. The
# HRESULT forms of the Win32 codes above appear only under these names, except
# ERROR_FILE_NOT_FOUND, which is also named in its HRESULT form.
COM_NAMES = [
    "E_ACCESSDENIED", "E_HANDLE", "E_OUTOFMEMORY", "E_INVALIDARG",
    "E_PENDING", "E_NOTIMPL", "E_NOINTERFACE", "E_POINTER", "E_ABORT",
    "E_FAIL", "E_UNEXPECTED", "CLASS_E_NOAGGREGATION", "REGDB_E_CLASSNOTREG",
    "CO_E_NOTINITIALIZED", "CO_E_ALREADYINITIALIZED",
]

# Families in priority order: where two family names share a value, the
# earlier family wins; within a family the header's first definition wins.
# Each family lists (header, name prefixes).
FAMILIES = [
    ("VFW", [("vfwmsgs.h", ("VFW_S_", "VFW_E_"))]),
    ("PROP", [("vfwmsgs.h", ("E_PROP_ID_UNSUPPORTED", "E_PROP_SET_UNSUPPORTED"))]),
    ("DDERR", [("ddraw.h", ("DDERR_",))]),
    ("D3DERR", [("d3d9.h", ("D3DERR_",)), ("d3d8.h", ("D3DERR_",)), ("d3d.h", ("D3DERR_",))]),
    ("DSOUND", [("dsound.h", ("DS_", "DSERR_"))]),
    ("DIERR", [("dinput.h", ("DIERR_",)), ("dinputd.h", ("DIERR_",))]),
    ("DPNERR", [("dplay8.h", ("DPNERR_",))]),
    ("DVOICE", [("dvoice.h", ("DV_", "DVERR_"))]),
    ("DMUS", [("dmerror.h", ("DMUS_S_", "DMUS_E_"))]),
    ("DXFILEERR", [("dxfile.h", ("DXFILEERR_",))]),
]

# Constants that carry a family prefix but are not status codes (the
# speaker-certification flags of the sound API).
NOT_STATUS_CODES = {"DS_CERTIFIED", "DS_UNCERTIFIED"}

# Macros the headers take from elsewhere (the compiler's support headers or
# inline functions); defined first so that they win.
BUILTINS = {
    "__MSABI_LONG": (["x"], "x"),
    "HRESULT_FROM_WIN32": (["x"], "(((x) & 0x0000FFFF) | (7 << 16) | 0x80000000)"),
    "__HRESULT_FROM_WIN32": (["x"], "(((x) & 0x0000FFFF) | (7 << 16) | 0x80000000)"),
}

CAST_WORDS = {"HRESULT", "SCODE", "LONG", "ULONG", "DWORD", "unsigned", "signed",
              "long", "int", "__LONG32", "UINT"}

TOKEN_RE = re.compile(r"0[xX][0-9a-fA-F]+[uUlL]*|\d+[uUlL]*|[A-Za-z_]\w*|<<|>>|\S")
DEFINE_RE = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)(\([^)]*\))?\s*(.*)$")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def read_defines(path):
    """Ordered (name, params, body) of every #define in a header."""
    text = strip_comments(path.read_text(encoding="latin-1"))
    text = re.sub(r"\\\r?\n", " ", text)
    out = []
    for line in text.splitlines():
        m = DEFINE_RE.match(line)
        if not m:
            continue
        params = None
        if m.group(2) is not None:
            params = [p.strip() for p in m.group(2)[1:-1].split(",") if p.strip()]
        out.append((m.group(1), params, m.group(3).strip()))
    return out


class Macros:
    def __init__(self):
        self.defs = {}
        for name, (params, body) in BUILTINS.items():
            self.defs[name] = (params, body)

    def add(self, defines):
        for name, params, body in defines:
            # First definition wins; repeated guarded definitions agree.
            self.defs.setdefault(name, (params, body))

    def expand(self, tokens, active=frozenset()):
        out = []
        i = 0
        while i < len(tokens):
            tok = tokens[i]
            d = self.defs.get(tok)
            if d is None or tok in active:
                out.append(tok)
                i += 1
                continue
            params, body = d
            body_toks = TOKEN_RE.findall(body)
            if params is None:
                out.extend(self.expand(body_toks, active | {tok}))
                i += 1
                continue
            if i + 1 >= len(tokens) or tokens[i + 1] != "(":
                out.append(tok)
                i += 1
                continue
            args, i = self._collect_args(tokens, i + 2)
            if len(args) != len(params):
                raise ValueError(f"{tok}: {len(args)} arguments for {len(params)} parameters")
            args = [self.expand(a, active) for a in args]
            subst = []
            for bt in body_toks:
                if bt in params:
                    subst.extend(["("] + args[params.index(bt)] + [")"])
                else:
                    subst.append(bt)
            out.extend(self.expand(subst, active | {tok}))
        return out

    @staticmethod
    def _collect_args(tokens, i):
        args, cur, depth = [], [], 0
        while i < len(tokens):
            t = tokens[i]
            if t == "(":
                depth += 1
            elif t == ")":
                if depth == 0:
                    args.append(cur)
                    return args, i + 1
                depth -= 1
            elif t == "," and depth == 0:
                args.append(cur)
                cur = []
                i += 1
                continue
            cur.append(t)
            i += 1
        raise ValueError("unbalanced parentheses")

    def value(self, name):
        """The 32-bit value of a macro, or None if it is no integer constant."""
        tokens = self.expand([name])
        # Drop casts such as (HRESULT) and (unsigned __LONG32).
        cleaned = []
        i = 0
        while i < len(tokens):
            if tokens[i] == "(":
                j = i + 1
                while j < len(tokens) and tokens[j] in CAST_WORDS:
                    j += 1
                if j > i + 1 and j < len(tokens) and tokens[j] == ")":
                    i = j + 1
                    continue
            cleaned.append(tokens[i])
            i += 1
        expr = []
        for t in cleaned:
            if t[0].isdigit():
                t = t.rstrip("uUlL")
                expr.append(str(int(t, 16) if t[:2] in ("0x", "0X") else int(t, 10)))
            elif t in ("(", ")", "|", "&", "+", "-", "~", "<<", ">>", "*"):
                expr.append(t)
            else:
                return None
        if not expr:
            return None
        try:
            v = eval(" ".join(expr), {"__builtins__": {}}, {})  # arithmetic only
        except SyntaxError:
            return None
        return v & 0xFFFFFFFF


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--include", default=DEFAULT_INCLUDE)
    ap.add_argument("--output", default="-")
    args = ap.parse_args()
    inc = Path(args.include)

    macros = Macros()
    winerror = read_defines(inc / "winerror.h")
    macros.add(winerror)
    headers = {}
    missing = []
    for _, sources in FAMILIES:
        for header, _ in sources:
            if header in headers or header in missing:
                continue
            if not (inc / header).exists():
                missing.append(header)
                continue
            headers[header] = read_defines(inc / header)
            macros.add(headers[header])

    rows = {}        # value -> name
    names = []       # (name, value) in priority order, including dropped ones
    collisions = []  # (value, kept, dropped)

    def offer(name, value):
        if value is None:
            raise SystemExit(f"cannot resolve {name}")
        names.append((name, value))
        if value in rows:
            collisions.append((value, rows[value], name))
        else:
            rows[value] = name

    offer("S_OK", macros.value("S_OK"))
    offer("S_FALSE", macros.value("S_FALSE"))
    for code in BARE_WIN32_CODES:
        name = next(n for n, p, _ in winerror
                    if p is None and n.startswith("ERROR_") and macros.value(n) == code)
        offer(name, code)
    file_not_found = next(n for n, v in names if v == 2)
    fnf_hresult = 0x80070000 | 2
    rows[fnf_hresult] = file_not_found
    for name in COM_NAMES:
        offer(name, macros.value(name))

    counts = {}
    for family, sources in FAMILIES:
        seen = set()
        for header, prefixes in sources:
            for name, params, _ in headers.get(header, []):
                if params is not None or name in seen or name in NOT_STATUS_CODES:
                    continue
                if not any(name == p or (p.endswith("_") and name.startswith(p)) for p in prefixes):
                    continue
                seen.add(name)
                offer(name, macros.value(name))
        counts[family] = len(seen)

    # Only ERROR_FILE_NOT_FOUND is named in both forms; the other Win32 codes
    # in HRESULT form must not come in through a family alias by accident.
    for code in BARE_WIN32_CODES[1:]:
        hr = 0x80070000 | code
        if hr in rows and rows[hr] not in COM_NAMES:
            raise SystemExit(f"0x{hr:08X} would be named {rows[hr]}")

    table = sorted(rows.items())
    distinct_names = {n for _, n in table}

    lines = [
        "// Generated file, do not edit. Regenerate with:",
        "//   " + COMMAND,
        "// from the mingw-w64 Windows headers (Debian package mingw-w64-common).",
        "// One row per value, sorted by the value read as unsigned; where several",
        "// names share a value the general COM / Win32 name wins over a family alias.",
        "",
        '#include "diagnostics/hresult_names.h"',
        "",
        "#include <algorithm>",
        "#include <array>",
        "",
        "namespace kelvane {",
        "namespace {",
        "",
        f"constexpr std::array<HResultNameEntry, {len(table)}> kTable{{{{",
    ]
    for value, name in table:
        lines.append(f'    {{0x{value:08X}u, "{name}"}},')
    lines += [
        "}};",
        "",
        "constexpr bool StrictlyAscending() {",
        "  for (std::size_t i = 1; i < kTable.size(); ++i) {",
        "    if (kTable[i - 1].code >= kTable[i].code) return false;",
        "  }",
        "  return true;",
        "}",
        'static_assert(StrictlyAscending(), "the lookup needs a sorted table of distinct values");',
        "",
        "}  // namespace",
        "",
        "std::span<const HResultNameEntry> HResultNameTable() noexcept { return kTable; }",
        "",
        "const char* HResultName(int32_t hr) noexcept {",
        "  const auto code = static_cast<uint32_t>(hr);",
        "  const auto* it = std::lower_bound(",
        "      kTable.begin(), kTable.end(), code,",
        "      [](const HResultNameEntry& e, uint32_t c) { return e.code < c; });",
        '  return (it != kTable.end() && it->code == code) ? it->name : "Unknown";',
        "}",
        "",
        "}  // namespace kelvane",
        "",
    ]
    text = "\n".join(lines)
    if args.output == "-":
        sys.stdout.write(text)
    else:
        Path(args.output).write_text(text)

    err = sys.stderr
    print(f"{len(table)} values, {len(distinct_names)} distinct names", file=err)
    for family, n in counts.items():
        print(f"  {family}: {n} names read", file=err)
    if missing:
        print("headers not in the package: " + ", ".join(missing), file=err)
    print(f"{len(collisions)} collisions resolved (value: kept <- dropped):", file=err)
    for value, kept, dropped in collisions:
        print(f"  0x{value:08X}: {kept} <- {dropped}", file=err)


if __name__ == "__main__":
    main()
