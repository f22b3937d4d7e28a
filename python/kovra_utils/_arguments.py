"""The argument layer between callers and the compiled functions.

Every public function and method of kovra_utils._core is wrapped once, when the package is
imported (``wrap_module``):

- path arguments: ``os.PathLike`` values (and lists of them) are handed over as ``str``;
- images named in IMAGE_PARAMETERS are checked for shape and element type first;
- a call pybind11 cannot match ("incompatible function arguments", which prints every argument
  in full) becomes one short line naming the function, the parameter, what it expects and what
  it got (type, shape and dtype; never the value itself): ``ArgumentTypeError``, both an
  ``ArgumentError`` and a ``TypeError``;
- ``inspect.signature`` works, from the parameters pybind11 records.

Bindings added later need nothing here: a new function or class of _core is wrapped as it is.
"""

import functools
import inspect
import numbers
import os
import re

from ._errors import ArgumentError, ArgumentTypeError

# Messages are one line of at most this many characters.
MESSAGE_LIMIT = 300

# function -> (image parameter, accepted channel counts, expected form).
_ANY_IMAGE = ((1, 3, 4), "H x W x 3 uint8 (RGB), H x W x 4 uint8 (RGBA) or H x W uint8 (gray)")
_RGB_IMAGE = ((3,), "H x W x 3 uint8 (RGB)")
IMAGE_PARAMETERS = {
    "draw_masks_on_image": ("image",) + _ANY_IMAGE,
    "img_bbx_drawing": ("image",) + _ANY_IMAGE,
    "enhance_dark_text": ("image_pil",) + _RGB_IMAGE,
    "generate_sam2_image_features": ("image",) + _RGB_IMAGE,
    "find_orange_region": ("frame", (3,), "H x W x 3 uint8 (BGR)"),
    "set_image": ("image",) + _RGB_IMAGE,
}


def _shorten(text, limit=MESSAGE_LIMIT):
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def describe(value):
    """``value`` for a message: its type, with shape, dtype (and device) for arrays and tensors
    and the length for containers; never its repr."""
    kind = type(value)
    name = kind.__name__
    module = getattr(kind, "__module__", "") or ""
    shape = getattr(value, "shape", None)
    dtype = getattr(value, "dtype", None)
    if isinstance(shape, tuple) or (shape is not None and module.startswith("torch")):
        text = f"{name} {tuple(shape)}"
        if dtype is not None:
            text += f" {dtype}"
        device = getattr(value, "device", None)
        if module.startswith("torch") and device is not None:
            text += f" on {device}"
        return text
    if isinstance(value, (str, bytes)):
        return name
    if isinstance(value, (list, tuple, dict, set, frozenset)):
        return f"{name} of {len(value)} item" + ("" if len(value) == 1 else "s")
    if value is None:
        return "None"
    return name


# ---- signatures from pybind11's docstrings ---------------------------------------------------

def _split_top(text, separator=","):
    """``text`` split at ``separator`` outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, ch in enumerate(text):
        if quote:
            if ch == quote and text[i - 1] != "\\":
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == separator and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    tail = text[start:].strip()
    if tail:
        parts.append(tail)
    return parts


_NO_DEFAULT = inspect.Parameter.empty


class _Default:
    """A default value pybind11 only shows as text (an object); prints as that text."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


def _default_value(text):
    try:
        import ast

        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return _Default(text)


# Text parameters that name files or folders: typed as paths (the layer converts os.PathLike).
_PATH_NAME = re.compile(r"(^|_)(path|dir|directory|folder|dir_base)$")
_PATH_LISTS = {"frame_names", "video_frames"}


def _path_annotation(name, annotation):
    if annotation in ("str", "Optional[str]") and _PATH_NAME.search(name):
        return annotation.replace("str", "os.PathLike")
    if annotation == "List[str]" and name in _PATH_LISTS:
        return "List[os.PathLike]"
    return annotation


_SIGNATURE_LINE = re.compile(r"^(?:\d+\. )?(?P<name>\w+)\((?P<params>.*)\)(?: -> (?P<ret>.+))?$")


