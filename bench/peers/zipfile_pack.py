"""Benchmark peer: packs the files named on standard input (one per line)
into a zip archive with Python's zipfile at a given deflate level.
Usage: python3 zipfile_pack.py OUTPUT.zip LEVEL < names"""
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=int(sys.argv[2])) as z:
    for line in sys.stdin:
        name = line.rstrip("\n")
        if name:
            z.write(name)
