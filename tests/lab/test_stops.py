"""Stop signals held back and raised afterwards, in process: the one
mechanism that Supply, the command line, the self-test and the server use."""

import signal

import pytest

from kx5180_lab.stops import Holder, Terminated, deferred, stop_signals, taken

SIGNALS = [signal.SIGINT] + [getattr(signal, n) for n in ("SIGTERM", "SIGHUP") if hasattr(signal, n)]


@pytest.fixture
def stop_handlers():
    """SIGTERM and SIGHUP raising Terminated, as under every command."""
    if any(signal.getsignal(s) is not signal.SIG_DFL for s in SIGNALS[1:]):
        pytest.skip("the stop signals are handled by someone else in this process")
    with stop_signals() as replaced:
        assert replaced
        yield
    assert all(signal.getsignal(s) is signal.SIG_DFL for s in SIGNALS[1:])


@pytest.mark.parametrize("around", ["command", "server while its lines open"])
@pytest.mark.parametrize("signum", SIGNALS, ids=lambda s: signal.Signals(s).name)
def test_a_signal_during_a_deferred_block_is_raised_after_it(stop_handlers, around, signum):
    before = {s: signal.getsignal(s) for s in SIGNALS}
    done = []
    with taken() if around.startswith("server") else stop_signals():
        with pytest.raises(KeyboardInterrupt) as caught:
            with deferred() as outer:
                with deferred() as inner:
                    signal.raise_signal(signum)
                    signal.raise_signal(signal.SIGINT)  # the impatient second one
                    done.append("the rest of the block")
                inner.release()  # the outer block holds, and raises
                done.append("the rest of the outer block")
            outer.release()
    assert done == ["the rest of the block", "the rest of the outer block"]
    assert (inner.signum, outer.signum) == (0, signum)
    assert isinstance(caught.value, Terminated) == (signum != signal.SIGINT)
    if signum != signal.SIGINT:
        assert caught.value.code == 128 + signum
    assert {s: signal.getsignal(s) for s in SIGNALS} == before


def test_a_holder_raises_until_it_holds_and_then_wakes(stop_handlers):
    woken = []
    with taken(Holder()) as holder:
        with pytest.raises(KeyboardInterrupt):
            signal.raise_signal(signal.SIGINT)
        holder.hold(wake=lambda: woken.append(holder.signum))
        signal.raise_signal(SIGNALS[-1])
        signal.raise_signal(signal.SIGINT)
    assert holder.signum == SIGNALS[-1] and woken == [SIGNALS[-1]] * 2
