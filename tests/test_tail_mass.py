import math

import pytest
from hypothesis import given, settings, strategies as st

import korvane
from conftest import assert_noted, f32


def zipf_sum(s, m):
    """Z(s, m), summed in double precision in ascending i."""
    total = 0.0
    for i in range(1, m + 1):
        total += float(i) ** -s
    return total


def literal_tail_mass(s, k, v):
    s = f32(s)
    if k >= v:
        return 0.0
    total = zipf_sum(s, v)
    if total <= 0:
        return 0.0
    return f32(1.0 - zipf_sum(s, k) / total)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class TestValues:
    @pytest.mark.parametrize("s", [0.0, 0.5, 1.0, 2.0, -1.0])
    def test_nothing_left_beyond_all_ranks(self, s):
        assert korvane.tail_mass(s, 10, 10) == 0.0
        assert korvane.tail_mass(s, 12, 10) == 0.0
        assert korvane.tail_mass(s, 0, 0) == 0.0
        assert korvane.tail_mass(s, 2**64 - 1, 3) == 0.0

    @pytest.mark.parametrize("s", [0.0, 1.0, 3.5, -2.0])
    def test_everything_left_beyond_no_ranks(self, s):
        assert korvane.tail_mass(s, 0, 10) == 1.0

    def test_known_values(self):
        assert korvane.tail_mass(0.0, 5, 10) == 0.5
        assert korvane.tail_mass(1.0, 1, 2) == f32(1.0 - 1.0 / 1.5)
        assert korvane.tail_mass(-1.0, 1, 3) == f32(5.0 / 6.0)

    def test_result_is_a_widened_32_bit_float(self):
        result = korvane.tail_mass(1.0, 3, 17)
        assert type(result) is float
        assert f32(result) == result
        assert result == literal_tail_mass(1.0, 3, 17)

    def test_s_is_taken_at_single_precision(self):
        s = 1.1
        assert f32(s) != s
        assert korvane.tail_mass(s, 4, 50) == literal_tail_mass(f32(s), 4, 50)
        assert korvane.tail_mass(s, 4, 50) == korvane.tail_mass(f32(s), 4, 50)

    def test_huge_rank_count_returns(self):
        result = korvane.tail_mass(1.0, 5, 10**18)
        assert type(result) is float
        assert 0.0 <= result <= 1.0
        assert korvane.tail_mass(0.5, 3238843012103018192, 3238843012103018477) >= 0.0

    @settings(max_examples=15, deadline=None)
    @given(s=st.floats(-4, 8, allow_nan=False, width=32), v=st.integers(2**24 + 2, 2**64 - 1),
           gap=st.integers(1, 3000))
    def test_huge_ranks_close_together_leave_a_share_in_range(self, s, v, gap):
        # Far past the ranks that are summed term by term: k and v share their head, so the
        # tail is never negative even when it cancels to almost nothing.
        assert 0.0 <= korvane.tail_mass(s, v - gap, v) <= 1.0

    @settings(max_examples=200, deadline=None)
    @given(s=st.floats(-4, 8, allow_nan=False), k=st.integers(0, 300),
           v=st.integers(0, 300))
    def test_matches_the_ascending_double_sum(self, s, k, v):
        assert korvane.tail_mass(s, k, v) == literal_tail_mass(s, k, v)

    @settings(max_examples=100, deadline=None)
    @given(s=st.floats(-4, 8, allow_nan=False), v=st.integers(1, 200))
    def test_tail_shrinks_as_k_grows(self, s, v):
        tails = [korvane.tail_mass(s, k, v) for k in range(v + 1)]
        assert all(0.0 <= t <= 1.0 for t in tails if not math.isnan(t))
        assert all(a >= b for a, b in zip(tails, tails[1:]))


class TestArguments:
    def test_keywords_and_index_objects(self):
        expected = korvane.tail_mass(1.0, 2, 9)
        assert korvane.tail_mass(s=1.0, k=2, v=9) == expected
        assert korvane.tail_mass(1, v=9, k=2) == expected
        assert korvane.tail_mass(True, Index(2), Index(9)) == expected
        assert korvane.tail_mass(0.0, True, 2) == 0.5

    @pytest.mark.parametrize("args, parameter, exc_type", [
        (("1", 1, 2), "s", TypeError),
        ((None, 1, 2), "s", TypeError),
        ((10**400, 1, 2), "s", OverflowError),
        ((1.0, -1, 2), "k", OverflowError),
        ((1.0, 1.5, 2), "k", TypeError),
        ((1.0, "1", 2), "k", TypeError),
        ((1.0, 1, 2**64), "v", OverflowError),
        ((1.0, 1, -(2**70)), "v", OverflowError),
        ((1.0, 1, None), "v", TypeError),
    ])
    def test_conversion_errors_name_the_parameter(self, args, parameter, exc_type):
        with pytest.raises(exc_type) as excinfo:
            korvane.tail_mass(*args)
        assert_noted(excinfo, parameter)

    def test_first_failing_argument_is_reported(self):
        with pytest.raises(TypeError) as excinfo:
            korvane.tail_mass("s", -1, None)
        assert_noted(excinfo, "s")
        with pytest.raises(OverflowError) as excinfo:
            korvane.tail_mass(1.0, -1, None)
        assert_noted(excinfo, "k")

    def test_binding_errors(self):
        with pytest.raises(TypeError) as excinfo:
            korvane.tail_mass(1.0, 2)
        assert str(excinfo.value) == "tail_mass() missing required argument 'v' (pos 3)"
        with pytest.raises(TypeError) as excinfo:
            korvane.tail_mass(1.0, 2, 3, 4)
        assert str(excinfo.value) == "tail_mass() takes at most 3 arguments (4 given)"
        with pytest.raises(TypeError) as excinfo:
            korvane.tail_mass(1.0, 2, w=4)
        assert "tail_mass()" in str(excinfo.value)
        with pytest.raises(TypeError):
            korvane.tail_mass(1.0, 2, s=3)
