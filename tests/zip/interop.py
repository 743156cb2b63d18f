#!/usr/bin/env python3
"""Archives made by tools nobody here wrote (Info-ZIP zip, Python's zipfile) list and
extract with zipdriver exactly as the tools themselves read them.

    interop.py ZIPDRIVER [CORPUS]

With CORPUS, the archives are also copied there (the fuzz harness's seeds).
"""
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

DRIVER = os.path.abspath(sys.argv[1])
CORPUS = sys.argv[2] if len(sys.argv) > 2 else None
failures = []
passes = 0


def check(condition, what):
    global passes
    if condition:
        passes += 1
    else:
        failures.append(what)
        print("FAIL:", what)


def mixed(size, seed):
    rnd = random.Random(seed)
    words = [b"printer", b"queue", b"QUILL", b"settings", b"\r\n", b"=", b"dword:00000001"]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) if rnd.random() < 0.7 else bytes([rnd.randrange(256)])
    return bytes(out[:size])


def files_in(folder):
    result = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                result[os.path.relpath(path, folder)] = f.read()
    return result


def expected_by_python(archive):
    """What the archive holds, by file name part, the later entry winning."""
    expected = {}
    with zipfile.ZipFile(archive) as zf:
        for info in zf.infolist():
            if info.is_dir():
                continue
            expected[info.filename.replace("\\", "/").split("/")[-1]] = zf.read(info)
    return expected


