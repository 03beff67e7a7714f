"""Ray Data: a dataset masked at its rows' positions over the whole table.

Runs the example's recipes, imported as a module, on a real local Ray (two
CPUs) over one small dataset of blocks of unequal sizes (one empty), and
compares with `hmac` at the positions of the rows in the dataset's order.
Skipped where Ray is not installed.
"""
import pyarrow as pa
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

from conftest import token  # noqa: E402
from sample_data import customer_rows, import_example  # noqa: E402

KEY = "ray-key"
BLOCK_ROWS = [13, 0, 40, 7, 21]
TRANSFORMS = [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}]


@pytest.fixture(scope="module")
def example():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="warning")
    context = ray.data.DataContext.get_current()
    context.execution_options.preserve_order = True
    context.enable_progress_bars = False
    try:
        yield import_example("ray_mask")
    finally:
        ray.shutdown()


@pytest.fixture(scope="module")
def source():
    whole = customer_rows(0, sum(BLOCK_ROWS))
    firsts = [sum(BLOCK_ROWS[:i]) for i in range(len(BLOCK_ROWS))]
    return whole, [whole.slice(first, rows) for first, rows in zip(firsts, BLOCK_ROWS)]


def expected(whole, start):
    emails = whole.column("email").to_pylist()
    return ([None if v is None else token(KEY, start + i, v) for i, v in enumerate(emails)],
            ["[REDACTED]"] * len(emails))


def rows_of(ds):
    out = pa.concat_tables(ray.get(ds.to_arrow_refs()))
    return out.column("email").to_pylist(), out.column("name").to_pylist()


@pytest.mark.parametrize("start", [0, 1000])
def test_blocks_are_masked_at_their_positions_over_the_whole_dataset(example, source, start):
    whole, blocks = source
    ds = ray.data.from_arrow(blocks)
    assert ds.num_blocks() == len(BLOCK_ROWS)
    assert rows_of(example.mask_dataset(ds, TRANSFORMS, KEY, start=start)) == expected(whole, start)


def test_a_row_id_column_gives_the_same_tokens(example, source):
    whole, blocks = source
    ds = ray.data.from_arrow(blocks).map_batches(lambda b: b, batch_format="pyarrow", batch_size=6)
    assert rows_of(example.mask_by_row_id(ds, TRANSFORMS, KEY, "id")) == expected(whole, 0)


def test_row_ids_that_skip_are_refused(example, source):
    whole, _ = source
    gaps = whole.filter(pa.array([i % 5 != 2 for i in range(whole.num_rows)]))
    with pytest.raises(Exception, match="'id' column does not run on by one"):
        example.mask_by_row_id(ray.data.from_arrow(gaps), TRANSFORMS, KEY, "id").materialize()


def test_an_unknown_column_fails_on_the_driver(example, source):
    ds = ray.data.from_arrow(source[1])
    for recipe in (lambda: example.mask_dataset(ds, [{"column": "ssn", "type": "hash"}], KEY),
                   lambda: example.mask_by_row_id(ds, [{"column": "ssn", "type": "hash"}], KEY, "id")):
        with pytest.raises(ValueError, match="'ssn' is not in the data"):
            recipe()
