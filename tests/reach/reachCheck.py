#!/usr/bin/env python3
"""Lists the functions of our products that none of their entry points reaches.

Each --product names a linker map of a product linked with --gc-sections from
copies of our libraries put in whole, and the copies (archives or object
libraries) that hold our own code. A function counts as unreached when every
product that links its object dropped it. Functions the compiler emitted as
weak (inline functions, template instances) are left out: they are kept or
dropped with the functions that use them.

The allowlist has one line per function that may stay unreached:
    <function as c++filt prints it>  # <why>
The check fails on an unreached function the list lacks, and on a line of the
list that names no unreached function.
"""
import argparse, os, re, subprocess, sys
from collections import defaultdict

TEXT = re.compile(r"^\.text\.(?:(?:unlikely|hot|startup|exit)\.)?(.+)$")


def owner_of(path):
    """The copy a map's input file belongs to: 'kvrfw_reach' for
    .../libkvrfw_reach.a(x.cpp.o), 'tiagent_reach' for .../tiagent_reach.dir/..."""
    m = re.search(r"lib([\w.+-]+)\.a\(([^)]+)\)$", path)
    if m:
        return m.group(1), m.group(2)
    m = re.search(r"/([\w.+-]+)\.dir/(.+)$", path)
    if m:
        return m.group(1), m.group(2)
    return None, None


def discarded(map_path):
    """(owner, member, symbol) of every function section the link dropped, and
    the input files of our copies that it read."""
    with open(map_path, errors="replace") as f:
        lines = f.read().split("\n")
    try:
        start = lines.index("Discarded input sections")
        end = lines.index("Memory Configuration", start)
    except ValueError:
        sys.exit(f"reach check: {map_path} has no list of discarded sections")
    dropped, files = set(), {}
    i = start + 1
    while i < end:
        line = lines[i]
        i += 1
        parts = line.split()
        if not parts or not parts[0].startswith("."):
            continue
        name = parts[0]
        if len(parts) >= 4:
            path = parts[3]
        elif i < end and lines[i].split()[:1] and lines[i].split()[0].startswith("0x"):
            rest = lines[i].split()
            i += 1
            path = rest[2] if len(rest) >= 3 else ""
        else:
            continue
        m = TEXT.match(name)
        owner, member = owner_of(path)
        if not m or owner is None:
            continue
        dropped.add((owner, member, m.group(1)))
        files[(owner, member)] = path.partition("(")[0]
    return dropped, files


def ours_relative(file, source):
    """The path below the source tree of one of our .cpp files, or None. A
    compiler cache may have compiled the object in another checkout, so the
    line table can name the same file under another root."""
    if not file.endswith((".cpp", ".c")):
        return None
    parts = file.split(os.sep)
    for i in range(len(parts)):
        rel = os.path.join(*parts[i:])
        if os.path.isfile(os.path.join(source, rel)):
            return rel
    return None


def our_functions(paths, source):
    """(owner, member, symbol) -> source file, for every function our copies
    define in one of our own .cpp files (by their line tables): inline
    functions of headers and template instances are left out."""
    ours = {}
    for path in sorted(paths):
        out = subprocess.run(["nm", "-A", "-l", "--defined-only", path],
                             capture_output=True, text=True)
        for line in out.stdout.splitlines():
            # lib.a:member.o:0000000000000000 T symbol\t/path/file.cpp:12
            # (the paths may hold spaces: the fields are taken from the right)
            where, tab, place = line.partition("\t")
            fields = where.rsplit(None, 2)
            if not tab or len(fields) != 3 or fields[1] not in ("T", "t"):
                continue
            file = ours_relative(os.path.normpath(place.rpartition(":")[0]), source)
            if file is None:
                continue
            names = fields[0].rsplit(":", 2)
            if path.endswith(".a"):
                owner = re.search(r"lib([\w.+-]+)\.a$", path).group(1)
                member = names[1]
            else:
                owner, member = owner_of(path)
            ours[(owner, member, fields[2])] = file
    return ours


CTOR_DTOR = re.compile(r"(?<=[A-Za-z0-9_])(C[1-3]|D[0-2])E")


def one_variant(symbol):
    """The name shared by every variant of a constructor or destructor."""
    return CTOR_DTOR.sub(lambda m: m.group(1)[0] + "xE", symbol, count=1)


def demangle(symbols):
    out = subprocess.run(["c++filt"], input="\n".join(symbols), capture_output=True, text=True)
    return out.stdout.splitlines()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--allow", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True, help="where the links ran: map paths are relative to it")
    ap.add_argument("--product", nargs="+", action="append", required=True,
                    metavar=("MAP", "COPY"))
    args = ap.parse_args()

    linked_by = defaultdict(list)     # copy -> products that link it
    dropped_in = {}                  # product -> dropped set
    files = {}                       # (copy, member) -> archive or object
    for product in args.product:
        map_path, copies = product[0], product[1:]
        dropped_in[map_path], found_in = discarded(map_path)
        files.update(found_in)
        for c in copies:
            linked_by[c].append(map_path)

    candidates = set()
    for map_path, dropped in dropped_in.items():
        candidates |= dropped
    unreached = {d for d in candidates
                 if d[0] in linked_by and all(d in dropped_in[m] for m in linked_by[d[0]])}

    ours = our_functions({os.path.join(args.build, files[(d[0], d[1])]) for d in unreached},
                         os.path.realpath(args.source))
    # A constructor or destructor is emitted in several variants (complete, base,
    # deleting); it counts as unreached only when every variant is.
    variants = defaultdict(set)
    for d in ours:
        variants[(d[0], d[1], one_variant(d[2]))].add(d)
    unreached = sorted(d for d in unreached if d in ours
                       and variants[(d[0], d[1], one_variant(d[2]))] <= unreached)
    unreached = sorted({(d[0], d[1], one_variant(d[2])): d for d in unreached}.values())

    names = demangle([d[2] for d in unreached])
    found = defaultdict(list)  # demangled name -> where
    for d, name in zip(unreached, names):
        found[name].append(ours[d])

    allowed = {}
    with open(args.allow) as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            name, sep, reason = text.partition("  # ")
            if not sep or not reason.strip():
                print(f"reach check: {args.allow}:{number}: no reason given: {text}")
                allowed.setdefault(name.strip(), None)
                continue
            allowed[name.strip()] = reason.strip()

    missing = sorted(n for n in found if n not in allowed)
    stale = sorted(n for n in allowed if n not in found)
    reasonless = sorted(n for n, r in allowed.items() if r is None)
    print(f"reach check: {len(found)} functions no entry point reaches, "
          f"{len(found) - len(missing)} of them in {os.path.basename(args.allow)}")
    for n in missing:
        print(f"  not reached and not listed: {n}    [{'; '.join(found[n])}]")
    for n in stale:
        print(f"  listed but reached (or gone): {n}")
    sys.exit(1 if missing or stale or reasonless else 0)


if __name__ == "__main__":
    main()