def compare(label, archive, work):
    if CORPUS:
        os.makedirs(CORPUS, exist_ok=True)
        shutil.copy(archive, os.path.join(CORPUS, label + ".zip"))
    out = os.path.join(work, "ours-" + label)
    result = subprocess.run([DRIVER, "unzip", archive, out], capture_output=True, text=True)
    check(result.returncode == 0, f"{label}: zipdriver unzip exits 0 ({result.stdout.strip()} {result.stderr.strip()})")
    ours = files_in(out)
    expected = expected_by_python(archive)
    check(ours == expected, f"{label}: files and bytes as Python reads them: {sorted(ours)} vs {sorted(expected)}")
    check(result.stdout.strip() == str(len([1 for i in zipfile.ZipFile(archive).infolist() if not i.is_dir()])),
          f"{label}: the count printed is the number of files ({result.stdout.strip()})")
    # unzip's own result, flattened: the same contents.
    theirs_dir = os.path.join(work, "unzip-" + label)
    os.makedirs(theirs_dir)
    subprocess.run(["unzip", "-j", "-o", "-q", archive, "-d", theirs_dir], check=False,
                   env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"))
    theirs = files_in(theirs_dir)
    digest = lambda files: sorted(hashlib.sha256(v).hexdigest() for v in files.values())
    check(digest(ours) == digest(theirs), f"{label}: same contents as unzip -j")
    # The listing agrees with Python's directory.
    listing = subprocess.run([DRIVER, "list", archive], capture_output=True, text=True).stdout.splitlines()
    infos = zipfile.ZipFile(archive).infolist()
    check(len(listing) == len(infos), f"{label}: list shows every entry ({len(listing)} vs {len(infos)})")
    for line, info in zip(sorted(listing, key=lambda l: l.split("\t")[0]), sorted(infos, key=lambda i: i.filename)):
        name, method, csize, usize, crc, _ = line.split("\t")
        check(name.rstrip("/") == info.filename.rstrip("/") and int(method) == info.compress_type and
              int(usize) == info.file_size and int(csize) == info.compress_size and int(crc, 16) == info.CRC,
              f"{label}: listing of {info.filename}: {line}")


def raw_entries(archive):
    """(name, comment, raw compressed bytes) of every entry, in archive order."""
    data = open(archive, "rb").read()
    result = []
    with zipfile.ZipFile(archive) as zf:
        for info in sorted(zf.infolist(), key=lambda i: i.header_offset):
            offset = info.header_offset
            name_length, extra_length = struct.unpack("<HH", data[offset + 26:offset + 30])
            start = offset + 30 + name_length + extra_length
            result.append((info.filename, info.comment, data[start:start + info.compress_size]))
    return result


def unzip_test(archive):
    return subprocess.run(["unzip", "-tqq", archive], capture_output=True).returncode == 0


def written_by_us(work, src, contents):
    """Archives zipdriver writes pass unzip -t and read back byte for byte in Python."""
    files = [os.path.join(src, n) for n in ("1.reg", "2.reg", "3.reg", "sub/a.txt", "sub/dir/b.bin")]
    oem = os.path.join(src, "\u00e4rger.reg")
    euro = os.path.join(src, "\u20ac.reg")
    for path, data in ((oem, b"oem"), (euro, b"euro")):
        with open(path, "wb") as f:
            f.write(data)
    files += [oem, euro]
    for level in (0, 1, 6, 9):
        archive = os.path.join(work, f"ours-{level}.zip")
        result = subprocess.run([DRIVER, "zip", archive, str(level), *files], capture_output=True, text=True)
        check(result.stdout.strip() == str(len(files)), f"ours level {level}: all files zipped ({result.stdout})")
        check(unzip_test(archive), f"ours level {level}: unzip -t passes")
        with zipfile.ZipFile(archive) as zf:
            for path in files:
                name = os.path.basename(path)
                check(zf.read(name) == open(path, "rb").read(), f"ours level {level}: {name} reads back")
        with open(archive, "rb") as f:
            flags = struct.unpack("<H", f.read(8)[6:8])[0]
        check(flags == {0: 4, 1: 4, 6: 0, 9: 2}[level], f"ours level {level}: flags {flags:#x}")

    # More than 65,534 entries: the zip64 end record and locator.
    many = os.path.join(work, "many")
    os.makedirs(many)
    names = []
    for i in range(65535):
        with open(os.path.join(many, f"{i}.r"), "wb") as f:
            f.write(str(i).encode())
        names.append(f"{i}.r")
    archive = os.path.join(work, "ours-zip64.zip")
    # Names without a folder, from the folder itself: the list fits one command line.
    result = subprocess.run([DRIVER, "zip", archive, "6", *names], cwd=many, capture_output=True, text=True)
    check(result.stdout.strip() == "65535", f"ours zip64: every file zipped ({result.stdout.strip()})")
    data = open(archive, "rb").read()
    check(data.rfind(b"PK\x06\x06") > 0 and data.rfind(b"PK\x06\x07") > 0, "ours zip64: zip64 end record and locator")
    check(unzip_test(archive), "ours zip64: unzip -t passes")
    with zipfile.ZipFile(archive) as zf:
        infos = zf.infolist()
        check(len(infos) == 65535, f"ours zip64: Python sees {len(infos)} entries")
        check(zf.read("65534.r") == b"65534" and zf.read("0.r") == b"0", "ours zip64: entries read back")
    shutil.rmtree(many)


def updated_by_us(work, src, archives):
    """Archives of zip and Python updated by us keep their other entries, order, comments and
    data bytes; a newer file replaces its entry in place, a new name is appended."""
    for original in archives:
        label = os.path.basename(original)
        archive = os.path.join(work, "updated-" + label)
        shutil.copy(original, archive)
        before = raw_entries(archive)
        comment = zipfile.ZipFile(archive).comment
        replaced_name = before[0][0].split("/")[-1]
        newer = os.path.join(work, "newer", replaced_name)
        os.makedirs(os.path.dirname(newer), exist_ok=True)
        with open(newer, "wb") as f:
            f.write(b"a newer file")
        os.utime(newer, (time.time() + 3600, time.time() + 3600))
        fresh = os.path.join(work, "newer", "fresh.reg")
        with open(fresh, "wb") as f:
            f.write(b"appended")
        result = subprocess.run([DRIVER, "zip", archive, "9", newer, fresh], capture_output=True, text=True)
        check(result.returncode == 0, f"update {label}: runs ({result.stdout} {result.stderr})")
        check(unzip_test(archive), f"update {label}: unzip -t passes")
        after = raw_entries(archive)
        replaces = "/" not in before[0][0]
        expected_names = [n for n, _, _ in before] + ["fresh.reg"]
        check([n for n, _, _ in after] == expected_names, f"update {label}: order {[n for n, _, _ in after]}")
        for (name, entry_comment, raw), (name2, entry_comment2, raw2) in zip(before[1:], after[1:]):
            check(raw == raw2 and entry_comment == entry_comment2, f"update {label}: {name} kept byte for byte")
        with zipfile.ZipFile(archive) as zf:
            check(zf.comment == comment, f"update {label}: archive comment kept")
            if replaces:
                check(zf.read(before[0][0]) == b"a newer file", f"update {label}: newer file replaced its entry")
            check(zf.read("fresh.reg") == b"appended", f"update {label}: new name appended")


def main():
    work = tempfile.mkdtemp(prefix="quill-interop-")
    try:
        src = os.path.join(work, "src")
        os.makedirs(os.path.join(src, "sub", "dir"))
        os.makedirs(os.path.join(src, "empty"))
        contents = {
            "1.reg": mixed(70000, 1),
            "2.reg": b"",
            "3.reg": b"x",
            "sub/a.txt": mixed(300, 2),
            "sub/dir/b.bin": os.urandom(40000),
            "sub/dir/1.reg": b"the later 1.reg wins",
        }
        for name, data in contents.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)

        def zipit(label, *args, stdin=None, cwd=src):
            archive = os.path.join(work, label + ".zip")
            subprocess.run(["zip", "-q", *args], cwd=cwd, check=True, input=stdin,
                           stdout=open(archive, "wb") if "-" in args[:1] else None)
            return archive

        # Info-ZIP zip.
        names = ["1.reg", "2.reg", "3.reg", "sub", "empty"]
        compare("zip-deflated", zipit("zip-deflated", "-r", os.path.join(work, "zip-deflated.zip"), *names), work)
        compare("zip-stored", zipit("zip-stored", "-0", "-r", os.path.join(work, "zip-stored.zip"), *names), work)
        commented = zipit("zip-comment", "-r", os.path.join(work, "zip-comment.zip"), *names)
        subprocess.run(["zip", "-q", "-z", commented], input=b"an archive comment\n", check=True)
        compare("zip-comment", commented, work)
        compare("zip-descriptors", zipit("zip-descriptors", "-", "-fd", "-r", *names), work)
        piped = os.path.join(work, "zip-pipe.zip")
        with open(piped, "wb") as out:
            subprocess.run(["zip", "-q", "-", "-"], input=contents["1.reg"], stdout=out, check=True)
        compare("zip-pipe", piped, work)
        compare("zip-zip64", zipit("zip-zip64", "-fz", "-r", os.path.join(work, "zip-zip64.zip"), *names), work)

        # Python's zipfile.
        utf8 = os.path.join(work, "py-utf8.zip")
        with zipfile.ZipFile(utf8, "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr("caf\u00e9.reg", mixed(5000, 3))
            zf.writestr("\u03bb/\u65e5\u672c.reg", b"greek and japanese")
            zf.writestr("plain.reg", b"plain")
        compare("py-utf8", utf8, work)

        cp437 = os.path.join(work, "py-cp437.zip")
        with zipfile.ZipFile(cp437, "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr("XrgerX.reg", b"oem name")
        # Python writes non-ASCII names as UTF-8 only; put CP437 bytes in place of the
        # placeholder, without the UTF-8 flag.
        data = bytearray(open(cp437, "rb").read())
        data = data.replace(b"XrgerX", "\u00e4rger\u00df".encode("cp437"))
        open(cp437, "wb").write(data)
        compare("py-cp437", cp437, work)
        check("\u00e4rger\u00df.reg" in files_in(os.path.join(work, "ours-py-cp437")), "CP437 name decoded")

        forced = os.path.join(work, "py-zip64.zip")
        with zipfile.ZipFile(forced, "w", zipfile.ZIP_DEFLATED) as zf:
            for i in range(3):
                with zf.open(zipfile.ZipInfo(f"{i}.reg", (2013, 5, 5, 6, 42, 38)), "w", force_zip64=True) as f:
                    f.write(mixed(20000 + i, 10 + i))
        compare("py-zip64", forced, work)

        comments = os.path.join(work, "py-comments.zip")
        with zipfile.ZipFile(comments, "w", zipfile.ZIP_STORED) as zf:
            zf.comment = b"archive comment"
            info = zipfile.ZipInfo("1.reg", (2013, 5, 5, 6, 42, 38))
            info.comment = b"entry comment"
            zf.writestr(info, b"with comments")
            zf.writestr("2.reg", b"second")
        compare("py-comments", comments, work)

        written_by_us(work, src, contents)
        updated_by_us(work, src, [comments, commented, utf8])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{passes} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
