#!/usr/bin/env python3
"""Compares the export table of the built ZRQAPI.dll with exports/zrqapi.def,
both ways, and the .def with the naming rule applied to include/zrqapi.h.

Also checks that the DLL is of the expected width, needs no mingw runtime DLL
beside it, carries the description text "NIREK API" and no debug sections,
and that every name keeps the ordinal that the .def fixes for it. The 64-bit DLL is
linked from a copy of the .def whose symbols are undecorated (no stdcall there);
--names-from checks that the copy exports exactly the names of the original.
"""
import argparse
import re
import subprocess
import sys

# Routines whose export names break the rule "plain name and _name@bytes".
ONLY_DECORATED = {"NirekSetEncoder"}
DECORATED_AS = {"NirekSelectXYZ2": "NirekSelectXYZ"}
# Second plain names of a routine, without decorated forms of their own.
SECOND_NAMES = {"Kap_init": "Kap_Init", "Kap_Move4Axis": "Kap_MoveR",
                "Kap_Get4AxisPosition": "Kap_GetRotorPosition"}


def parse_def(text):
    """[(exported name, compiled symbol)] in file order."""
    entries = []
    in_exports = False
    for raw in text.splitlines():
        line = raw.split(";", 1)[0].rstrip()
        if not line.strip():
            continue
        if line.strip() == "EXPORTS":
            in_exports = True
            continue
        if not line[0].isspace():
            in_exports = False
        if not in_exports:
            continue
        m = re.fullmatch(r"\s+(\S+)\s*=\s*(\S+)(?:\s+@\d+)?", line)
        if not m:
            raise ValueError("unreadable .def line: " + raw)
        entries.append((m.group(1), m.group(2)))
    return entries


def parse_def_ordinals(text):
    """{exported name: ordinal or None} of every .def entry."""
    ordinals = {}
    for raw in text.splitlines():
        m = re.match(r"\s+([^\s;=]+)\s*=\s*\S+(?:\s+@(\d+))?", raw.split(";", 1)[0])
        if m:
            ordinals[m.group(1)] = int(m.group(2)) if m.group(2) else None
    return ordinals


def compare_ordinals(def_ordinals, dll_ordinals):
    """Problems of ordinals that are missing, shared or not what the DLL has."""
    problems = ["no ordinal in the .def: " + n for n, o in sorted(def_ordinals.items()) if o is None]
    seen = {}
    for name, ordinal in sorted(def_ordinals.items()):
        if ordinal is not None and ordinal in seen:
            problems.append("ordinal %d given to %s and %s" % (ordinal, seen[ordinal], name))
        seen.setdefault(ordinal, name)
        if ordinal is not None and name in dll_ordinals and dll_ordinals[name] != ordinal:
            problems.append("%s is ordinal %d in the DLL, %d in the .def"
                            % (name, dll_ordinals[name], ordinal))
    return problems


def parse_objdump_ordinals(text):
    """{exported name: ordinal} from objdump -p."""
    base = re.search(r"Ordinal Base\s+(\d+)", text)
    base = int(base.group(1)) if base else 1
    ordinals = {}
    section = False
    for line in text.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = True
            continue
        if section and not line.strip():
            break
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line) if section else None
        if m:
            ordinals[m.group(2)] = base + int(m.group(1))
    return ordinals


def debug_sections(text):
    """Names of the .debug sections that objdump -h lists."""
    return re.findall(r"^\s*\d+\s+(\.debug\S*)", text, re.M)


def parse_header(text):
    """{routine name: argument bytes} of every ZRQ_API declaration."""
    routines = {}
    for m in re.finditer(r"ZRQ_API\([^)]*\)\s*(\w+)\s*\(([^)]*)\)\s*;", text):
        args = m.group(2).strip()
        count = 0 if args in ("", "void") else len(args.split(","))
        routines[m.group(1)] = 4 * count
    return routines


def parse_objdump(text):
    """({exported name: RVA}, [imported DLL names], file format)."""
    rvas = {}
    names = {}
    section = None
    for line in text.splitlines():
        if line.startswith("Export Address Table --"):
            section = "eat"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        if section and not line.strip():
            section = None
            continue
        if section == "eat":
            m = re.match(r"\s*\[\s*(\d+)\]\s+\+base\[\s*\d+\]\s+([0-9a-fA-F]+)\s+Export RVA", line)
            if m:
                rvas[int(m.group(1))] = int(m.group(2), 16)
        elif section == "names":
            m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
            if m:
                names[m.group(2)] = int(m.group(1))
    exports = {name: rvas.get(index) for name, index in names.items()}
    imports = re.findall(r"DLL Name:\s*(\S+)", text)
    fmt = re.search(r"file format (\S+)", text)
    return exports, imports, fmt.group(1) if fmt else ""


def expected_names(routines):
    """{exported name: routine} that the rule gives for the header's routines."""
    names = {}
    for routine, nbytes in routines.items():
        if routine in SECOND_NAMES:
            names[routine] = SECOND_NAMES[routine]
            continue
        if routine not in ONLY_DECORATED:
            names[routine] = routine
        names["_%s@%d" % (DECORATED_AS.get(routine, routine), nbytes)] = routine
    return names


