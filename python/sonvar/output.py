"""Result files of the command-line tool: HDF5 (default) or NPY with a JSON side file.

Everything is written under temporary names in the target folder and renamed
into place only when complete, so an interrupted or failed run leaves no file
that looks finished (at most a hidden ``.NAME.part-PID`` that the next run
does not read). Large arrays are created empty and filled piece by piece.
"""

import json
import os

import numpy as np

__all__ = ["open_output", "part_name", "remove_parts"]


def part_name(path):
    """The hidden temporary name of a result file while it is written."""
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, f".{name}.part-{os.getpid()}")


def remove_parts(path):
    """Remove every temporary file this process made beside the result path."""
    folder = os.path.dirname(os.path.abspath(path))
    mark = f".part-{os.getpid()}"
    for name in os.listdir(folder):
        if name.startswith(".") and mark in name:
            try:
                os.remove(os.path.join(folder, name))
            except OSError:
                pass


def _plain(value):
    """An attribute value as HDF5 and JSON take it."""
    if isinstance(value, (list, tuple)) and value and all(isinstance(v, str) for v in value):
        return list(value)
    if isinstance(value, np.ndarray):
        return value
    return value


class Hdf5Output:
    """One HDF5 file written under a temporary name."""

    format = "hdf5"

    def __init__(self, path):
        import h5py
        self.path = path
        self.part = part_name(path)
        self.file = h5py.File(self.part, "w")

    def array(self, name, data, /, **attrs):
        d = self.file.create_dataset(name, data=data)
        for k, v in attrs.items():
            d.attrs[k] = _plain(v)
        return d

    def stream(self, name, shape, /, **attrs):
        """An empty float64 dataset filled later by slices (`out[name][index] = values`)."""
        chunks = tuple(max(1, min(s, 64)) for s in shape) if 0 not in shape else None
        d = self.file.create_dataset(name, shape=shape, dtype="f8", chunks=chunks)
        for k, v in attrs.items():
            d.attrs[k] = _plain(v)
        return d

    def attrs(self, name, /, **attrs):
        target = self.file.require_group(name) if name != "/" else self.file
        for k, v in attrs.items():
            target.attrs[k] = _plain(v)

    def __getitem__(self, name):
        return self.file[name]

    def commit(self):
        self.file.close()
        os.replace(self.part, self.path)
        return [self.path]

    def discard(self):
        try:
            self.file.close()
        except Exception:
            pass
        if os.path.exists(self.part):
            os.remove(self.part)


class NpyOutput:
    """One NPY file per array (``STEM.GROUP.NAME.npy``) and ``STEM.json`` with axes, units and
    attributes; the side file is renamed last."""

    format = "npy"

    def __init__(self, path):
        stem = path[:-3] if path.endswith(".h5") else path
        self.stem = stem[:-5] if stem.endswith(".hdf5") else stem
        self.meta = {}
        self.files = {}

    def _file(self, name):
        return f"{self.stem}.{name.strip('/').replace('/', '.')}.npy"

    def array(self, name, data, /, **attrs):
        final = self._file(name)
        part = part_name(final)
        np.save(part + ".npy", np.asarray(data))
        os.replace(part + ".npy", part)
        self.files[final] = part
        self.meta[name] = dict(attrs, file=os.path.basename(final), shape=list(np.shape(data)))

    def stream(self, name, shape, /, **attrs):
        final = self._file(name)
        part = part_name(final)
        m = np.lib.format.open_memmap(part, mode="w+", dtype="f8", shape=tuple(shape))
        self.files[final] = part
        self.meta[name] = dict(attrs, file=os.path.basename(final), shape=list(shape))
        return m

    def attrs(self, name, /, **attrs):
        self.meta.setdefault(name, {}).update(attrs)

    def commit(self):
        side = self.stem + ".json"
        part = part_name(side)
        with open(part, "w") as handle:
            json.dump(self.meta, handle, indent=1, sort_keys=True, default=_json_default)
            handle.write("\n")
        for final, temp in self.files.items():
            os.replace(temp, final)
        os.replace(part, side)
        return list(self.files) + [side]

    def discard(self):
        for temp in self.files.values():
            if os.path.exists(temp):
                os.remove(temp)


def _json_default(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(type(value).__name__)


def open_output(path, fmt):
    """A writer of the given format ("hdf5" or "npy") for the result path."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OSError(f"output folder {folder} does not exist")
    return Hdf5Output(path) if fmt == "hdf5" else NpyOutput(path)
