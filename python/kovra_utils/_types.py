"""Python side of the core types: the array behaviour of Mask, frame records and tables."""

import math
import operator

import numpy as np

from . import _core


# ---- Mask: behaves like the H x W uint8 0/1 array it stands for ------------------------------

def _mask_sum(self, axis=None, dtype=None, out=None, **kwargs):
    """Number of set pixels (numpy.uint64) without arguments; otherwise numpy's sum of the
    dense array with the given arguments."""
    if axis is None and dtype is None and out is None and not kwargs:
        return np.uint64(self.area)
    return np.asarray(self).sum(axis=axis, dtype=dtype, out=out, **kwargs)


def _mask_any(self, axis=None, out=None, **kwargs):
    """Whether any pixel is set (numpy.bool_) without arguments; otherwise numpy's any of the
    dense array with the given arguments."""
    if axis is None and out is None and not kwargs:
        return np.bool_(self.area > 0)
    return np.asarray(self).any(axis=axis, out=out, **kwargs)


def _mask_getattr(self, name):
    # Everything else an array offers (astype, nonzero, reshape, max, T ...).
    if name.startswith("__"):
        raise AttributeError(name)
    return getattr(np.asarray(self), name)


def _delegate(op):
    def method(self, *args):
        return op(np.asarray(self), *args)
    method.__name__ = op.__name__
    return method


def _reflected(op):
    def method(self, other):
        return op(other, np.asarray(self))
    return method


def _install_mask_methods():
    mask = _core.Mask
    mask.sum = _mask_sum
    mask.any = _mask_any
    mask.__getattr__ = _mask_getattr
    mask.__array_priority__ = 1.0
    for name in ("eq", "ne", "lt", "le", "gt", "ge", "add", "sub", "mul", "truediv", "floordiv",
                 "mod", "pow", "and", "or", "xor", "matmul"):
        op = getattr(operator, "__" + name + "__")
        setattr(mask, "__" + name + "__", _delegate(op))
        if name not in ("eq", "ne", "lt", "le", "gt", "ge"):
            setattr(mask, "__r" + name + "__", _reflected(op))
    for name in ("invert", "neg", "pos", "abs", "getitem", "contains"):
        setattr(mask, "__" + name + "__", _delegate(getattr(operator, "__" + name + "__")))
    mask.__len__ = lambda self: self.shape[0]
    mask.__iter__ = lambda self: iter(np.asarray(self))
    mask.__bool__ = lambda self: bool(np.asarray(self))
    mask.__hash__ = None


_install_mask_methods()


# ---- Tables ----------------------------------------------------------------------------------

def _pandas():
    try:
        import pandas
    except ImportError:
        return None
    return pandas


def table_result(handle):
    """A table handed out by the library: a DataFrame when pandas is installed."""
    return handle.to_pandas() if _pandas() is not None else handle


def table_frame(handle):
    """The DataFrame of a kovra_utils.Table handle."""
    pd = _pandas()
    if pd is None:
        raise ImportError("pandas is needed to turn a table into a DataFrame")
    data = {}
    for name, (kind, values) in zip(handle.columns, handle._column_data()):
        if kind == "int?":
            values = pd.array(values, dtype="Int64")
        data[name] = values if kind in ("int", "float", "int?") else pd.Series(values, dtype=object)
    index = pd.Index(handle.index, dtype="int64")
    for name in data:
        if isinstance(data[name], pd.Series):
            data[name].index = index
    return pd.DataFrame(data, index=index, columns=list(handle.columns))


def intersection_frame(handle):
    """The DataFrame of a kovra_utils.IntersectionTable handle: box keys label rows and columns."""
    pd = _pandas()
    if pd is None:
        raise ImportError("pandas is needed to turn a table into a DataFrame")
    keys = list(handle.keys)
    return pd.DataFrame(handle.values, index=keys, columns=keys)


def _cell(value):
    if value is None or value is getattr(_pandas(), "NA", None):
        return None
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return None if math.isnan(value) else float(value)
    return value


def table_parts(frame):
    """(columns, row labels, rows of plain cells) of a DataFrame; absent cells are None."""
    if not hasattr(frame, "columns") or not hasattr(frame, "itertuples"):
        raise TypeError("expected a pandas DataFrame or a kovra_utils.Table, got "
                        + type(frame).__name__)
    columns = [str(name) for name in frame.columns]
    try:
        labels = [int(label) for label in frame.index]
    except (TypeError, ValueError):
        labels = list(range(len(frame)))
    rows = [[_cell(value) for value in row] for row in frame.itertuples(index=False, name=None)]
    return columns, labels, rows


def intersection_parts(frame):
    """(keys, square float array) of an intersection DataFrame."""
    if not hasattr(frame, "columns") or not hasattr(frame, "to_numpy"):
        raise TypeError("expected a pandas DataFrame or a kovra_utils.IntersectionTable, got "
                        + type(frame).__name__)
    return [str(key) for key in frame.columns], frame.to_numpy(dtype=np.float64)


# ---- Frame records ---------------------------------------------------------------------------

_RECORD_FIELDS = ("frame_index", "masks_dict", "mask_areas", "json_path", "image_path",
                  "intersections_df")


class FrameRecord(dict):
    """One loaded frame of a clip, readable as record["masks_dict"] and as record.masks_dict.

    Its intersection table becomes a DataFrame when first read.
    """

    __slots__ = ()

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        if key == "intersections_df" and isinstance(value, _core.IntersectionTable):
            converted = table_result(value)
            if converted is not value:
                dict.__setitem__(self, key, converted)
            return converted
        return value

    def get(self, key, default=None):
        return self[key] if key in self else default

    def values(self):
        return [self[key] for key in self]

    def items(self):
        return [(key, self[key]) for key in self]

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __reduce__(self):
        return (FrameRecord, (), None, None, iter(dict.items(self)))

    def __repr__(self):
        return "FrameRecord(" + dict.__repr__(self) + ")"


def record_parts(record):
    """The six members of a frame record (a FrameRecord or any mapping), tables left as given."""
    get = (lambda key: dict.get(record, key)) if isinstance(record, dict) else record.get
    missing = [key for key in _RECORD_FIELDS[:5] if get(key) is None]
    if missing:
        raise _core.ContentError("frame record has no " + ", ".join(repr(k) for k in missing))
    return tuple(get(key) for key in _RECORD_FIELDS)