def compiled_symbol(routine, nbytes, bits):
    """The symbol the compiler gives a routine of the header."""
    return "%s@%d" % (routine, nbytes) if bits == 32 else routine


def compare(def_entries, routines, exports, bits=32):
    """The list of problems found; empty when all agree."""
    problems = []
    def_names = [name for name, _ in def_entries]
    for name in sorted({n for n in def_names if def_names.count(n) > 1}):
        problems.append("listed twice in the .def: " + name)
    listed = set(def_names)
    exported = set(exports)
    for name in sorted(listed - exported):
        problems.append("in the .def but not exported: " + name)
    for name in sorted(exported - listed):
        problems.append("exported but not in the .def: " + name)

    # Every name of one compiled routine leads to one address.
    by_symbol = {}
    for name, symbol in def_entries:
        by_symbol.setdefault(symbol, []).append(name)
    for symbol, group in sorted(by_symbol.items()):
        addresses = {exports[n] for n in group if n in exports}
        if len(addresses) > 1:
            problems.append("names of %s at different addresses: %s" % (symbol, ", ".join(group)))

    # The .def against the rule applied to the public header.
    want = expected_names(routines)
    for name in sorted(set(want) - listed):
        problems.append("the header's %s lacks the export name %s" % (want[name], name))
    for name in sorted(listed - set(want)):
        problems.append("the .def exports %s, which no header routine accounts for" % name)
    for name, symbol in def_entries:
        if name in want:
            routine = want[name]
            compiled = compiled_symbol(routine, routines[routine], bits)
            if symbol != compiled:
                problems.append("%s should export %s, not %s" % (name, compiled, symbol))
    return problems


def compare_names(def_entries, source_entries):
    """Problems of a derived .def whose names differ from the original's."""
    got = [name for name, _ in def_entries]
    want = [name for name, _ in source_entries]
    if got == want:
        return []
    problems = ["missing from the derived .def: " + n for n in sorted(set(want) - set(got))]
    problems += ["not in the original .def: " + n for n in sorted(set(got) - set(want))]
    return problems or ["the derived .def lists the names in another order"]


