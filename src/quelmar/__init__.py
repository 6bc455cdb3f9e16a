"""Streaming path queries over XML documents held in memory."""
from quelmar._quelmar import (  # noqa: F401
    compile,
    validate,
)
