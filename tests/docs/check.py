#!/usr/bin/env python3
"""The README and the documents as a newcomer meets them, and the version as users see it.

  check.py SOURCE_DIR PROGRAM HELPER [PPD SOURCE_PPD]

- README.md gives exactly the two set-up commands, scripts/run and scripts/test, and both
  are there and can be run;
- every local link of README.md, NEWS.md and docs/*.md leads to a file of the repository,
  and a link to a heading (#anchor) to a heading of that file;
- `PROGRAM --version` and `HELPER --version` print the version of CMakeLists.txt, which is
  the version of the Debian packages (scripts/changelog, which also checks that NEWS.md
  begins with that release);
- the PDF printer's PPD keeps every comment line ("*%": its authors and licence) of the
  PPD it is made from, in order.
"""
import os
import pathlib
import re
import subprocess
import sys

root = pathlib.Path(sys.argv[1]).resolve()
program, helper = sys.argv[2], sys.argv[3]
failures = []


def fail(message):
    failures.append(message)


# The two set-up commands: indented code lines of the "Set-up" section.
readme = (root / "README.md").read_text()
setup = re.search(r"^## Set-up\n(.*?)(?=^## )", readme, re.S | re.M)
commands = re.findall(r"^    (\S.*)$", setup.group(1), re.M) if setup else []
if commands != ["scripts/run", "scripts/test"]:
    fail(f"README's set-up commands are {commands}, not scripts/run and scripts/test")
for command in ("scripts/run", "scripts/test"):
    if not os.access(root / command, os.X_OK):
        fail(f"{command} is missing or cannot be run")


def slug(heading):
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    return re.sub(r"\s", "-", re.sub(r"[^\w\s-]", "", text))


def anchors(path):
    lines = path.read_text().splitlines()
    return {slug(line.lstrip("#")) for line in lines if re.match(r"^#{1,6} ", line)}


documents = [root / "README.md", root / "NEWS.md", *sorted((root / "docs").glob("*.md"))]
for document in documents:
    if not document.exists():
        fail(f"{document.relative_to(root)} is missing")
        continue
    text = re.sub(r"^(```|    ).*$", "", document.read_text(), flags=re.M)  # code is not a link
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"^[a-z]+:", target):
            continue  # a web address
        file, _, anchor = target.partition("#")
        path = (document.parent / file).resolve() if file else document
        where = f"{document.relative_to(root)} links to {target}"
        if root not in path.parents and path != root:
            fail(f"{where}, outside the repository")
        elif not path.exists():
            fail(f"{where}, which does not exist")
        elif anchor and path.suffix == ".md" and anchor not in anchors(path):
            fail(f"{where}, a heading that {path.relative_to(root)} does not have")

# One version: CMake's, the packages' and what both programs print.
changelog = subprocess.run([str(root / "scripts/changelog"), str(root)], capture_output=True, text=True)
if changelog.returncode != 0:
    fail(f"scripts/changelog: {changelog.stderr.strip()}")
    package_version = None
else:
    package_version = re.match(r"^\S+ \(([^)]+)\)", changelog.stdout).group(1)
cmake_version = re.search(r"^project\(\S+\s+VERSION\s+([0-9.]+)", (root / "CMakeLists.txt").read_text(), re.M).group(1)
if package_version and package_version != cmake_version:
    fail(f"the packages' version {package_version} is not CMake's {cmake_version}")
for binary, name in ((program, "quill-server-management"), (helper, "quill-printui")):
    # --version must answer without a display, a print server or a second copy's guard.
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    done = subprocess.run([binary, "--version"], capture_output=True, text=True, timeout=30, env=env)
    if done.returncode != 0 or done.stdout != f"{name} {cmake_version}\n":
        fail(f"{name} --version printed {done.stdout!r} (exit {done.returncode}), not '{name} {cmake_version}'")

if len(sys.argv) > 5:
    made = [line for line in pathlib.Path(sys.argv[4]).read_text(encoding="latin-1").splitlines() if line.startswith("*%")]
    source = [line for line in pathlib.Path(sys.argv[5]).read_text(encoding="latin-1").splitlines() if line.startswith("*%")]
    it = iter(made)
    if not all(line in it for line in source):
        fail("the PDF printer's PPD lost comment lines of the PPD it is made from")
    if not any("GPL-2+" in line for line in made):
        fail("the PDF printer's PPD does not name its licence")

for message in failures:
    print("FAIL:", message)
if not failures:
    print(f"README, links and version {cmake_version} as expected")
sys.exit(1 if failures else 0)
