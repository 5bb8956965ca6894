#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Builds an input tree with hostile file and folder names for hostile_names.sh.

  make_hostile_tree.py names DIR PHOTO      quotes, <, &, line breaks, invalid UTF-8,
                                            ".partial" names, long names, and paths that
                                            come near PATH_MAX (4096 bytes) in the input
                                            and pass it in the output
  make_hostile_tree.py beyond DIR PHOTO     two ordinary photos and one in a folder whose
                                            path is longer than PATH_MAX

Prints the number of JPEGs a walk should find (regular files ending in
.jpg/.jpeg, any case, outside hidden names).
"""
import os
import sys

PATH_MAX = 4096


def put(dir_fd, name, data):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
    os.write(fd, data)
    os.close(fd)


def chain(top_fd, top_length, target_length, component=200):
    """Nested folders below top until the path is about target_length bytes long;
    returns (fd of the deepest folder, its path length)."""
    fd, length, i = os.dup(top_fd), top_length, 0
    while length + 1 + component <= target_length:
        name = (b"%03d-" % i) + b"d" * (component - 4)
        os.mkdir(name, dir_fd=fd)
        child = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd, length, i = child, length + 1 + len(name), i + 1
    rest = target_length - length - 1
    if rest > 0:
        name = b"e" * rest
        os.mkdir(name, dir_fd=fd)
        child = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd, length = child, length + 1 + rest
    return fd, length


def names(top, photo):
    os.makedirs(top)
    top_b = os.fsencode(os.path.abspath(top))
    top_fd = os.open(top_b, os.O_RDONLY | os.O_DIRECTORY)
    jpegs = 0
    files = [
        b'quote"double.jpg',
        b"single'quote.jpg",
        b"<img src=x onerror=alert(1)>.jpg",
        b"a&b&amp;c.jpg",
        b"line\nbreak.jpg",
        b"carriage\rreturn.JPG",
        b"tab\tand,comma.jpeg",
        b"bad-\xff\xfe-bytes.jpg",
        b"half-\xe4\xb8-char.jpg",
        b"ends-with.partial.jpg",
        "中文 名字 😀.JPG".encode(),
        b"L" * 251 + b".jpg",                      # 255 bytes, NAME_MAX
    ]
    for name in files:
        put(top_fd, name, photo)
        jpegs += 1
    # Not photos: never read, never delivered.
    put(top_fd, b"photo.jpg.partial", photo)
    put(top_fd, b".0F3C2D4E-1A2B-4C5D-8E9F-0123456789AB.partial", photo)
    put(top_fd, b".hidden.jpg", photo)
    for folder, inner in ((b'dir "quoted" <b>&', b"x.jpg"), (b"bad-\xff-dir", b"y.jpg"),
                          (b"folder.partial", b"z.jpg"), (b"line\nfolder", b"w.jpg")):
        os.mkdir(folder, dir_fd=top_fd)
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY, dir_fd=top_fd)
        put(fd, inner, photo)
        os.close(fd)
        jpegs += 1
    # Deep: one photo whose output path still fits (input about 3700 bytes) and
    # one whose input path fits but whose output path (about 60 bytes longer) does not.
    for target, name in ((3700, b"deep-fits.jpg"), (PATH_MAX - 1 - 20, b"deep-output-too-long.jpg")):
        os.mkdir(b"deep-%d" % target, dir_fd=top_fd)
        sub = os.open(b"deep-%d" % target, os.O_RDONLY | os.O_DIRECTORY, dir_fd=top_fd)
        fd, length = chain(sub, len(top_b) + 1 + len(b"deep-%d" % target), target - 1 - len(name))
        put(fd, name, photo)
        os.close(fd)
        os.close(sub)
        jpegs += 1
    os.close(top_fd)
    return jpegs


def beyond(top, photo):
    os.makedirs(top)
    top_b = os.fsencode(os.path.abspath(top))
    top_fd = os.open(top_b, os.O_RDONLY | os.O_DIRECTORY)
    put(top_fd, b"a.jpg", photo)
    put(top_fd, b"b.jpg", photo)
    os.mkdir(b"deep", dir_fd=top_fd)
    sub = os.open(b"deep", os.O_RDONLY | os.O_DIRECTORY, dir_fd=top_fd)
    fd, length = chain(sub, len(top_b) + 5, PATH_MAX + 300)
    put(fd, b"c.jpg", photo)
    os.close(fd)
    os.close(sub)
    os.close(top_fd)
    return 3


def main():
    kind, top, photo_path = sys.argv[1:4]
    with open(photo_path, "rb") as f:
        photo = f.read()
    print({"names": names, "beyond": beyond}[kind](top, photo))


if __name__ == "__main__":
    main()
