# encode.py: a record as the plain values of its JSON.
from dataclasses import field, fields, is_dataclass
from typing import Any

import numpy as np


def optional(default: Any = None) -> Any:
    """A field the JSON leaves out while it is None."""
    return field(default=default, metadata={"omit_none": True})


def to_json(value: Any) -> Any:
    """A record, and every record in it, as plain JSON values."""
    if is_dataclass(value):
        return {f.metadata.get("key", f.name): to_json(getattr(value, f.name)) for f in fields(value)
                if not (f.metadata.get("omit_none") and getattr(value, f.name) is None)}
    if isinstance(value, dict):
        return {k: to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    return value