def parse_overloads(function):
    """[(parameters, return annotation)] of a pybind11 function, one entry per overload;
    parameters are (name, annotation, default text or None, keyword_only)."""
    overloads = []
    for line in (getattr(function, "__doc__", None) or "").splitlines():
        match = _SIGNATURE_LINE.match(line.strip())
        if not match or match.group("name") != getattr(function, "__name__", None):
            continue
        if match.group("params") in ("*args, **kwargs",):
            continue
        parameters, keyword_only = [], False
        for part in _split_top(match.group("params")):
            if part == "*":
                keyword_only = True
                continue
            name, _, rest = part.partition(":")
            annotation, _, default = rest.partition(" = ")
            name = name.strip()
            parameters.append((name, _path_annotation(name, annotation.strip() or "object"),
                               default.strip() if _ else None, keyword_only))
        overloads.append((parameters, (match.group("ret") or "None").strip()))
    return overloads


def summary_of(function):
    """The prose of a pybind11 docstring, without its signature lines."""
    lines = []
    for line in (getattr(function, "__doc__", None) or "").splitlines():
        stripped = line.strip()
        if _SIGNATURE_LINE.match(stripped) or stripped == "Overloaded function.":
            continue
        lines.append(line)
    return "\n".join(lines).strip()


def python_annotation(annotation):
    """pybind11's annotation text in the package's own spelling."""
    text = annotation.replace("kovra_utils._core.", "").replace("os.PathLike", "str | os.PathLike")
    text = re.sub(r"\bList\[", "list[", text)
    text = re.sub(r"\bDict\[", "dict[", text)
    text = re.sub(r"\bTuple\[", "tuple[", text)
    text = re.sub(r"\bSet\[", "set[", text)
    text = re.sub(r"\bOptional\[(.*)\]$", r"\1 | None", text)
    return text.replace("numpy.ndarray", "ndarray").replace("handle", "object")


def signature_of(function, overloads, is_method=False):
    """An inspect.Signature from the first overload."""
    parameters, returns = overloads[0]
    made = []
    for index, (name, annotation, default, keyword_only) in enumerate(parameters):
        if is_method and index == 0 and name == "self":
            made.append(inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD))
            continue
        kind = inspect.Parameter.KEYWORD_ONLY if keyword_only else inspect.Parameter.POSITIONAL_OR_KEYWORD
        made.append(inspect.Parameter(
            name, kind, default=_NO_DEFAULT if default is None else _default_value(default),
            annotation=python_annotation(annotation)))
    try:
        return inspect.Signature(made, return_annotation=python_annotation(returns))
    except ValueError:  # a parameter without default after one with (keyword-only layouts)
        return None


# ---- judging one argument against an annotation ---------------------------------------------

def _generic(annotation):
    """(head, [arguments]) of "Head[a, b]"; (annotation, []) for a plain name."""
    match = re.match(r"^([\w.]+)\[(.*)\]$", annotation)
    if not match:
        return annotation, []
    return match.group(1), _split_top(match.group(2))


def _is_number(value):
    return isinstance(value, numbers.Number) and not isinstance(value, complex)


def _items(value, limit=None):
    try:
        return list(value)[:limit] if limit else list(value)
    except TypeError:
        return None


def fits(value, annotation):
    """Whether ``value`` could convert to ``annotation`` (pybind11's spelling); unknown
    annotations accept anything, so the layer never blames a parameter wrongly."""
    head, args = _generic(annotation)
    if head == "Optional":
        return value is None or fits(value, args[0])
    if value is None:
        return annotation in ("object", "handle", "None") or head == "Callable"
    if head == "int":
        return isinstance(value, numbers.Integral) or (hasattr(value, "__index__") and not _is_float(value))
    if head == "float":
        return _is_number(value) or hasattr(value, "__float__") or hasattr(value, "__index__")
    if head == "bool":
        return isinstance(value, (bool, numbers.Integral)) or type(value).__name__ == "bool_"
    if head == "str":
        return isinstance(value, (str, bytes))
    if head == "os.PathLike":
        return isinstance(value, (str, bytes, os.PathLike))
    if head in ("List", "Sequence", "Set"):
        if isinstance(value, (str, bytes)) or isinstance(value, dict):
            return False
        items = _items(value)
        return items is not None and all(fits(item, args[0]) for item in items)
    if head == "Tuple":
        items = _items(value)
        return items is not None and len(items) == len(args) and all(
            fits(item, arg) for item, arg in zip(items, args))
    if head == "Dict":
        if not hasattr(value, "items"):
            return False
        return all(fits(k, args[0]) and fits(v, args[1]) for k, v in value.items())
    if head.endswith("Mask"):
        return _mask_problem(value) is None
    if head == "numpy.ndarray":
        return hasattr(value, "__array__") or isinstance(value, (list, tuple)) or _is_number(value)
    return True


