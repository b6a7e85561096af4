"""Importing the engine: what it binds, in which order, and what it leaves alone."""

import math
import os
import re

from conftest import run_python


def test_settings_and_bindings(detail):
    import dravolc
    from quorbel import config, utils

    assert math.isnan(detail.nan)
    assert detail.TRADING_DATES is None
    assert detail.EXPAND_INSTRUMENT_LENGTH == 500
    assert detail.EXPAND_TRADING_DATE_LENGTH == 250
    assert detail.BOOK_COUNT_THRESHOLD == 3700
    assert detail._error_regex.pattern == ".*errno = (17|35).*"
    assert detail._error_regex.flags == re.compile("").flags  # no flags given
    assert detail.get_trading_dates is dravolc.get_trading_dates
    for name in ("get_mongodb_uri", "dravolc_init", "MIN_FACTOR_DAY", "DATABASE", "COLLECTION"):
        assert getattr(detail, name) is getattr(config, name)
    assert detail.ttl_cache is utils.ttl_cache
    assert detail.retry is utils.retry


def test_client_initialised_once_after_settings_and_before_functions():
    # A stand-in for dravolc_init looks at the half-initialised module.
    proc = run_python(
        """
        import gc, types
        import quorbel.config as config
        seen = []
        def fake_init(*args):
            assert args == ()
            mods = [o for o in gc.get_objects()
                    if isinstance(o, types.ModuleType) and o.__name__ == "quorbel.detail"]
            (m,) = mods
            seen.append((m.BOOK_COUNT_THRESHOLD, m.TRADING_DATES,
                         hasattr(m, "create_new_factor_h5"), hasattr(m, "_error_regex")))
        config.dravolc_init = fake_init
        import quorbel.detail as d
        assert seen == [(3700, None, False, False)], seen
        assert d.dravolc_init is fake_init
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_failing_client_init_fails_the_import():
    proc = run_python(
        """
        import quorbel.config as config
        def broken():
            raise RuntimeError("market data unavailable")
        config.dravolc_init = broken
        try:
            import quorbel.detail
        except RuntimeError as e:
            print("failed:", e)
        """
    )
    assert proc.stdout.strip() == "failed: market data unavailable", proc.stderr


def test_argument_rules(detail, tmp_path):
    import pytest

    with pytest.raises(TypeError):
        detail.do_not_decrease_when_temporarily_unavailable(e=OSError("x"))
    with pytest.raises(TypeError):
        detail.do_not_decrease_when_temporarily_unavailable()
    with pytest.raises(TypeError):
        detail.create_new_factor_h5(str(tmp_path / "a.h5"))
    with pytest.raises(TypeError):
        detail.create_new_factor_h5(str(tmp_path / "a.h5"), (1, 1), 3)
    with pytest.raises(TypeError):
        detail.create_new_factor_h5(path=str(tmp_path / "a.h5"), shape=(1, 1), extra=1)
    assert not (tmp_path / "a.h5").exists()
    f = detail.create_new_factor_h5(shape=(2, 3), path=str(tmp_path / "a.h5"))
    f.close()


def test_no_reference_data_fetched_at_import():
    proc = run_python(
        """
        import dravolc
        calls = []
        real = dravolc.get_trading_dates
        dravolc.get_trading_dates = lambda *a: calls.append(a) or real(*a)
        import quorbel.config as config
        config.get_mongodb_uri = lambda: calls.append("mongo") or "mongodb://127.0.0.1:1"
        import quorbel.detail as d
        print(calls, d.TRADING_DATES)
        """
    )
    assert proc.stdout.strip() == "[] None", proc.stderr


def test_dir_offers_the_lazy_public_names_before_first_use():
    done = run_python("import quorbel, sys; print(sorted(set(quorbel.__all__) - set(dir(quorbel)))); "
                      "print('quorbel.detail' in sys.modules)")
    assert done.stdout.split() == ["[]", "False"], done.stderr


def test_driver_leaves_no_shared_memory_file_behind(wire_server):
    # The driver's counters would otherwise sit in /dev/shm/mongoc-<pid>,
    # which a killed process never removes; a later process given the same
    # pid then prints a warning at every start.
    proc = run_python(
        """
        import os, time
        started = time.time()
        import quorbel.detail as d
        d._get_all_instrument_index()
        print(os.getpid(), started, flush=True)
        os._exit(0)
        """,
        env={**{k: v for k, v in os.environ.items() if k != "MONGOC_DISABLE_SHM"},
             "QUORBEL_MONGODB_URI": wire_server.uri},
    )
    assert proc.returncode == 0, proc.stderr
    pid, started = proc.stdout.split()
    # A file of an earlier process that had the same pid may be there; the
    # child must not have made or touched it.
    leftover = f"/dev/shm/mongoc-{pid}"
    assert not os.path.exists(leftover) or os.path.getmtime(leftover) < float(started)
    assert "counters" not in proc.stderr
