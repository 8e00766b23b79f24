#!/usr/bin/env python3
"""Runs the command examples of the README and the command's docs exactly as written.

Every line of a ```sh block that calls `orvanta` (or `build/bin/orvanta`) to render, list or
describe is run with bash in a fresh folder laid out as the README assumes: the top of the tree
holds build/bin and orvanta-demo/ (made by `orvanta demo`), and build/bin is on PATH. A block
starts at the top; its `cd` lines move it. A line fails the test when it exits with a status
other than 0 or leaves no file where its -o names one.

    run_examples.py SOURCE_DIR BIN_DIR
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

DOCS = ["README.md", "docs/orvanta-command.md", "docs/compositions.md"]
RUN = {"render", "tools", "info"}  # demo runs once below; serve and farm do not end by themselves
GLOBAL_WITH_VALUE = {"--plugins", "--threads", "--memory-budget"}


def verb(words):
    """The command word after orvanta's global options, or None when the line is not orvanta's."""
    if not words or os.path.basename(words[0]) != "orvanta":
        return None
    i = 1
    while i < len(words) and words[i].startswith("-"):
        i += 2 if words[i] in GLOBAL_WITH_VALUE else 1
    return words[i] if i < len(words) else None


def examples(text):
    """(folder relative to the top, line, words) of every line to run, in order."""
    for block in re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M):
        folder = "."
        for line in block.replace("\\\n", " ").splitlines():
            line = re.sub(r"\s+#.*$", "", line)  # a comment, as bash reads it (not shot.#.exr)
            words = shlex.split(line)
            if words[:1] == ["cd"]:
                folder = os.path.normpath(os.path.join(folder, words[1]))
            elif verb(words) in RUN:
                yield folder, line.strip(), words


def output_of(words):
    """The -o path of a render, unless it is a frame pattern."""
    for flag, value in zip(words, words[1:]):
        if flag == "-o" and "#" not in value and "%" not in value:
            return value
    return None


def main():
    source, bindir = sys.argv[1], os.path.abspath(sys.argv[2])
    top = tempfile.mkdtemp(prefix="orvanta-examples-")
    failed = ran = 0
    try:
        os.makedirs(os.path.join(top, "build"))
        os.symlink(bindir, os.path.join(top, "build", "bin"))
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
        subprocess.run(["orvanta", "-q", "demo"], cwd=top, env=env, check=True, stdout=subprocess.DEVNULL)
        for doc in DOCS:
            with open(os.path.join(source, doc), encoding="utf-8") as f:
                text = f.read()
            for folder, line, words in examples(text):
                ran += 1
                cwd = os.path.join(top, folder)
                r = subprocess.run(["bash", "-c", line], cwd=cwd, env=env, capture_output=True, text=True)
                out = output_of(words)
                missing = out is not None and not os.path.exists(os.path.join(cwd, out))
                if r.returncode != 0 or missing:
                    failed += 1
                    why = r.stderr.strip() or ("no " + out if missing else "")
                    print(f"FAIL {doc} (in {folder}): {line}\n     status {r.returncode}: {why}")
                else:
                    print(f"ok   {doc} (in {folder}): {line}")
    finally:
        shutil.rmtree(top, ignore_errors=True)
    print(f"{ran - failed} of {ran} examples ran as written")
    if ran == 0:
        print("FAIL no examples were found")
    return 1 if failed or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