def _is_float(value):
    return isinstance(value, float) or type(value).__name__.startswith("float")


def _mask_problem(value):
    """None when ``value`` converts to a Mask, else the conversion's message."""
    from . import _core

    try:
        _core.Mask(value)
    except ArgumentError as error:
        return str(error)
    return None


def expected_text(annotation):
    head, args = _generic(annotation)
    if head.endswith("Mask"):
        return "a Mask or an H x W array"
    if head == "Optional":
        return expected_text(args[0]) + " or None"
    if head == "os.PathLike":
        return "a path (str or os.PathLike)"
    if head in ("int", "float", "str", "bool"):
        return head
    return python_annotation(annotation)


# ---- the wrapper -----------------------------------------------------------------------------

def _fspath(value):
    if isinstance(value, os.PathLike) and not isinstance(value, (str, bytes)):
        return os.fspath(value)
    if isinstance(value, (list, tuple)) and value and isinstance(value[0], os.PathLike):
        return [_fspath(item) for item in value]
    return value


def _bound(signature, args, kwargs):
    try:
        return signature.bind(*args, **kwargs)
    except TypeError:
        return None


def _check_image(function_name, parameter, channels, form, value):
    if value is None:
        return
    shape = getattr(value, "shape", None)
    dtype = getattr(value, "dtype", None)
    if isinstance(value, (list, tuple)):
        import numpy as np

        array = np.asarray(value)
        shape, dtype = array.shape, array.dtype
    ok = (shape is not None and str(dtype) == "uint8"
          and ((len(shape) == 3 and shape[2] in channels) or (len(shape) == 2 and 1 in channels)))
    if not ok:
        raise ArgumentError(_shorten(f"{function_name}: {parameter} must be {form}, got {describe(value)}"))


def _mismatch_message(function_name, overloads, args, kwargs, is_method):
    """The one line for a call that matches no overload."""
    blamed = {}
    for parameters, _ in overloads:
        names = [p[0] for p in parameters]
        values = dict(zip(names, args))
        values.update(kwargs)
        unknown = [key for key in kwargs if key not in names]
        if unknown:
            return f"{function_name}: unexpected keyword argument '{_shorten(unknown[0], 40)}'"
        missing = [p[0] for p in parameters if p[2] is None and p[0] not in values]
        if missing and not (is_method and missing == ["self"]):
            return f"{function_name}: missing argument '{missing[0]}'"
        if len(args) > len(names):
            return f"{function_name}: takes {len(names) - is_method} positional arguments, got {len(args) - is_method}"
        for name, annotation, _, _ in parameters:
            if name in values and not fits(values[name], annotation):
                blamed.setdefault(name, []).append(annotation)
    if overloads:
        first = [p[0] for p in overloads[0][0]]
        for name in first:
            if name in blamed and len(blamed[name]) == len(overloads):
                value = dict(zip(first, args), **kwargs)[name]
                annotations = blamed[name]
                if annotations[0].split("[")[0].endswith("Mask") or "Mask" in annotations[0]:
                    problem = _mask_problem(value) if annotations[0].endswith("Mask") else None
                    if problem:
                        return f"{function_name}: {name}: {problem}"
                expected = " or ".join(dict.fromkeys(expected_text(a) for a in annotations))
                return f"{function_name}: {name} must be {expected}, got {describe(value)}"
    got = ", ".join(describe(a) for a in args[is_method:])
    return f"{function_name}: the arguments do not match its parameters; got ({got})"


def _is_mismatch(error):
    text = str(error)
    return "incompatible function arguments" in text or "incompatible constructor arguments" in text


