"""Who woke whom on each condition variable, and which barrier waits blocked.

Every condition wait blocks; a signal wakes the waiter that began first
among those waiting when it came (and not its own thread), a broadcast
wakes them all."""
from .calls import COND_WAITS, COND_WAKES, SIGNALS


def condition(name, events, blocked, flows, unfinished):
    waits = sorted(((call.start, task, call) for task, calls in events.items() for call in calls
                    if call.name in COND_WAITS), key=lambda wait: wait[0])
    wakes = sorted(((call.start, task, call) for task, calls in events.items() for call in calls
                    if call.name in COND_WAKES), key=lambda wake: wake[0])
    for _, _, call in waits:
        blocked.add(id(call))
    waiting, next_wait = [], 0
    for at, task, wake in wakes:
        while next_wait < len(waits) and waits[next_wait][0] < at:
            waiting.append(waits[next_wait])
            next_wait += 1
        waiting = [w for w in waiting if w[2].end > at and id(w[2]) not in unfinished]
        woken = [w for w in waiting if w[1] != task]
        if wake.name in SIGNALS:
            woken = woken[:1]
        for w in woken:
            waiting.remove(w)
            flows.append((name, task, wake, w[1], w[2]))


def barrier(events, blocked, unfinished):
    """A barrier wait blocked if another thread arrived while it waited."""
    waits = sorted((call.start, call.end, task, call) for task, calls in events.items() for call in calls)
    for i, (start, end, task, call) in enumerate(waits):
        later = (s for s, _, t, _ in waits[i + 1:] if t != task)
        if id(call) in unfinished or any(s < end for s in later):
            blocked.add(id(call))
