"""Docstring parts that sibling functions share, written once.

A docstring names a shared part on a line of its own, ``{name}`` (a Python
name); the decorator `shared_doc` puts the part's lines there at that line's
indentation, so that ``help()`` and the docstring's examples read the whole
text.
"""

import textwrap


def shared_doc(**parts: str):
    """Decorator: each line ``{name}`` of the docstring becomes the text parts[name].

    Parameters
    ----------
    **parts : str
        The shared texts by name (numpy-style sections, at any indentation).

    Returns
    -------
    callable
        The decorator; it returns the function or class it is given, its
        docstring completed (unchanged where Python drops docstrings, -OO).

    Raises
    ------
    ValueError
        A part the docstring does not name, or a name no part gives.

    Example
    -------
    >>> @shared_doc(points="points : (n, 3) array_like\\n    Positions, m.")
    ... def f(points):
    ...     '''Sum of the points.
    ...
    ...     Parameters
    ...     ----------
    ...     {points}
    ...     '''
    >>> print(f.__doc__.splitlines()[4])
        points : (n, 3) array_like
    """
    def complete(target):
        if target.__doc__ is None:
            return target
        lines, used = [], set()
        for line in target.__doc__.splitlines():
            name = line.strip()[1:-1]
            if not (line.strip() == "{" + name + "}" and name.isidentifier()):
                lines.append(line)
                continue
            if name not in parts:
                raise ValueError(f"{target.__qualname__}: no shared docstring part {name!r}")
            used.add(name)
            indent = line[:len(line) - len(line.lstrip())]
            text = textwrap.dedent(parts[name]).strip("\n")
            lines.extend(indent + part if part else part for part in text.splitlines())
        unused = sorted(set(parts) - used)
        if unused:
            raise ValueError(f"{target.__qualname__}: docstring does not name {unused}")
        target.__doc__ = "\n".join(lines)
        return target
    return complete