def self_test():
    """The checker must notice what it is there to notice."""
    routines = {"Kap_MoveXY": 8, "Kap_Init": 0, "Kap_init": 0, "NirekSetEncoder": 8}
    good = [("Kap_MoveXY", "Kap_MoveXY@8"), ("_Kap_MoveXY@8", "Kap_MoveXY@8"),
            ("Kap_Init", "Kap_Init@0"), ("_Kap_Init@0", "Kap_Init@0"),
            ("Kap_init", "Kap_Init@0"), ("_NirekSetEncoder@8", "NirekSetEncoder@8")]
    rva = {"Kap_MoveXY@8": 0x10, "Kap_Init@0": 0x20, "NirekSetEncoder@8": 0x30}
    exports = {name: rva[symbol] for name, symbol in good}
    cases = [
        ("agreeing tables", good, exports, 0),
        ("name missing from the DLL", good, {k: v for k, v in exports.items() if k != "Kap_init"}, 1),
        ("stray name in the DLL", good, dict(exports, **{"Kap_MoveXY@8": 0x10}), 1),
        ("alias at another address", good, dict(exports, Kap_init=0x99), 1),
        ("plain name of an only-decorated routine", good + [("NirekSetEncoder", "NirekSetEncoder@8")],
         dict(exports, NirekSetEncoder=0x30), 1),
        ("wrong argument bytes", [(n, s) for n, s in good if n != "_Kap_MoveXY@8"] + [("_Kap_MoveXY@12", "Kap_MoveXY@8")],
         dict({k: v for k, v in exports.items() if k != "_Kap_MoveXY@8"}, **{"_Kap_MoveXY@12": 0x10}), 2),
    ]
    plain = [(n, s.split("@")[0]) for n, s in good]
    cases64 = [
        ("64-bit: undecorated symbols agree", plain, exports, 0),
        ("64-bit: a decorated symbol left behind", plain[:-1] + [good[-1]], exports, 1),
    ]
    failed = 0
    for title, def_entries, table, want in cases + cases64:
        bits = 64 if title.startswith("64-bit") else 32
        got = len(compare(def_entries, routines, table, bits))
        ok = got == want
        failed += not ok
        print("%s: %s (%d problems, expected %d)" % ("ok" if ok else "FAIL", title, got, want))
    sample = ("\nZRQAPI.dll:     file format pei-i386\n\tDLL Name: KERNEL32.dll\n\n"
              "Export Address Table -- Ordinal Base 1\n\t[   0] +base[   1] 14c0 Export RVA\n"
              "\t[   1] +base[   2] 14b0 Export RVA\n\n[Ordinal/Name Pointer] Table\n"
              "\t[   0] Kap_Init\n\t[   1] _Kap_MoveXY@8\n\n")
    parsed = parse_objdump(sample)
    ok = parsed == ({"Kap_Init": 0x14c0, "_Kap_MoveXY@8": 0x14b0}, ["KERNEL32.dll"], "pei-i386")
    failed += not ok
    print("%s: reading objdump's export table" % ("ok" if ok else "FAIL"))
    name_cases = [
        ("derived .def with the same names", plain, good, 0),
        ("derived .def lacking a name", plain[1:], good, 1),
        ("derived .def in another order", plain[::-1], good, 1),
    ]
    for title, derived, source, want in name_cases:
        got = len(compare_names(derived, source))
        ok = got == want
        failed += not ok
        print("%s: %s (%d problems, expected %d)" % ("ok" if ok else "FAIL", title, got, want))
    ordinal_cases = [
        ("ordinals agree", {"Kap_Init": 1, "Kap_init": 2}, {"Kap_Init": 1, "Kap_init": 2}, 0),
        ("an entry without ordinal", {"Kap_Init": 1, "Kap_init": None}, {"Kap_Init": 1, "Kap_init": 2}, 1),
        ("two entries, one ordinal", {"Kap_Init": 1, "Kap_init": 1}, {"Kap_Init": 1, "Kap_init": 1}, 1),
        ("the DLL moved an ordinal", {"Kap_Init": 1, "Kap_init": 2}, {"Kap_Init": 2, "Kap_init": 1}, 2),
    ]
    for title, def_ordinals, dll_ordinals, want in ordinal_cases:
        got = len(compare_ordinals(def_ordinals, dll_ordinals))
        ok = got == want
        failed += not ok
        print("%s: %s (%d problems, expected %d)" % ("ok" if ok else "FAIL", title, got, want))
    ok = parse_objdump_ordinals(sample) == {"Kap_Init": 1, "_Kap_MoveXY@8": 2}
    failed += not ok
    print("%s: reading objdump's ordinals" % ("ok" if ok else "FAIL"))
    headers = ("Sections:\nIdx Name          Size      VMA       LMA       File off  Algn\n"
               "  0 .text         00001000  10001000  10001000  00000400  2**4\n"
               "  9 .debug_info   00000100  1000a000  1000a000  00009000  2**0\n")
    ok = debug_sections(headers) == [".debug_info"]
    failed += not ok
    print("%s: finding debug sections" % ("ok" if ok else "FAIL"))
    total = len(cases) + len(cases64) + len(name_cases) + len(ordinal_cases) + 3
    print("%d passed, %d failed" % (total - failed, failed))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump")
    parser.add_argument("--def", dest="deffile")
    parser.add_argument("--header")
    parser.add_argument("--dll")
    parser.add_argument("--bits", type=int, choices=(32, 64), default=32)
    parser.add_argument("--names-from", help="the original .def of a derived one")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test()

    with open(args.deffile) as f:
        def_text = f.read()
    def_entries = parse_def(def_text)
    with open(args.header) as f:
        routines = parse_header(f.read())
    dump = subprocess.run([args.objdump, "-p", args.dll], check=True,
                          capture_output=True, text=True).stdout
    exports, imports, fmt = parse_objdump(dump)
    with open(args.dll, "rb") as f:
        image = f.read()

    checks = []
    checks.append(("export table matches the .def and the header",
                   compare(def_entries, routines, exports, args.bits)))
    if args.names_from and args.names_from != args.deffile:
        with open(args.names_from) as f:
            checks.append(("the .def exports the names of %s" % args.names_from,
                           compare_names(def_entries, parse_def(f.read()))))
    checks.append(("every name has the ordinal that the .def fixes",
                   compare_ordinals(parse_def_ordinals(def_text), parse_objdump_ordinals(dump))))
    sections = subprocess.run([args.objdump, "-h", args.dll], check=True,
                              capture_output=True, text=True).stdout
    checks.append(("carries no debug sections",
                   ["has " + n for n in debug_sections(sections)]))
    want_fmt = "pei-i386" if args.bits == 32 else "pei-x86-64"
    checks.append(("%d-bit image" % args.bits, [] if fmt == want_fmt else ["file format " + fmt]))
    runtime = [d for d in imports if d.lower().startswith("lib")]
    checks.append(("needs no mingw runtime DLL (imports: %s)" % ", ".join(imports),
                   ["imports " + d for d in runtime]))
    wide = lambda s: s.encode("utf-16-le")
    key = image.find(wide("FileDescription"))
    text = image.find(wide("NIREK API") + b"\0\0", key)
    checks.append(('version resource describes it as "NIREK API"',
                   [] if key >= 0 and 0 <= text - key < 64 else ["description text not found"]))

    failed = 0
    for title, problems in checks:
        print("%s: %s" % ("FAIL" if problems else "ok", title))
        for p in problems:
            print("    " + p)
        failed += bool(problems)
    print("%d names exported, %d .def entries, %d header routines"
          % (len(exports), len(def_entries), len(routines)))
    print("%d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