def wrap_function(function, qualified_name=None, is_method=False):
    """``function`` (a pybind11 function) behind the argument layer."""
    name = qualified_name or function.__name__
    overloads = parse_overloads(function)
    image_rule = IMAGE_PARAMETERS.get(function.__name__)
    signature = signature_of(function, overloads, is_method) if overloads else None

    @functools.wraps(function)
    def call(*args, **kwargs):
        args = tuple(_fspath(a) for a in args)
        kwargs = {k: _fspath(v) for k, v in kwargs.items()}
        if image_rule is not None and signature is not None:
            bound = _bound(signature, args, kwargs)
            if bound is not None and image_rule[0] in bound.arguments:
                _check_image(name, image_rule[0], image_rule[1], image_rule[2],
                             bound.arguments[image_rule[0]])
        try:
            return function(*args, **kwargs)
        except TypeError as error:
            if not _is_mismatch(error):
                raise
            message = _mismatch_message(name, overloads, args, kwargs, is_method)
        except RuntimeError as error:
            if "Unable to cast Python instance" not in str(error):
                raise
            message = _mismatch_message(name, overloads, args, kwargs, is_method)
        raise ArgumentTypeError(_shorten(message)) from None

    call.__wrapped_core__ = function
    if signature is not None:
        call.__signature__ = signature
    del call.__wrapped__  # inspect would follow it to the builtin
    call.__doc__ = docstring(function, overloads, is_method)
    return call


def docstring(function, overloads, is_method=False):
    """The docstring of a wrapped function: its prose, then its parameters, result and errors."""
    text = summary_of(function)
    sections = []
    for number, (parameters, returns) in enumerate(overloads):
        lines = []
        if len(overloads) > 1:
            lines.append(f"Form {number + 1}:")
        shown = [p for p in parameters if not (is_method and p[0] == "self")]
        if shown:
            lines.append("Parameters:")
            for name, annotation, default, _ in shown:
                entry = f"    {name} ({python_annotation(annotation)})"
                if default is not None:
                    entry += f", default {default}"
                lines.append(entry)
        lines.append(f"Returns: {python_annotation(returns)}")
        sections.append("\n".join(lines))
    sections.append("Raises: ArgumentError (an ArgumentTypeError, also a TypeError, for an "
                    "argument of the wrong type) naming the parameter; FileError / ContentError "
                    "for files that cannot be read or are malformed.")
    return (text + "\n\n" if text else "") + "\n\n".join(sections)


def _is_core_function(value):
    return type(value).__name__ == "builtin_function_or_method"


_SETTER_VALUE = re.compile(r"arg0: ([^)]*)\)")


def wrap_setter(setter, qualified_name):
    """A pybind11 attribute setter whose wrong value gives one line naming the attribute."""
    match = _SETTER_VALUE.search(getattr(setter, "__doc__", "") or "")
    annotation = match.group(1) if match else "object"

    def set_value(self, value):
        value = _fspath(value)
        try:
            setter(self, value)
        except TypeError as error:
            if not _is_mismatch(error):
                raise
            message = f"{qualified_name} must be {expected_text(annotation)}, got {describe(value)}"
            raise ArgumentTypeError(_shorten(message)) from None

    return set_value


def wrap_class(cls):
    """Wraps the constructor, public methods and attribute setters of a pybind11 class in place."""
    for attribute, value in list(vars(cls).items()):
        if attribute.startswith("_") and attribute != "__init__":
            continue
        if isinstance(value, property):
            if type(value.fset).__name__ == "instancemethod":
                setter = wrap_setter(value.fset.__func__, f"{cls.__name__}.{attribute}")
                setattr(cls, attribute, property(value.fget, setter, value.fdel, value.__doc__))
        elif isinstance(value, staticmethod):
            if _is_core_function(value.__func__):
                setattr(cls, attribute, staticmethod(
                    wrap_function(value.__func__, f"{cls.__name__}.{attribute}")))
        elif type(value).__name__ == "instancemethod":
            qualified = cls.__name__ if attribute == "__init__" else f"{cls.__name__}.{attribute}"
            setattr(cls, attribute, wrap_function(value.__func__, qualified, is_method=True))
    if "__init__" in vars(cls) and getattr(cls.__init__, "__signature__", None) is not None:
        # help() and inspect.signature(cls) read the constructor's parameters.
        cls.__signature__ = cls.__init__.__signature__.replace(
            parameters=list(cls.__init__.__signature__.parameters.values())[1:],
            return_annotation=inspect.Signature.empty)


def wrap_module(namespace, core):
    """Replaces the compiled functions in ``namespace`` (the package's globals) by wrapped ones
    and wraps the compiled classes in place."""
    for attribute in dir(core):
        if attribute.startswith("__"):
            continue
        value = getattr(core, attribute)
        if _is_core_function(value):
            wrapped = wrap_function(value)
            if not attribute.startswith("_"):
                namespace[attribute] = wrapped
            setattr(core, attribute, wrapped)
        elif isinstance(value, type) and getattr(value, "__module__", "") == core.__name__:
            wrap_class(value)
