"""The cabinet's private world, set up from inside fresh network, mount and PID namespaces.

Everything here changes only the private mount namespace: a directory that must not exist on the
host is never created there; instead a tmpfs covers its deepest existing ancestor and the
ancestor's former entries are bound back in place.
"""

import os
import stat
import subprocess

STATION_ADDRESSES = ["192.168.0.%d" % (10 + n) for n in range(17)]

# What the cabinet's programs and the view need of /dev; everything else stays hidden.
DEVICE_NODES = ("null", "zero", "full", "random", "urandom", "tty", "ptmx", "fuse", "console")
DEVICE_DIRECTORIES = ("pts", "shm", "mqueue")

# Directories this process has laid a tmpfs over: anything below them may be created freely.
_covered = set()


def run(*argv):
    subprocess.run(argv, check=True)


def _exists(path):
    return os.path.lexists(path)


def _deepest_existing(path):
    while not _exists(path):
        path = os.path.dirname(path)
    return path


def _bind_back(source, target):
    """Puts one entry of a covered directory back: symlinks copied, the rest bind-mounted."""
    info = os.lstat(source)
    if stat.S_ISLNK(info.st_mode):
        os.symlink(os.readlink(source), target)
        return
    if stat.S_ISDIR(info.st_mode):
        os.mkdir(target, 0o755)
    else:
        open(target, "a").close()
    run("mount", "--rbind", source, target)


def cover(directory, staging, keep=None):
    """Lays a tmpfs over `directory`, binding back its entries (all, or those in `keep`)."""
    os.makedirs(staging, exist_ok=True)
    run("mount", "--rbind", directory, staging)
    run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", directory)
    _covered.add(directory)
    for name in sorted(os.listdir(staging)):
        if keep is not None and name not in keep:
            continue
        _bind_back(os.path.join(staging, name), os.path.join(directory, name))
    run("umount", "--lazy", staging)


def provide(path, staging, directory=False):
    """Makes `path` exist inside the namespace without touching the host's file system."""
    if _exists(path):
        return
    ancestor = _deepest_existing(os.path.dirname(path))
    if not any(ancestor == d or ancestor.startswith(d + "/") for d in _covered):
        if ancestor == "/":
            raise RuntimeError("refusing to cover / to create %s" % path)
        cover(ancestor, staging)
    if directory:
        os.makedirs(path, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "a").close()


def private_tmpfs(path, staging):
    """A fresh empty tmpfs at `path` (created on a covering tmpfs when it does not exist)."""
    provide(path, staging, directory=True)
    run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", path)


def private_dev(staging):
    """A tmpfs /dev holding only the device nodes that are needed, so that /dev/log and
    /dev/i2c-0 can be made without touching the host's /dev."""
    os.makedirs(staging, exist_ok=True)
    run("mount", "--rbind", "/dev", staging)
    run("mount", "-t", "tmpfs", "-o", "mode=0755,nosuid", "tmpfs", "/dev")
    _covered.add("/dev")
    for name in sorted(os.listdir(staging)):
        source = os.path.join(staging, name)
        info = os.lstat(source)
        if stat.S_ISLNK(info.st_mode):
            _bind_back(source, os.path.join("/dev", name))
        elif name in DEVICE_NODES and not stat.S_ISDIR(info.st_mode):
            _bind_back(source, os.path.join("/dev", name))
        elif name in DEVICE_DIRECTORIES and stat.S_ISDIR(info.st_mode):
            _bind_back(source, os.path.join("/dev", name))
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        if not _exists(os.path.join("/dev", name)):
            os.symlink(target, os.path.join("/dev", name))
    run("umount", "--lazy", staging)


def network():
    """Loopback up, with every station's address on it."""
    commands = "link set lo up\n" + "".join(
        "address add %s/32 dev lo\n" % address for address in STATION_ADDRESSES)
    subprocess.run(["ip", "-batch", "-"], input=commands.encode(), check=True)


def bind(source, target):
    run("mount", "--bind", source, target)
