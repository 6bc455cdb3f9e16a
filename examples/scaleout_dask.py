"""Query a corpus of XML files on a Dask cluster, one pass per file.

    pip install 'quelmar[scale]'
    python examples/scaleout_dask.py -p 'catalog.book.#.title' -p 'catalog.book.#.price|@sum' data/*.xml
    python examples/scaleout_dask.py --scheduler tcp://10.0.0.5:8786 -p ... /shared/corpus/*.xml

Each file is memory-mapped by the worker that receives it and all paths are
answered in one streaming pass with get_many_buffer. Results cannot travel
between processes (they refer to native memory), so workers turn them into
plain data before sending them back: for each path, one value per match, as
quelmar.to_python gives it. See docs/cookbook.md.
"""
from __future__ import annotations

import argparse
import json
import mmap
import os
from collections.abc import Sequence
from typing import Any

import quelmar


def query_file(filename: str, paths: Sequence[str]) -> tuple[str, list[list[Any]]]:
    """All paths over one local file: (filename, one list of values per path).

    A value is what quelmar.to_python makes of one match: its text (a str),
    a dict for an element with attributes or children.
    """
    with open(filename, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:  # an empty file cannot be mapped
            results = quelmar.get_many_buffer(b"", list(paths))
        else:
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
                results = quelmar.get_many_buffer(m, list(paths))
    return filename, [[quelmar.to_python(item) for item in quelmar.as_list(r)] for r in results]


def query_url(url: str, paths: Sequence[str]) -> tuple[str, list[list[Any]]]:
    """The same for a file the workers do not share on disk (s3://, gs://, https://, ...)."""
    import fsspec

    with fsspec.open(url, "rb") as f:
        data = f.read()
    results = quelmar.get_many_buffer(data, list(paths))
    return url, [[quelmar.to_python(item) for item in quelmar.as_list(r)] for r in results]


def corpus_bag(files: Sequence[str], paths: Sequence[str], npartitions: int | None = None) -> Any:
    """A lazy Dask bag of query_file over the files: chain .filter, .map, .fold, ..."""
    import dask.bag as db

    return db.from_sequence(list(files), npartitions=npartitions).map(query_file, list(paths))


def query_corpus(files: Sequence[str], paths: Sequence[str], npartitions: int | None = None) -> list[tuple[str, list[list[Any]]]]:
    """query_file over every file, on the current Dask scheduler, in input order."""
    result: list[tuple[str, list[list[Any]]]] = corpus_bag(files, paths, npartitions).compute()
    return result


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("-p", "--path", dest="paths", action="append", required=True)
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="workers of the local cluster")
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None))
    with client:
        # Workers import this file's functions by name: ship the file to them.
        client.upload_file(__file__)
        for filename, values in query_corpus(args.files, args.paths):
            for path, matches in zip(args.paths, values):
                for value in matches:
                    print(f"{filename}\t{path}\t{json.dumps(value, ensure_ascii=False)}")


if __name__ == "__main__":
    main()
