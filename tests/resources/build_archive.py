#!/usr/bin/env python3
"""Builds a test archive: python3 build_archive.py OUT < members.json

OUT ends in .tar.gz, .tgz or .zip. Each member is an object with "name" and
"kind" ("file", "dir", "symlink" or "fifo"), "data" for a file, "target" for
a link and an optional octal "mode". Names and targets are written exactly
as given, absolute paths and ".." included, so that archives can be hostile.
"""

import io
import json
import stat
import sys
import tarfile
import zipfile


def build_tar(out, members):
    kinds = {"file": tarfile.REGTYPE, "dir": tarfile.DIRTYPE, "symlink": tarfile.SYMTYPE, "fifo": tarfile.FIFOTYPE}
    with tarfile.open(out, "w:gz") as archive:
        for member in members:
            info = tarfile.TarInfo(member["name"])
            info.type = kinds[member["kind"]]
            info.mode = int(member.get("mode", "755" if member["kind"] == "dir" else "644"), 8)
            info.linkname = member.get("target", "")
            data = member.get("data", "").encode()
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data) if member["kind"] == "file" else None)


def build_zip(out, members):
    types = {"file": stat.S_IFREG, "dir": stat.S_IFDIR, "symlink": stat.S_IFLNK}
    with zipfile.ZipFile(out, "w") as archive:
        for member in members:
            name = member["name"] + ("/" if member["kind"] == "dir" else "")
            info = zipfile.ZipInfo(name)
            info.create_system = 3  # unix: the mode bits below count
            mode = int(member.get("mode", "755" if member["kind"] == "dir" else "644"), 8)
            info.external_attr = (types[member["kind"]] | mode) << 16
            body = member.get("target", "") if member["kind"] == "symlink" else member.get("data", "")
            archive.writestr(info, body)


def main():
    out = sys.argv[1]
    members = json.load(sys.stdin)
    if out.endswith(".zip"):
        build_zip(out, members)
    else:
        build_tar(out, members)


if __name__ == "__main__":
    main()
