"""Result files of the command-line tool: HDF5 (default) or NPY with a JSON side file.

Every file of a run (the results, the NPY side file, the plot, the scratch file of the units)
is written under a hidden temporary name in its folder, ``.NAME.part-PID``, which this module
records. The finished files are renamed into place together, only when everything of the run
has succeeded (`publish`); a failed or interrupted run removes exactly the temporary files it
recorded (`remove_parts`) and leaves every existing file as it was. Large arrays are created
empty and filled piece by piece.
"""

import json
import os
from typing import Any, Dict, List, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["open_output", "part_name", "remove_parts", "publish", "result_files", "npy_stem"]

#: The temporary files this process has made and not yet renamed or removed.
_PARTS = set()


def part_name(path: str, suffix: str = "") -> str:
    """The hidden temporary name of a file of this run while it is written (recorded, so that
    a failed run removes it)."""
    folder, name = os.path.split(os.path.abspath(path))
    part = os.path.join(folder, f".{name}.part-{os.getpid()}{suffix}")
    _PARTS.add(part)
    return part


def remove_parts() -> None:
    """Remove every temporary file this run made: exactly those, whatever else lies beside
    them."""
    for part in sorted(_PARTS):
        _remove(part)


def _remove(part: str) -> None:
    try:
        os.remove(part)
    except OSError:
        pass
    _PARTS.discard(part)


def publish(pairs: List[Tuple[str, str]]) -> List[str]:
    """Rename finished temporary files into place, in the given order; returns the final
    names."""
    for part, final in pairs:
        os.replace(part, final)
        _PARTS.discard(part)
    return [final for _, final in pairs]


def npy_stem(path: str) -> str:
    """The stem of the NPY files of a result path: the path without .h5 or .hdf5."""
    stem = path[:-3] if path.endswith(".h5") else path
    return stem[:-5] if stem.endswith(".hdf5") else stem


def result_files(path: str, fmt: str) -> List[str]:
    """The files a result of the format writes, as far as known before the run: the HDF5
    file, or the NPY side file (the arrays are STEM.GROUP.NAME.npy)."""
    return [path] if fmt == "hdf5" else [npy_stem(path) + ".json"]


def _plain(value):
    """An attribute value as HDF5 and JSON take it."""
    if isinstance(value, (list, tuple)) and value and all(isinstance(v, str) for v in value):
        return list(value)
    return value


def _finite(name, data):
    """The data of a dataset; ValueError when a floating-point value is NaN or infinite (no
    result file holds one)."""
    a = np.asarray(data)
    if a.dtype.kind in "fc" and not np.all(np.isfinite(a)):
        raise ValueError(f"{name}: values that are not finite (NaN or infinite); the job's "
                         f"values overflow the range of double precision")
    return a


def _set_attrs(target, attrs):
    for k, v in attrs.items():
        target.attrs[k] = _plain(v)


class Hdf5Output:
    """One HDF5 file written under a temporary name."""

    format = "hdf5"

    def __init__(self, path: str) -> None:
        import h5py
        self.path = path
        self.part = part_name(path)
        self.file = h5py.File(self.part, "w")

    def array(self, name: str, data: ArrayLike, /, **attrs: Any) -> Any:
        d = self.file.create_dataset(name, data=_finite(name, data))
        _set_attrs(d, attrs)
        return d

    def stream(self, name: str, shape: Tuple[int, ...], /, **attrs: Any) -> Any:
        """An empty float64 dataset filled later by slices (`out[name][index] = values`)."""
        chunks = tuple(max(1, min(s, 64)) for s in shape) if 0 not in shape else None
        d = self.file.create_dataset(name, shape=shape, dtype="f8", chunks=chunks)
        _set_attrs(d, attrs)
        return d

    def attrs(self, name: str, /, **attrs: Any) -> None:
        _set_attrs(self.file.require_group(name) if name != "/" else self.file, attrs)

    def __getitem__(self, name):
        return self.file[name]

    def close(self) -> List[Tuple[str, str]]:
        """Closes the file; returns the (temporary, final) names to publish."""
        self.file.close()
        return [(self.part, self.path)]

    def discard(self) -> None:
        """Closes and removes the temporary file."""
        try:
            self.file.close()
        except Exception:
            pass
        _remove(self.part)


class NpyOutput:
    """One NPY file per array (``STEM.GROUP.NAME.npy``) and ``STEM.json`` with axes, units and
    attributes; the side file is published last."""

    format = "npy"

    def __init__(self, path: str) -> None:
        self.stem = npy_stem(path)
        self.meta: Dict[str, dict] = {}
        self.files: Dict[str, str] = {}

    def _file(self, name):
        return f"{self.stem}.{name.strip('/').replace('/', '.')}.npy"

    def array(self, name: str, data: ArrayLike, /, **attrs: Any) -> None:
        final = self._file(name)
        part = part_name(final)
        with open(part, "wb") as handle:
            np.save(handle, _finite(name, data))
        self.files[final] = part
        self.meta[name] = dict(attrs, file=os.path.basename(final), shape=list(np.shape(data)))

    def stream(self, name: str, shape: Tuple[int, ...], /, **attrs: Any) -> np.ndarray:
        final = self._file(name)
        part = part_name(final)
        m = np.lib.format.open_memmap(part, mode="w+", dtype="f8", shape=tuple(shape))
        self.files[final] = part
        self.meta[name] = dict(attrs, file=os.path.basename(final), shape=list(shape))
        return m

    def attrs(self, name: str, /, **attrs: Any) -> None:
        self.meta.setdefault(name, {}).update(attrs)

    def close(self) -> List[Tuple[str, str]]:
        side = self.stem + ".json"
        part = part_name(side)
        with open(part, "w") as handle:
            json.dump(self.meta, handle, indent=1, sort_keys=True, default=_json_default)
            handle.write("\n")
        return [(temp, final) for final, temp in self.files.items()] + [(part, side)]

    def discard(self) -> None:
        """Removes the temporary files."""
        for part in self.files.values():
            _remove(part)


def _json_default(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(type(value).__name__)


def open_output(path: str, fmt: str) -> Union[Hdf5Output, NpyOutput]:
    """A writer of the given format ("hdf5" or "npy") for the result path."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OSError(f"output folder {folder} does not exist")
    return Hdf5Output(path) if fmt == "hdf5" else NpyOutput(path)
