#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""wendrix.exe as shipped to Windows users: a 64-bit GUI program with its icon
group and manifest, that needs no DLL beside it and holds no simulated unit.

    tst_pe.py wendrix.exe
"""
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
# DLLs that would have to travel beside the executable.
FOREIGN_DLLS = ("qt5", "qt6", "libstdc++", "libgcc", "libwinpthread", "hidapi", "tqr7hid")


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        count = struct.unpack_from("<I", data, opt + 108)[0]
        self.dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            s = opt + optsize + 40 * i
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, rawsize), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("address 0x%x in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")

    def imports(self):
        names = []
        rva = self.dirs[1][0]
        while rva:
            name = struct.unpack_from("<I", self.data, self.offset(rva) + 12)[0]
            if not name:
                break
            names.append(self.cstring(name))
            rva += 20
        rva = self.dirs[13][0] if len(self.dirs) > 13 else 0
        while rva:
            name = struct.unpack_from("<I", self.data, self.offset(rva) + 4)[0]
            if not name:
                break
            names.append(self.cstring(name))
            rva += 32
        return names

    def resources(self):
        """{(type, name): bytes} for the first language of each resource."""
        base = self.dirs[2][0]
        if not base:
            return {}
        found = {}

        def entries(rva):
            at = self.offset(base + rva)
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                key, value = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    s = self.offset(base + (key & 0x7FFFFFFF))
                    length = struct.unpack_from("<H", self.data, s)[0]
                    key = self.data[s + 2:s + 2 + 2 * length].decode("utf-16-le")
                yield key, value

        for rtype, tvalue in entries(0):
            for name, nvalue in entries(tvalue & 0x7FFFFFFF):
                for _, lvalue in entries(nvalue & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, self.offset(base + lvalue))
                    start = self.offset(rva)
                    found[(rtype, name)] = self.data[start:start + size]
                    break
        return found


def main(path):
    with open(path, "rb") as f:
        data = f.read()
    pe = Pe(data)
    checks = []
    failures = []

    def check(ok, text):
        print(("ok   " if ok else "FAIL ") + text)
        checks.append(text)
        if not ok:
            failures.append(text)

    check(pe.machine == 0x8664 and pe.magic == 0x20B, "PE32+ for x86-64")
    check(pe.subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, "Windows GUI subsystem (no console window)")

    dlls = pe.imports()
    foreign = [d for d in dlls if d.lower().startswith(FOREIGN_DLLS)]
    check(not foreign, "imports only system DLLs: " + ", ".join(sorted(set(dlls), key=str.lower)))

    res = pe.resources()
    group = res.get((RT_GROUP_ICON, "IDI_ICON1"))
    sizes = set()
    if group:
        count = struct.unpack_from("<H", group, 4)[0]
        for i in range(count):
            w, h, _, _, _, _, _, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            if (RT_ICON, ident) in res:
                sizes.add((w or 256, h or 256))
    check({(32, 32), (16, 16)} <= sizes,
          "icon group IDI_ICON1 with 32x32 and 16x16 images (has %s)"
          % ", ".join("%dx%d" % s for s in sorted(sizes)))

    manifest = res.get((RT_MANIFEST, 1), b"").decode("utf-8", "replace")
    check('level="asInvoker"' in manifest, "manifest asks for asInvoker")
    check('name="Microsoft.Windows.Common-Controls"' in manifest and 'version="6.0.0.0"' in manifest,
          "manifest asks for common controls 6.0.0.0")

    # The simulated unit reads its instructions from TQR7SIM_* variables.
    check(b"TQR7SIM" not in data, "no simulated unit inside")

    print("%d passed, %d failed" % (len(checks) - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    if sys.argv[1:] in (["-h"], ["--help"]):
        print(__doc__.strip())
        sys.exit(0)
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
