#!/usr/bin/env python3
"""Builds the platform's type library (format in platform/src/typelib_format.h) from an IDL file.

Reads what MIDL would put in the library's directory: the library's attributes, its coclasses and
every interface or dispinterface the library block names or defines, in the order the block names
them. Method signatures are not carried: the platform's ITypeLib serves library-level data only.

    mktlb.py VYN_PIM_OUTLOOK.idl OUT.tlb
"""
import re
import struct
import sys
import uuid

TKIND_INTERFACE, TKIND_DISPATCH, TKIND_COCLASS = 3, 4, 5
TYPEFLAG_FCANCREATE, TYPEFLAG_FDUAL, TYPEFLAG_FOLEAUTOMATION, TYPEFLAG_FDISPATCHABLE = 0x2, 0x40, 0x100, 0x1000
SYS_WIN32 = 1
NO_STRING = 0xFFFFFFFF


class IdlError(Exception):
    pass


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def split_attrs(body):
    """'uuid(..), helpstring("a, b"), dual' -> {'uuid': '..', 'helpstring': 'a, b', 'dual': None}"""
    attrs, depth, cur, quoted = {}, 0, "", False
    for ch in body + ",":
        if ch == '"':
            quoted = not quoted
        if ch == "," and depth == 0 and not quoted:
            item = cur.strip()
            if item:
                m = re.fullmatch(r"(\w+)\s*(?:\((.*)\))?", item, flags=re.S)
                if not m:
                    raise IdlError("bad attribute: " + item)
                arg = m.group(2)
                if arg is not None:
                    arg = arg.strip()
                    if arg.startswith('"') and arg.endswith('"'):
                        arg = arg[1:-1]
                attrs[m.group(1)] = arg
            cur = ""
            continue
        if not quoted:
            depth += ch == "("
            depth -= ch == ")"
        cur += ch
    return attrs


def matching_brace(text, open_at):
    depth = 0
    for i in range(open_at, len(text)):
        depth += text[i] == "{"
        depth -= text[i] == "}"
        if depth == 0:
            return i
    raise IdlError("unbalanced braces")


DEF = re.compile(r"\[([^\[\]]*)\]\s*(interface|dispinterface|coclass|library)\s+(\w+)\s*(?::\s*(\w+)\s*)?\{", re.S)


def parse(text):
    text = strip_comments(text)
    defs = {}
    library = None
    for m in DEF.finditer(text):
        kind, name = m.group(2), m.group(3)
        attrs = split_attrs(m.group(1))
        open_at = m.end() - 1
        close_at = matching_brace(text, open_at)
        entry = {"kind": kind, "name": name, "attrs": attrs, "base": m.group(4),
                 "body": text[open_at + 1:close_at], "start": m.start()}
        if kind == "library":
            library = entry
        else:
            defs[name] = entry
    if library is None:
        raise IdlError("no library block")
    return library, defs


def guid_bytes(text):
    return uuid.UUID(text).bytes_le


def pack_str(s):
    if s is None:
        return struct.pack("<I", NO_STRING)
    b = s.encode("utf-8")
    return struct.pack("<I", len(b)) + b


def library_types(library, defs):
    """Types in the order the library block names them: definitions, coclass members, `interface X;`."""
    body = library["body"]
    order = []
    for m in re.finditer(r"\b(coclass|interface|dispinterface)\s+(\w+)", body):
        name = m.group(2)
        if name in defs and name not in order:
            order.append(name)
        if m.group(1) == "coclass" and name in defs:
            for ref in re.findall(r"interface\s+(\w+)", defs[name]["body"]):
                if ref in defs and ref not in order:
                    order.append(ref)
    return [defs[n] for n in order]


def type_record(t):
    attrs = t["attrs"]
    if "uuid" not in attrs:
        raise IdlError(t["name"] + " has no uuid")
    if t["kind"] == "coclass":
        kind, flags = TKIND_COCLASS, TYPEFLAG_FCANCREATE
    elif t["kind"] == "dispinterface":
        kind, flags = TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE
    else:
        kind, flags = TKIND_INTERFACE, 0
        if "dual" in attrs:
            flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE
        elif "oleautomation" in attrs:
            flags |= TYPEFLAG_FOLEAUTOMATION
    return (struct.pack("<HH", kind, flags) + guid_bytes(attrs["uuid"]) + pack_str(t["name"]) +
            pack_str(attrs.get("helpstring")))


def build(text):
    library, defs = parse(text)
    attrs = library["attrs"]
    if "uuid" not in attrs:
        raise IdlError("the library has no uuid")
    major, _, minor = (attrs.get("version") or "0.0").partition(".")
    lcid = int(attrs.get("lcid") or "0", 0)
    types = library_types(library, defs)
    out = b"PIMTLB01" + guid_bytes(attrs["uuid"])
    out += struct.pack("<IHHHHI", lcid, SYS_WIN32, int(major), int(minor or 0), 0, int(attrs.get("helpcontext") or "0", 0))
    out += pack_str(library["name"]) + pack_str(attrs.get("helpstring")) + pack_str(attrs.get("helpfile"))
    out += struct.pack("<I", len(types))
    for t in types:
        out += type_record(t)
    return out


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: mktlb.py IDL OUT\n")
        return 2
    try:
        with open(argv[1], encoding="utf-8") as f:
            data = build(f.read())
    except (OSError, IdlError, ValueError) as e:
        sys.stderr.write("mktlb: %s: %s\n" % (argv[1], e))
        return 1
    with open(argv[2], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
